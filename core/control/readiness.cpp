#include "control/readiness.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "api/resources.h"
#include "control/agent_timing.h"
#include "error.h"
#include "encoding.h"
#include "text.h"

namespace trellisant {
namespace {

constexpr std::string_view kProbeText = "Trellisant readiness test";

// Writes and removes a probe file; never leaves it behind, even when writing fails.
void probe(const std::filesystem::path& root) {
  auto path = root / (".trellisant-test-" + asciiUppercase(makeUUID()));
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw systemError(errno);
  int error = 0;
  std::string_view left = kProbeText;
  while (!left.empty() && error == 0) {
    ssize_t n = ::write(fd, left.data(), left.size());
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) left.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (::unlink(path.c_str()) != 0 && error == 0) error = errno;
  if (error != 0) throw systemError(error);
}

}  // namespace

AgentStatus applyStatusOverrides(AgentStatus status, const Preferences& preferences,
                                 bool serviceReady, Date now) {
  if (!preferences.receiving) {
    status.state = AgentState::paused;
    status.message = AgentStatus::pausedMessage;
  } else if (!serviceReady) {
    status.state = AgentState::setup;
    status.message = "Allow Trellisant in Background settings to receive in the background.";
  } else if (now - status.updatedAt > kNotRespondingAfter) {
    status.state = AgentState::needsAttention;
    status.message = "The receiving helper is not responding. Restart receiving.";
  }
  return status;
}

void testReadiness(const Preferences& preferences, bool signedIn, bool serviceReady,
                   const std::function<AgentStatus()>& refreshedStatus, std::stop_token stop) {
  if (!signedIn) throw TrellisantError("Sign in to test your device.");
  auto root = preferences.rootPath();
  if (::access(root.c_str(), W_OK) != 0) throw TrellisantError("Choose a writable download folder.");
  probe(root);
  throwIfStopped(stop);
  if (serviceReady) {
    AgentStatus status = refreshedStatus();
    if (status.is(AgentState::needsAttention)) throw TrellisantError(status.message);
    return;
  }
  API api(preferences.server);
  Resources::heartbeat(api, Readiness::setup, preferences.destinationLabel, stop);
}

AgentStatus readinessPassed(AgentStatus status) {
  status.state = AgentState::ready;
  status.message =
      "Folder access and device connection checked. Provider downloads still require connected "
      "storage accounts.";
  return status;
}

}  // namespace trellisant
