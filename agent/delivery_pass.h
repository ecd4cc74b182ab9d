#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <vector>

#include "api/api.h"
#include "download/downloader.h"
#include "download/journal.h"
#include "history/received_history.h"
#include "log.h"
#include "platform/notifier.h"
#include "platform/power_policy.h"
#include "receipt_step.h"
#include "retry_table.h"
#include "settings/preferences.h"
#include "status_sink.h"

namespace trellisant {

class DownloadOutcome;

// What a delivery pass works with, every piece handed in by the agent.
struct DeliveryPassParts {
  API& api;
  Journal& journal;
  Downloader& downloader;
  // Where received deliveries are listed; a failure to write it is logged, never the delivery's.
  ReceivedHistory& history;
  const StatusSink& status;
  RetryTable& retries;
  // The preferences as they stand now; asked at every progress tick and after each delivery.
  std::function<Preferences()> settings;
  PowerPolicy& power;
  Notifier& notifier;
  Downloader::FreeSpaceProbe freeSpace;
  LogSink log;
  std::chrono::steady_clock::duration tick;
  ReceiptStep& receipts;
};

// Finishes the history's records that a stop or a power cut kept from being written: those of
// noted deliveries that the server no longer lists (so they will not complete here again) and
// whose every file was verified. `journal` is asked only when there are such notes. A failure
// is a log line.
void finishInterruptedRecords(ReceivedHistory& history, const std::function<Journal&()>& journal,
                              const std::vector<Delivery>& listed, const LogSink& log);

// Tells the log, the status record and the server (best effort) that `delivery` needs attention
// for `error`, with `bytes` received; the reason is cut to what the server takes. `logTail`
// follows the log line's reason.
void reportNeedsAttention(API& api, const StatusSink& status, const LogSink& log, const Delivery& delivery,
                          std::int64_t bytes, const std::exception_ptr& error, const std::string& logTail,
                          std::stop_token stop);

// One delivery pass: every listed delivery in order, two files at a time, with back-off.
class DeliveryPass {
 public:
  // `preferences` are those the pass began with; `root` is the download folder.
  DeliveryPass(DeliveryPassParts parts, const Preferences& preferences,
               std::filesystem::path root, std::stop_token stop);
  void run(const std::vector<Delivery>& deliveries);

 private:
  void receive(const Delivery& delivery);
  void checkFreeSpace(const Delivery& delivery);
  void downloadFiles(const Delivery& delivery, const std::vector<ManifestFile>& files);
  void runBatch(const Delivery& delivery, const std::vector<ManifestFile>& files,
                DownloadOutcome& outcome);
  // One progress report: the pause check, every 5th a lease, status, progress and heartbeat.
  void report(const Delivery& delivery, int count, std::stop_token stop);
  void fail(const Delivery& delivery, const std::exception_ptr& error);
  // The history's record of the delivery, with `files` its manifest.
  ReceivedDelivery received(const Delivery& delivery, const std::vector<ManifestFile>& files) const;
  // Runs a write of the history; its failure is a log line.
  void writeHistory(const std::function<void()>& write);

  DeliveryPassParts parts_;
  const Preferences& preferences_;
  std::filesystem::path root_;
  std::stop_token stop_;
};

}  // namespace trellisant
