// trellisant-sandbox: the stand-in company server and storage provider for demos and testing.

#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "admin_commands.h"
#include "admin_server.h"
#include "company_server.h"
#include "delivery_folders.h"
#include "error.h"
#include "provider_server.h"
#include "summary.h"
#include "tls.h"

namespace {

const char* const kHelp = R"(trellisant-sandbox: a stand-in for the Trellisant company server.

It serves configuration discovery, the browser sign-in page, the OAuth token endpoint,
the native API and its event stream, over HTTPS with its own certificate authority, and
beside it a storage provider that serves the deliveries' files as range downloads. An admin
endpoint on 127.0.0.1 lets you send new deliveries, make the provider misbehave and read a
summary of what the sandbox saw; the summary is also printed when the sandbox stops.

Usage:
  trellisant-sandbox --world [--deliveries DIR] [--provider-rate N] [--admin-port N]
                     [--summary-json FILE]
  trellisant-sandbox --tls-folder DIR [--port N] [--bind ADDRESS] [--public-host NAME]
                     [--provider-port N] [--provider-bind ADDRESS] [--provider-host NAME]
                     [--deliveries DIR] [--admin-port N] [--summary-json FILE]
  trellisant-sandbox --plain [--port N] [--deliveries DIR] [--admin-port N]
  trellisant-sandbox --make-tls DIR
  trellisant-sandbox send | summary | fault ...   (see below)
  trellisant-sandbox --help

Options:
  --world              Inside scripts/world: the company server on 127.0.0.1:443 as
                       trellisant.test and the provider on 127.0.0.2:443 as
                       storage.googleapis.com, with the world's certificates.
  --tls-folder DIR     Where the CA (ca.pem) and the server certificate are kept; made on
                       first start and reused afterwards. Clients must trust DIR/ca.pem.
  --port N             Port to listen on (default 8443; 0 picks a free one).
  --bind ADDRESS       Address to listen on (default 127.0.0.1).
  --public-host NAME   Host name in the addresses the server hands out (default
                       trellisant.test); map it to the bind address, e.g. in /etc/hosts.
  --deliveries DIR     Offer every subfolder of DIR as one delivery. A subfolder may hold
                       .delivery.json, {"company": …, "project": …, "name": …}; otherwise
                       "Sandbox Company", "Sandbox Project" and the folder's name are used.
  --provider-port N    Port of the storage provider (default 9443; 0 picks a free one).
  --provider-bind ADDRESS  Address of the storage provider (default: the --bind address).
  --provider-host NAME Host name of the storage provider (default storage.googleapis.com);
                       map it to the provider's address too.
  --provider-rate N    Serve each download at N bytes per second, as a real connection
                       would (default: as fast as the machine goes).
  --admin-port N       Port of the admin endpoint on 127.0.0.1 (default 9080).
  --summary-json FILE  Also write the summary as JSON to FILE when stopping.
  --plain              Only the company server, over plain HTTP on 127.0.0.1 (loopback
                       tests); capabilities then point at https://storage.googleapis.com.
  --make-tls DIR       Make the CA and the server certificate in DIR (or check the ones
                       there), print the CA file's path and exit.

Examples:
  scripts/world bash, then inside it: trellisant-sandbox --world &
  (the world maps the names, trusts the CA and gives a fresh HOME), or by hand:
  trellisant-sandbox --tls-folder /tmp/sandbox-tls --port 8443 --deliveries ~/footage
  with "127.0.0.1 trellisant.test storage.googleapis.com" in /etc/hosts and DIR/ca.pem
  trusted, then sign in with the server address https://trellisant.test:8443

It runs until it receives SIGINT or SIGTERM.

)";

[[noreturn]] void usage(const std::string& problem) {
  std::cerr << "trellisant-sandbox: " << problem
            << "\nRun trellisant-sandbox --help for the options.\n";
  std::exit(2);
}

int port(const std::string& text) {
  int value = -1;
  try {
    std::size_t used = 0;
    value = std::stoi(text, &used);
    if (used != text.size()) value = -1;
  } catch (const std::exception&) {
  }
  if (value < 0 || value > 65535) usage("a port must be a number from 0 to 65535.");
  return value;
}

std::int64_t rate(const std::string& text) {
  long long value = -1;
  try {
    std::size_t used = 0;
    value = std::stoll(text, &used);
    if (used != text.size()) value = -1;
  } catch (const std::exception&) {
  }
  if (value < 0) usage("--provider-rate takes a number of bytes per second.");
  return value;
}

struct Settings {
  trellisant::sandbox::CompanyServer::Options company;
  trellisant::sandbox::ProviderServer::Options provider;
  std::string providerBind;  // empty: the company's bind address
  std::filesystem::path deliveries;
  std::filesystem::path summaryJson;
  int adminPort = trellisant::sandbox::kDefaultAdminPort;
  bool haveTlsFolder = false;
};

void useWorld(Settings& settings) {
  const char* tls = std::getenv("TRELLISANT_WORLD_TLS");
  if (!tls || !*tls) usage("--world works inside scripts/world only (TRELLISANT_WORLD_TLS is not set).");
  settings.company.tlsFolder = tls;
  settings.haveTlsFolder = true;
  settings.company.port = 443;
  settings.company.bindAddress = "127.0.0.1";
  settings.provider.port = 443;
  settings.providerBind = "127.0.0.2";
}

Settings parse(int argc, char** argv) {
  Settings settings;
  settings.company.port = 8443;
  settings.provider.port = 9443;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(arg + " needs a value.");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp << trellisant::sandbox::adminCommandsHelp();
      std::exit(0);
    } else if (arg == "--world") {
      useWorld(settings);
    } else if (arg == "--tls-folder") {
      settings.company.tlsFolder = value();
      settings.haveTlsFolder = true;
    } else if (arg == "--port") {
      settings.company.port = port(value());
    } else if (arg == "--provider-port") {
      settings.provider.port = port(value());
    } else if (arg == "--provider-host") {
      settings.provider.publicHost = value();
    } else if (arg == "--provider-rate") {
      settings.provider.bytesPerSecond = rate(value());
    } else if (arg == "--provider-bind") {
      settings.providerBind = value();
    } else if (arg == "--bind") {
      settings.company.bindAddress = value();
    } else if (arg == "--public-host") {
      settings.company.publicHost = value();
    } else if (arg == "--deliveries") {
      settings.deliveries = value();
    } else if (arg == "--admin-port") {
      settings.adminPort = port(value());
    } else if (arg == "--summary-json") {
      settings.summaryJson = value();
    } else if (arg == "--plain") {
      settings.company.tls = false;
    } else {
      usage("unknown option " + arg + ".");
    }
  }
  if (settings.company.tls && !settings.haveTlsFolder) usage("--tls-folder is required for HTTPS.");
  return settings;
}

int makeTls(const std::string& folder) {
  auto material = trellisant::sandbox::ensureTlsMaterial(folder);
  std::cout << material.caFile.string() << "\n";
  return 0;
}

int serve(Settings settings) {
  using namespace trellisant::sandbox;
  // Signals are taken by sigwait below, not by whichever server thread happens to run.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  auto store = std::make_shared<DeliveryStore>();
  std::unique_ptr<ProviderServer> provider;
  if (settings.company.tls) {
    settings.provider.tlsFolder = settings.company.tlsFolder;
    settings.provider.bindAddress =
        settings.providerBind.empty() ? settings.company.bindAddress : settings.providerBind;
    provider = std::make_unique<ProviderServer>(settings.provider, store);
    provider->start();
    // Capabilities must name the provider as clients reach it.
    settings.company.providerBase = provider->baseUrl();
  }
  CompanyServer company(settings.company, store);
  if (!settings.deliveries.empty()) {
    for (auto& delivery : deliveriesBelow(settings.deliveries)) company.addDelivery(std::move(delivery));
  }
  company.start();
  AdminServer admin(company, provider.get(), settings.adminPort);
  admin.start();
  std::cout << "Company server: " << company.baseUrl() << "\n";
  if (provider) std::cout << "Storage provider: " << provider->baseUrl() << "\n";
  if (settings.company.tls)
    std::cout << "Trust this CA: " << (settings.company.tlsFolder / "ca.pem").string() << "\n";
  std::cout << "Admin endpoint: http://127.0.0.1:" << admin.port() << "/admin/summary\n"
            << "Deliveries offered: " << store->all().size() << "\n"
            << std::flush;

  int received = 0;
  sigwait(&signals, &received);
  admin.stop();
  company.stop();
  if (provider) provider->stop();

  auto summary = summaryJson(company, provider.get());
  std::cout << "\n" << summaryText(summary) << std::flush;
  if (!settings.summaryJson.empty()) {
    std::ofstream file(settings.summaryJson);
    file << summary.dump(2) << "\n";
    if (!file) throw trellisant::PlatformError("Could not write " + settings.summaryJson.string() + ".");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace trellisant::sandbox;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (!arguments.empty() && (arguments[0] == "--help" || arguments[0] == "-h")) {
    std::cout << kHelp << adminCommandsHelp();
    return 0;
  }
  if (!arguments.empty() && isAdminCommand(arguments[0]))
    return runAdminCommand(arguments, std::cout, std::cerr);
  try {
    if (!arguments.empty() && arguments[0] == "--make-tls") {
      if (arguments.size() != 2) usage("--make-tls takes one folder.");
      return makeTls(arguments[1]);
    }
    return serve(parse(argc, argv));
  } catch (const std::exception& error) {
    std::cerr << "trellisant-sandbox: " << trellisant::userMessage(error) << "\n";
    return 1;
  }
}
