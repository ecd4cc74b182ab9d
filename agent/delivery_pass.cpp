#include "delivery_pass.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

#include "api/resources.h"
#include "download/free_space.h"
#include "settings/preferences.h"
#include "text.h"

namespace trellisant {
namespace {

constexpr int kBatchSize = 2;
constexpr int kAttemptCap = 6;
constexpr double kMaximumDelay = 300;
constexpr int kTicksPerLease = 5;

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

DeliveryPass::DeliveryPass(Context context, std::stop_token stop)
    : context_(context), stop_(std::move(stop)) {
  journal_ = std::make_shared<Journal>(Journal::file());
  downloader_ = context_.parts.makeDownloader(context_.api, journal_);
}

void DeliveryPass::run(const std::vector<Delivery>& deliveries) {
  bool attempted = false;
  for (const Delivery& delivery : deliveries) {
    throwIfStopped(stop_);
    auto entry = context_.retries.find(delivery.id);
    if (entry != context_.retries.end() && entry->second.next > context_.parts.now()) continue;
    attempted = true;
    try {
      receive(delivery);
    } catch (...) {
      if (stop_.stop_requested()) throw;
      fail(delivery, std::current_exception());
    }
    context_.parts.power->update(Preferences::load(), false);
  }
  // A pass that only skipped deliveries in back-off changed nothing, but the record must stay
  // younger than the age at which the app calls the agent unresponsive.
  if (!attempted) Agent::republish();
}

void DeliveryPass::checkFreeSpace(const Delivery& delivery) {
  std::int64_t available = context_.parts.freeSpace(context_.root).value_or(0);
  std::int64_t total = parseInt64(delivery.totalBytes).value_or(0);
  // The server's total may be anything a 64-bit number holds; a sum past the largest one
  // needs more than any disk has.
  std::int64_t remaining = 0, needed = 0;
  if (__builtin_sub_overflow(total, journal_->bytes(delivery.id), &remaining))
    remaining = total < 0 ? 0 : std::numeric_limits<std::int64_t>::max();
  remaining = std::max<std::int64_t>(0, remaining);
  if (__builtin_add_overflow(remaining, freeSpaceReserve(remaining), &needed) || available < needed)
    throw TrellisantError("Free up space on your download disk before this transfer starts.");
}

void DeliveryPass::receive(const Delivery& delivery) {
  API& api = *context_.api;
  context_.parts.log(named(delivery) + " started: " + std::to_string(delivery.fileCount) +
                     " files, " + delivery.totalBytes + " bytes");
  Resources::lease(api, delivery.id, stop_);
  std::vector<ManifestFile> files = api.files(delivery, stop_);
  checkFreeSpace(delivery);
  context_.parts.power->update(context_.preferences, true);
  if (!files.empty()) downloadFiles(delivery, files);
  context_.retries.erase(delivery.id);
  Agent::publish(AgentState::completed, "Your footage is ready.", &delivery,
                 parseInt64(delivery.totalBytes).value_or(0));
  context_.parts.log(named(delivery) + " completed");
  context_.parts.notifier->post(delivery.id, "Footage is ready", delivery.name);
}

void DeliveryPass::downloadFiles(const Delivery& delivery, const std::vector<ManifestFile>& files) {
  // The user and the server hear of the delivery as it starts, and then from one ticker that
  // spans its batches: a batch of small files ends long before a tick, so a ticker per batch
  // would never report at all.
  report(delivery, 0, stop_);
  DownloadOutcome outcome;
  std::jthread ticker([&](std::stop_token own) {
    try {
      for (int count = 1; sleepFor(context_.timing.tick, own); ++count) report(delivery, count, own);
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
      Resources::lease(*context_.api, delivery.id, stop_);
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
  double bandwidth = context_.preferences.bandwidthMbps / static_cast<double>(files.size());
  std::vector<std::jthread> members;  // joined as the batch ends
  for (const ManifestFile& file : files) {
    members.emplace_back([&, file] {
      try {
        downloader_->download(delivery, file, context_.root, bandwidth, outcome.files().get_token());
        context_.parts.log("file \"" + file.relativePath + "\" of " + named(delivery) +
                           " completed");
      } catch (...) {
        outcome.fail(std::current_exception());
      }
    });
  }
}

void DeliveryPass::report(const Delivery& delivery, int count, std::stop_token stop) {
  API& api = *context_.api;
  Preferences current = Preferences::load();
  if (!current.receiving || (!context_.parts.power->onPower() && !current.allowBattery))
    throw TrellisantError("Receiving paused. Your downloaded footage is saved.");
  if (count > 0 && count % kTicksPerLease == 0) Resources::lease(api, delivery.id, stop);
  std::int64_t bytes = journal_->bytes(delivery.id);
  Agent::publish(AgentState::downloading, "Downloading original footage", &delivery, bytes);
  Resources::downloading(api, delivery.id, bytes, stop);
  Resources::heartbeat(api, Readiness::ready, context_.preferences.destinationLabel, stop);
}

void DeliveryPass::fail(const Delivery& delivery, const std::exception_ptr& error) {
  auto previous = context_.retries.find(delivery.id);
  int attempt = std::min((previous != context_.retries.end() ? previous->second.attempt : 0) + 1,
                         kAttemptCap);
  double delay = std::min(5.0 * std::pow(2.0, attempt), kMaximumDelay) + context_.parts.jitter();
  context_.retries[delivery.id] = RetryEntry{
      attempt, context_.parts.now() + std::chrono::duration_cast<SystemClock::duration>(Seconds(delay))};

  std::string reason = prefixCharacters(userMessage(error), Resources::reasonCharacters);
  context_.parts.log(named(delivery) + " failed: " + reason + " (next attempt in " +
                     std::to_string(std::lround(delay)) + " s)");
  std::int64_t bytes = journal_->bytes(delivery.id);
  Agent::publish(AgentState::needsAttention, reason, &delivery, bytes);
  try {
    Resources::waiting(*context_.api, delivery.id, bytes, reason, stop_);
  } catch (...) {
    // The waiting report is best effort.
  }
}

}  // namespace trellisant
