// trellisant-sandbox: the stand-in company server for demos and manual testing.

#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "company_server.h"
#include "error.h"
#include "provider_server.h"

namespace {

const char* const kHelp = R"(trellisant-sandbox: a stand-in for the Trellisant company server.

It serves configuration discovery, the browser sign-in page, the OAuth token endpoint,
the native API and its event stream, over HTTPS with its own certificate authority, and
beside it a storage provider that serves the deliveries' files as range downloads.

Usage:
  trellisant-sandbox --tls-folder DIR [--port N] [--deliveries DIR] [--bind ADDRESS]
                     [--public-host NAME] [--provider-port N] [--provider-host NAME]
  trellisant-sandbox --plain [--port N] [--deliveries DIR]
  trellisant-sandbox --help

Options:
  --tls-folder DIR     Where the CA (ca.pem) and the server certificate are kept; made on
                       first start and reused afterwards. Clients must trust DIR/ca.pem.
  --port N             Port to listen on (default 8443; 0 picks a free one).
  --bind ADDRESS       Address to listen on (default 127.0.0.1).
  --public-host NAME   Host name in the addresses the server hands out (default
                       trellisant.test); map it to the bind address, e.g. in /etc/hosts.
  --deliveries DIR     Offer every subfolder of DIR as one delivery.
  --provider-port N    Port of the storage provider (default 9443; 0 picks a free one).
  --provider-host NAME Host name of the storage provider (default storage.googleapis.com);
                       map it to the bind address too.
  --plain              Only the company server, over plain HTTP on 127.0.0.1 (loopback
                       tests); capabilities then point at https://storage.googleapis.com.

Example:
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

}  // namespace

int main(int argc, char** argv) {
  using trellisant::sandbox::CompanyServer;
  using trellisant::sandbox::ProviderServer;
  CompanyServer::Options options;
  options.port = 8443;
  ProviderServer::Options providerOptions;
  providerOptions.port = 9443;
  std::filesystem::path deliveries;
  bool haveTlsFolder = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(arg + " needs a value.");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp;
      return 0;
    } else if (arg == "--tls-folder") {
      options.tlsFolder = value();
      haveTlsFolder = true;
    } else if (arg == "--port") {
      options.port = port(value());
    } else if (arg == "--provider-port") {
      providerOptions.port = port(value());
    } else if (arg == "--provider-host") {
      providerOptions.publicHost = value();
    } else if (arg == "--bind") {
      options.bindAddress = value();
    } else if (arg == "--public-host") {
      options.publicHost = value();
    } else if (arg == "--deliveries") {
      deliveries = value();
    } else if (arg == "--plain") {
      options.tls = false;
    } else {
      usage("unknown option " + arg + ".");
    }
  }
  if (options.tls && !haveTlsFolder) usage("--tls-folder is required for HTTPS.");

  // Signals are taken by sigwait below, not by whichever server thread happens to run.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    auto store = std::make_shared<trellisant::sandbox::DeliveryStore>();
    std::unique_ptr<ProviderServer> provider;
    if (options.tls) {
      providerOptions.tlsFolder = options.tlsFolder;
      providerOptions.bindAddress = options.bindAddress;
      provider = std::make_unique<ProviderServer>(providerOptions, store);
      provider->start();
      // Capabilities must name the provider as clients reach it.
      options.providerBase = provider->baseUrl();
    }
    CompanyServer company(options, store);
    if (!deliveries.empty()) {
      for (auto& entry : std::filesystem::directory_iterator(deliveries)) {
        if (!entry.is_directory()) continue;
        std::string name = entry.path().filename().string();
        company.addDelivery(trellisant::sandbox::deliveryFromFolder(
            entry.path(), "", "Sandbox Company", "Sandbox Project", name));
      }
    }
    company.start();
    std::cout << "Company server: " << company.baseUrl() << "\n";
    if (provider) std::cout << "Storage provider: " << provider->baseUrl() << "\n";
    if (options.tls)
      std::cout << "Trust this CA: " << (options.tlsFolder / "ca.pem").string() << "\n";
    std::cout << "Deliveries offered: " << store->all().size() << "\n" << std::flush;
    int received = 0;
    sigwait(&signals, &received);
    company.stop();
    if (provider) provider->stop();
  } catch (const std::exception& error) {
    std::cerr << "trellisant-sandbox: " << trellisant::userMessage(error) << "\n";
    return 1;
  }
  return 0;
}
