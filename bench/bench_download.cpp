// trellisant-bench-download: receives one delivery through the Downloader alone, the way the
// agent's delivery pass calls it (one file after another, or two at a time with a lease per
// pair as the agent does with --pairs), with the preferences and credentials of the current
// user. Prints "files=N bytes=B seconds=S".
//
//   trellisant-bench-download [--pairs] [LEVER-OFF...] DELIVERY_ID
//
// Each option switches one speed lever off (or back to how it was), to show what it is worth:
//   --sync-inline       fsync + checkpoint every 8 MiB on the receiving thread
//   --sync-behind       fsync + checkpoint every 8 MiB on a thread of their own
//   --no-write-behind   no early write-back (sync_file_range)
//   --write-behind N    early write-back of every N bytes
//   --curl-buffer N     libcurl's receive buffer in bytes (0: libcurl's default)
//   --write-size N      received pieces gathered into pwrites of N bytes (0: a pwrite each)
//   --sync-per-range    a syncer per range, which waits for the range's last chunk's sync
//   --verify-after      the verifying read once the last byte is there (not behind the writer)
//   --verify-behind     the verifying read behind the writer, one checkpoint back
//   --md5-always        compute MD5 even when the checksum is a SHA-256
//   --no-reuse          a new connection (and TLS handshake) for every request
//   --no-fold           every journal write synced on its own
//   --http2-provider    ranges over HTTP/2 where the provider offers it
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "api/http.h"
#include "api/resources.h"
#include "download/downloader.h"
#include "download/journal.h"
#include "error.h"
#include "settings/preferences.h"
#include "text.h"
#include "settings/paths.h"

using namespace trellisant;

int main(int argc, char** argv) {
  DownloadTuning tuning;
  std::string id;
  bool pairs = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--sync-inline" || arg == "--sync-behind") {
      tuning.transfer.syncBehind = arg == "--sync-behind";
    } else if (arg == "--sync-per-range") {
      tuning.syncAcrossRanges = false;
    } else if (arg == "--verify-after" || arg == "--verify-behind") {
      tuning.verifyBehind = arg == "--verify-behind";
    } else if (arg == "--no-write-behind") {
      tuning.transfer.writeBehindBytes = 0;
    } else if (arg == "--write-behind" && i + 1 < argc) {
      tuning.transfer.writeBehindBytes = std::atoll(argv[++i]);
    } else if (arg == "--write-size" && i + 1 < argc) {
      tuning.transfer.gatherBytes = std::atoll(argv[++i]);
    } else if (arg == "--curl-buffer" && i + 1 < argc) {
      tuning.transfer.receiveBufferBytes = std::atol(argv[++i]);
    } else if (arg == "--md5-always") {
      tuning.md5OnlyWhenNeeded = false;
    } else if (arg == "--pairs") {
      pairs = true;
    } else if (arg == "--no-reuse") {
      http::setConnectionReuse(false);
    } else if (arg == "--no-fold") {
      tuning.foldCommits = false;
    } else if (arg == "--http2-provider") {
      tuning.transfer.http2 = true;
    } else if (id.empty() && arg.rfind("--", 0) != 0) {
      id = arg;
    } else {
      id.clear();
      break;
    }
  }
  if (id.empty()) {
    std::cerr << "usage: trellisant-bench-download [--pairs] [--sync-inline|--sync-behind] "
                 "[--sync-per-range] [--no-write-behind] [--write-behind N] [--write-size N] "
                 "[--curl-buffer N] "
                 "[--verify-after|--verify-behind] [--md5-always] "
                 "[--no-reuse] [--no-fold] [--http2-provider] DELIVERY_ID\n";
    return 2;
  }
  try {
    auto started = std::chrono::steady_clock::now();
    Preferences preferences = Preferences::load();
    auto api = std::make_shared<API>(preferences.server);
    auto journal = std::make_shared<Journal>(Paths::journalFile());
    Downloader downloader(api, journal, [] { return true; }, availableBytes, tuning);

    auto list = Resources::deliveries(*api).deliveries;
    auto delivery = std::find_if(list.begin(), list.end(),
                                 [&](const Delivery& d) { return d.id == id; });
    if (delivery == list.end()) throw TrellisantError("The server does not offer this delivery.");
    std::int64_t bytes = 0;
    auto files = api->files(*delivery);
    for (const ManifestFile& file : files) bytes += parseInt64(file.size).value_or(0);
    const std::size_t batch = pairs ? 2 : 1;
    for (std::size_t first = 0; first < files.size(); first += batch) {
      if (pairs) Resources::lease(*api, delivery->id);
      std::vector<std::exception_ptr> errors(batch);
      {
        std::vector<std::jthread> members;
        for (std::size_t i = first; i < std::min(files.size(), first + batch); ++i)
          members.emplace_back([&, i] {
            try {
              downloader.download(*delivery, files[i], preferences.rootPath(),
                                  preferences.bandwidthMbps / static_cast<double>(batch));
            } catch (...) {
              errors[i - first] = std::current_exception();
            }
          });
      }
      for (auto& error : errors)
        if (error) std::rethrow_exception(error);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("files=%zu bytes=%lld seconds=%.3f\n", files.size(),
                static_cast<long long>(bytes), seconds);
  } catch (const std::exception& error) {
    std::cerr << "trellisant-bench-download: " << userMessage(error) << "\n";
    return 1;
  }
  return 0;
}
