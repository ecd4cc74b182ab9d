#include "delivery_pass.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

#include "api/resources.h"
#include "download/free_space.h"
#include "text.h"

namespace trellisant {
namespace {

constexpr int kBatchSize = 2;
constexpr int kTicksPerLease = 5;
// What the user and the server are told of a delivery's failure, in user-perceived characters.

// The log line's start when the received history cannot be written; the delivery goes on.
constexpr std::string_view kHistoryNotWritten = "the received history was not written: ";

// How a delivery is named in the log: its id and, quoted, its name.
std::string named(const Delivery& delivery) {
  return "delivery " + delivery.id + " \"" + delivery.name + "\"";
}

}  // namespace

// The first failure among a delivery's downloads and its ticker, and the stop that goes out
// to the downloads.
class DownloadOutcome {
 public:
  void fail(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = std::move(error);
    files_.request_stop();
  }
  std::exception_ptr error() {
    std::lock_guard lock(mutex_);
    return error_;
  }
  std::stop_source& files() { return files_; }

 private:
  std::mutex mutex_;
  std::exception_ptr error_;
  std::stop_source files_;
};

void finishInterruptedRecords(ReceivedHistory& history, const std::function<Journal&()>& journal,
                              const std::vector<Delivery>& listed, const LogSink& log) {
  try {
    history.finishBegun(
        [&](const ReceivedDelivery& noted) {
          return std::none_of(listed.begin(), listed.end(),
                              [&](const Delivery& delivery) { return delivery.id == noted.id; }) &&
                 journal().filesAtLeast(noted.id, JournalState::finalized) == noted.files;
        },
        SystemClock::now());
  } catch (const std::exception& error) {
    log(std::string(kHistoryNotWritten) + userMessage(error));
  }
}

DeliveryPass::DeliveryPass(DeliveryPassParts parts, const Preferences& preferences,
                           std::filesystem::path root, std::stop_token stop)
    : parts_(std::move(parts)),
      preferences_(preferences),
      root_(std::move(root)),
      stop_(std::move(stop)) {}

void DeliveryPass::run(const std::vector<Delivery>& deliveries) {
  finishInterruptedRecords(parts_.history, [&]() -> Journal& { return parts_.journal; }, deliveries,
                           parts_.log);
  bool attempted = false;
  for (const Delivery& delivery : deliveries) {
    throwIfStopped(stop_);
    if (parts_.retries.waiting(delivery.id)) continue;
    attempted = true;
    try {
      receive(delivery);
    } catch (...) {
      if (stop_.stop_requested()) throw;
      fail(delivery, std::current_exception());
    }
    parts_.power.update(parts_.settings(), false);
  }
  // A pass that only skipped deliveries in back-off changed nothing, but the record must stay
  // younger than the age at which the app calls the agent unresponsive.
  if (!attempted) parts_.status.republish();
}

void DeliveryPass::checkFreeSpace(const Delivery& delivery) {
  std::int64_t total = parseInt64(delivery.totalBytes).value_or(0);
  // The server's total may be anything a 64-bit number holds.
  std::int64_t remaining = 0;
  if (__builtin_sub_overflow(total, parts_.journal.bytes(delivery.id), &remaining))
    remaining = total < 0 ? 0 : std::numeric_limits<std::int64_t>::max();
  remaining = std::max<std::int64_t>(0, remaining);
  requireFreeSpace(SpaceCheck::delivery, parts_.freeSpace(root_), remaining, remaining);
}

void DeliveryPass::receive(const Delivery& delivery) {
  parts_.log(named(delivery) + " started: " + std::to_string(delivery.fileCount) + " files, " +
             delivery.totalBytes + " bytes");
  Resources::lease(parts_.api, delivery.id, stop_);
  std::vector<ManifestFile> files = parts_.api.files(delivery, stop_);
  checkFreeSpace(delivery);
  parts_.receipts.due(delivery, files);
  parts_.power.update(preferences_, true);
  ReceivedDelivery record = received(delivery, files);
  // Noted before the server hears of any file, so that the record can be finished after a cut.
  if (!files.empty()) {
    writeHistory([&] { parts_.history.begun(record); });
    downloadFiles(delivery, files);
  }
  record.receipt = parts_.receipts.write(delivery, files, root_);
  parts_.retries.completed(delivery.id);
  record.completedAt = SystemClock::now();
  parts_.status.publish(AgentState::completed, "Your footage is ready.", &delivery,
                        parseInt64(delivery.totalBytes).value_or(0));
  parts_.log(named(delivery) + " completed");
  writeHistory([&] { parts_.history.completed(record); });
  parts_.notifier.post(delivery.id, "Footage is ready", delivery.name,
                       [folder = record.folder] { openFolder(folder); });
}

ReceivedDelivery DeliveryPass::received(const Delivery& delivery,
                                        const std::vector<ManifestFile>& files) const {
  auto verified = std::count_if(files.begin(), files.end(),
                                [](const ManifestFile& file) { return file.checksum.has_value(); });
  std::filesystem::path folder = root_;
  for (const std::string& name : Downloader::transferFolders(delivery)) folder /= name;
  const Date now = SystemClock::now();
  return {delivery.id,
          delivery.name,
          delivery.companyName,
          delivery.projectName,
          folder,
          static_cast<std::int64_t>(files.size()),
          parseInt64(delivery.totalBytes).value_or(0),
          static_cast<std::int64_t>(verified),
          now,
          now};
}

void DeliveryPass::writeHistory(const std::function<void()>& write) {
  try {
    write();
  } catch (const std::exception& error) {
    parts_.log(std::string(kHistoryNotWritten) + userMessage(error));
  }
}

void DeliveryPass::downloadFiles(const Delivery& delivery, const std::vector<ManifestFile>& files) {
  // The user and the server hear of the delivery as it starts, and then from one ticker that
  // spans its batches: a batch of small files ends long before a tick, so a ticker per batch
  // would never report at all.
  report(delivery, 0, stop_);
  DownloadOutcome outcome;
  std::jthread ticker([&](std::stop_token own) {
    try {
      for (int count = 1; sleepFor(parts_.tick, own); ++count) report(delivery, count, own);
    } catch (...) {
      // The ticker ends by being stopped once the files are in; only a real failure counts.
      if (!own.stop_requested()) outcome.fail(std::current_exception());
    }
  });
  std::stop_callback agentStopping(stop_, [&] {
    outcome.files().request_stop();
    ticker.request_stop();
  });
  try {
    for (std::size_t first = 0; first < files.size() && !outcome.error(); first += kBatchSize) {
      std::size_t last = std::min(files.size(), first + kBatchSize);
      Resources::lease(parts_.api, delivery.id, stop_);
      runBatch(delivery, std::vector<ManifestFile>(files.begin() + first, files.begin() + last),
               outcome);
    }
  } catch (...) {
    outcome.fail(std::current_exception());
  }
  ticker.request_stop();
  ticker.join();
  throwIfStopped(stop_);
  if (auto error = outcome.error()) std::rethrow_exception(error);
}

void DeliveryPass::runBatch(const Delivery& delivery, const std::vector<ManifestFile>& files,
                            DownloadOutcome& outcome) {
  // Two concurrent files share the user's limit; 0 (no limit) stays 0.
  double bandwidth = preferences_.bandwidthMbps / static_cast<double>(files.size());
  std::vector<std::jthread> members;  // joined as the batch ends
  for (const ManifestFile& file : files) {
    members.emplace_back([&, file] {
      try {
        parts_.downloader.download(delivery, file, root_, bandwidth, outcome.files().get_token());
        parts_.log("file \"" + file.relativePath + "\" of " + named(delivery) + " completed");
      } catch (...) {
        outcome.fail(std::current_exception());
      }
    });
  }
}

void DeliveryPass::report(const Delivery& delivery, int count, std::stop_token stop) {
  Preferences current = parts_.settings();
  if (!current.receiving || (!parts_.power.onPower() && !current.allowBattery))
    throw TrellisantError("Receiving paused. Your downloaded footage is saved.");
  if (count > 0 && count % kTicksPerLease == 0) Resources::lease(parts_.api, delivery.id, stop);
  std::int64_t bytes = parts_.journal.bytes(delivery.id);
  parts_.status.publish(AgentState::downloading, "Downloading original footage", &delivery, bytes);
  Resources::downloading(parts_.api, delivery.id, bytes, stop);
  Resources::heartbeat(parts_.api, Readiness::ready, preferences_.destinationLabel, stop);
}

void reportNeedsAttention(API& api, const StatusSink& status, const LogSink& log, const Delivery& delivery,
                          std::int64_t bytes, const std::exception_ptr& error, const std::string& logTail,
                          std::stop_token stop) {
  std::string reason = prefixCharacters(userMessage(error), Resources::reasonCharacters);
  log(named(delivery) + " failed: " + reason + logTail);
  status.publish(AgentState::needsAttention, reason, &delivery, bytes);
  try {
    Resources::waiting(api, delivery.id, bytes, reason, stop);
  } catch (...) {
    // The waiting report is best effort.
  }
}

void DeliveryPass::fail(const Delivery& delivery, const std::exception_ptr& error) {
  double delay = parts_.retries.failed(delivery.id);
  reportNeedsAttention(parts_.api, parts_.status, parts_.log, delivery, parts_.journal.bytes(delivery.id), error,
                       " (next attempt in " + std::to_string(std::lround(delay)) + " s)", stop_);
}

}  // namespace trellisant
