#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <stop_token>
#include <vector>

#include "agent.h"
#include "download/journal.h"

namespace trellisant {

class DownloadOutcome;

// One delivery pass: every listed delivery in order, two files at a time, with back-off.
class DeliveryPass {
 public:
  struct Context {
    std::shared_ptr<API> api;
    std::filesystem::path root;
    const Preferences& preferences;
    AgentParts& parts;
    const AgentTiming& timing;
    std::map<std::string, RetryEntry>& retries;
  };

  // Opens the journal; its failure fails the caller's pass.
  DeliveryPass(Context context, std::stop_token stop);
  void run(const std::vector<Delivery>& deliveries);

 private:
  void receive(const Delivery& delivery);
  void downloadFiles(const Delivery& delivery, const std::vector<ManifestFile>& files);
  void runBatch(const Delivery& delivery, const std::vector<ManifestFile>& files,
                DownloadOutcome& outcome);
  // One progress report: the pause check, every 5th a lease, status, progress and heartbeat.
  void report(const Delivery& delivery, int count, std::stop_token stop);
  void fail(const Delivery& delivery, const std::exception_ptr& error);
  void checkFreeSpace(const Delivery& delivery);

  Context context_;
  std::stop_token stop_;
  std::shared_ptr<Journal> journal_;
  std::shared_ptr<Downloader> downloader_;
};

}  // namespace trellisant
