#include "agent_fixture.h"

#include <fcntl.h>

#include "unique_fd.h"
#include "settings/vault.h"

namespace trellisant::testing {

AgentTest::AgentTest() {
  company().clearRequests();
  company().clearInjections();
  world().provider().clearFaults();
}

AgentTest::~AgentTest() {
  for (auto& id : offered_) world().store()->remove(id);
  company().clearInjections();
  world().provider().clearFaults();
}

void AgentTest::signIn() { Vault::save(company().issueCredentials(std::chrono::hours(1), true)); }

Preferences AgentTest::configure(bool receiving, bool folder) {
  Preferences preferences = Preferences::load();
  preferences.server = company().baseUrl();
  if (folder) preferences.setDestination(folder_.path());
  preferences.receiving = receiving;
  // The overnight window would make the power lock depend on the hour the test runs at.
  preferences.overnight = false;
  preferences.save(Preferences::file());
  return preferences;
}

sandbox::SandboxDelivery AgentTest::offer(const std::string& id, const std::vector<std::int64_t>& sizes) {
  sandbox::SandboxDelivery delivery;
  delivery.id = id;
  delivery.transferId = "T" + id + "-transfer";
  delivery.name = "Delivery " + id;
  delivery.projectName = "Project";
  delivery.companyName = "Acme";
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    std::string name = id + "-clip" + std::to_string(i) + ".mov";
    auto source = world().makeSource(name, sizes[i], i + 7);
    sandbox::SandboxFile file;
    file.id = id + "-f" + std::to_string(i);
    file.relativePath = "Reel/" + name;
    file.fingerprint = "v1";
    file.source = source;
    file.size = sizes[i];
    UniqueFd fd(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    std::tie(file.sha256, file.md5) = Downloader::hashes(fd.get());
    delivery.files.push_back(file);
  }
  company().addDelivery(delivery);
  offered_.push_back(id);
  return delivery;
}

std::unique_ptr<Agent> AgentTest::makeAgent(std::chrono::milliseconds tick) {
  AgentParts parts;
  parts.power = std::make_shared<PowerPolicy>(source_, inhibitor_);
  parts.notifier = notifier_;
  parts.freeSpace = [this](const std::filesystem::path&) { return std::optional<std::int64_t>(freeSpace_.load()); };
  parts.makeDownloader = [this](std::shared_ptr<API> api, std::shared_ptr<Journal> journal) {
    downloader_ = std::make_shared<RecordingDownloader>(std::move(api), std::move(journal),
                                                        [this](const std::filesystem::path&) {
                                                          return std::optional<std::int64_t>(freeSpace_.load());
                                                        });
    return downloader_;
  };
  parts.makeAPI = [](const std::string& server) {
    EventTiming timing;
    timing.limit = std::chrono::milliseconds(300);
    return std::make_shared<API>(server, timing);
  };
  parts.jitter = [] { return 0.0; };
  parts.now = [this] { return now_; };
  parts.log = [this](std::string_view line) {
    std::lock_guard lock(logMutex_);
    log_.emplace_back(line);
  };
  parts.controlService = false;
  AgentTiming timing;
  timing.pause = std::chrono::milliseconds(20);
  timing.tick = tick;
  timing.quickWait = std::chrono::milliseconds(20);
  return std::make_unique<Agent>(parts, timing);
}

std::vector<std::string> AgentTest::logLines() {
  std::lock_guard lock(logMutex_);
  return log_;
}

std::vector<sandbox::RecordedRequest> AgentTest::requests(const std::string& method,
                                                          const std::string& suffix) const {
  std::vector<sandbox::RecordedRequest> out;
  for (auto& request : SandboxWorld::shared().company().requests()) {
    std::string path = request.path();
    if (request.method == method && path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
      out.push_back(request);
  }
  return out;
}

}  // namespace trellisant::testing
