#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "agent.h"
#include "control/agent_status.h"
#include "settings/preferences.h"
#include "test_support.h"
#include "sandbox_world.h"

namespace trellisant::testing {

struct FakePowerSource : PowerSource {
  std::atomic<bool> mains{true};
  bool onPower() override { return mains; }
};

struct FakeInhibitor : SleepInhibitor {
  std::atomic<int> acquired{0};
  std::atomic<int> released{0};
  bool acquire() override {
    ++acquired;
    return true;
  }
  void release() override { ++released; }
};

struct FakeNotifier : Notifier {
  std::mutex mutex;
  std::vector<std::tuple<std::string, std::string, std::string>> posts;
  void post(const std::string& id, const std::string& title, const std::string& body) override {
    std::lock_guard lock(mutex);
    posts.emplace_back(id, title, body);
  }
};

// Remembers the bandwidth each file was given, then downloads it for real.
struct RecordingDownloader : Downloader {
  using Downloader::Downloader;
  std::mutex mutex;
  std::vector<std::pair<std::string, double>> calls;
  void download(const Delivery& delivery, const ManifestFile& file, const std::filesystem::path& root,
                double bandwidthMbps, std::stop_token stop) override {
    {
      std::lock_guard lock(mutex);
      calls.emplace_back(file.id, bandwidthMbps);
    }
    Downloader::download(delivery, file, root, bandwidthMbps, stop);
  }
};

// An agent with short pauses and ticks, fake power, notifier, free space and clock, talking
// to the in-process sandbox under its real names.
class AgentTest : public ::testing::Test {
 protected:
  AgentTest();
  ~AgentTest() override;

  SandboxWorld& world() { return SandboxWorld::shared(); }
  sandbox::CompanyServer& company() { return world().company(); }

  void signIn();
  // Writes preferences for the sandbox server; with `folder`, the download folder is chosen.
  Preferences configure(bool receiving, bool folder = true);
  // A delivery of files of these sizes, added to the sandbox.
  sandbox::SandboxDelivery offer(const std::string& id, const std::vector<std::int64_t>& sizes);

  std::unique_ptr<Agent> makeAgent(std::chrono::milliseconds tick = std::chrono::milliseconds(150));
  AgentStatus status() const { return AgentStatus::load(); }
  // The agents' log lines so far.
  std::vector<std::string> logLines();
  // Requests whose path ends with `suffix`.
  std::vector<sandbox::RecordedRequest> requests(const std::string& method, const std::string& suffix) const;

  TempHome home_;
  TempDir folder_;
  std::shared_ptr<FakePowerSource> source_ = std::make_shared<FakePowerSource>();
  std::shared_ptr<FakeInhibitor> inhibitor_ = std::make_shared<FakeInhibitor>();
  std::shared_ptr<FakeNotifier> notifier_ = std::make_shared<FakeNotifier>();
  std::shared_ptr<RecordingDownloader> downloader_;
  std::atomic<std::int64_t> freeSpace_{1'000'000'000'000'000};
  Date now_ = SystemClock::now();
  std::vector<std::string> offered_;
  std::mutex logMutex_;
  std::vector<std::string> log_;
};

}  // namespace trellisant::testing
