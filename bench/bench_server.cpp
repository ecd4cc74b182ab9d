// trellisant-bench-server: the sandbox company server for bench/receive.
//
//   trellisant-bench-server --make-tls DIR
//   trellisant-bench-server --tls-folder DIR --www DIR --folder DIR [--ready FILE]
//                           [--offer ID=FOLDER]... [--offer-md5 ID=FOLDER]...
//
// Inside scripts/world it listens on 127.0.0.1:443 as https://trellisant.test and hands out capabilities for
// https://storage.googleapis.com/files/ID/FILE, where nginx serves DIR of --www. Every regular
// file below FOLDER (sorted by path, subfolders kept) becomes one file of delivery ID, with the
// file id "fNNNN" (or more digits); --www gets the links nginx serves. Before it reports ready it signs
// this world's user in (credentials in the support folder) and writes preferences for the
// download folder --folder with receiving on. Deliveries of --offer-md5 announce MD5 checksums
// instead of SHA-256.
#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "company_server.h"
#include "download/downloader.h"
#include "error.h"
#include "fileio.h"
#include "settings/preferences.h"
#include "settings/vault.h"
#include "store.h"
#include "tls.h"
#include "unique_fd.h"
#include "settings/paths.h"

namespace fs = std::filesystem;
using namespace trellisant;

namespace {

struct Digests {
  std::string sha256;
  std::string md5;
};

// Hashing a 4 GiB source takes seconds, so the digests are kept beside the folder
// ("FOLDER.digests": name size sha256 md5 per line) and reused while sizes match.
std::map<std::string, Digests> digestsOf(const fs::path& folder,
                                         const std::vector<fs::path>& files) {
  fs::path cache = folder.string() + ".digests";
  std::map<std::string, Digests> known;
  std::map<std::string, std::int64_t> sizes;
  auto keyOf = [&](const fs::path& path) { return path.lexically_relative(folder).string(); };
  std::ifstream in(cache);
  std::string name, sha256, md5;
  std::int64_t size = 0;
  while (in >> name >> size >> sha256 >> md5) {
    known[name] = {sha256, md5};
    sizes[name] = size;
  }
  bool changed = false;
  for (auto& path : files) {
    std::string key = keyOf(path);
    auto length = static_cast<std::int64_t>(fs::file_size(path));
    if (known.count(key) && sizes[key] == length) continue;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw PlatformError("Cannot read " + path.string());
    auto [sha, md] = Downloader::hashes(fd.get());
    known[key] = {sha, md};
    sizes[key] = length;
    changed = true;
  }
  if (changed) {
    std::ostringstream out;
    for (auto& [key, digests] : known)
      out << key << " " << sizes[key] << " " << digests.sha256 << " " << digests.md5 << "\n";
    writeAtomically(cache, out.str(), 0644);
  }
  return known;
}

sandbox::SandboxDelivery deliveryOf(const std::string& id, const fs::path& folder,
                                    const fs::path& www, bool md5) {
  std::vector<fs::path> files;
  for (auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  auto digests = digestsOf(folder, files);

  sandbox::SandboxDelivery delivery;
  delivery.id = id;
  delivery.transferId = "bench-" + id;
  delivery.name = "Bench " + id;
  delivery.projectName = "Receive";
  delivery.companyName = "Bench";
  fs::path served = www / "files" / id;
  fs::create_directories(served);
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::ostringstream fileId;
    fileId << "f" << std::setw(4) << std::setfill('0') << i;
    const std::string relative = files[i].lexically_relative(folder).string();
    const Digests& d = digests.at(relative);
    sandbox::SandboxFile file;
    file.id = fileId.str();
    file.relativePath = relative;
    file.fingerprint = "v-" + d.sha256.substr(0, 16);
    file.source = fs::absolute(files[i]);
    file.size = static_cast<std::int64_t>(fs::file_size(files[i]));
    file.sha256 = d.sha256;
    file.md5 = d.md5;
    file.checksum = md5 ? d.md5 : d.sha256;
    if (md5) file.checksumKind = "md5";
    fs::path link = served / file.id;
    fs::remove(link);
    fs::create_symlink(file.source, link);
    delivery.files.push_back(std::move(file));
  }
  return delivery;
}

[[noreturn]] void usage() {
  std::cerr << "usage: trellisant-bench-server --make-tls DIR | --tls-folder DIR --www DIR "
               "--folder DIR [--ready FILE] [--offer ID=FOLDER]... [--offer-md5 ID=FOLDER]...\n";
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  fs::path tls, www, folder, ready;
  struct Offer {
    std::string id;
    fs::path folder;
    bool md5 = false;
  };
  std::vector<Offer> offers;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (arg == "--make-tls") {
      sandbox::ensureTlsMaterial(value());
      return 0;
    } else if (arg == "--tls-folder") {
      tls = value();
    } else if (arg == "--www") {
      www = value();
    } else if (arg == "--folder") {
      folder = value();
    } else if (arg == "--ready") {
      ready = value();

    } else if (arg == "--offer" || arg == "--offer-md5") {
      std::string offer = value();
      auto equals = offer.find('=');
      if (equals == std::string::npos) usage();
      offers.push_back({offer.substr(0, equals), offer.substr(equals + 1), arg == "--offer-md5"});
    } else {
      usage();
    }
  }
  if (tls.empty() || www.empty() || folder.empty()) usage();

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    sandbox::CompanyServer::Options options;
    options.tlsFolder = tls;
    options.port = 443;
    options.providerBase = "https://storage.googleapis.com";
    sandbox::CompanyServer company(options);
    for (auto& offer : offers)
      company.addDelivery(deliveryOf(offer.id, offer.folder, www, offer.md5));
    company.start();

    Vault::save(company.issueCredentials(std::chrono::hours(24), true));
    Preferences preferences = Preferences::load();
    preferences.server = company.baseUrl();
    preferences.setDestination(folder);
    preferences.receiving = true;
    preferences.overnight = false;
    preferences.save(Paths::preferencesFile());
    if (!ready.empty()) writeAtomically(ready, company.baseUrl() + "\n", 0644);

    int received = 0;
    sigwait(&signals, &received);
    company.stop();
  } catch (const std::exception& error) {
    std::cerr << "trellisant-bench-server: " << userMessage(error) << "\n";
    return 1;
  }
  return 0;
}
