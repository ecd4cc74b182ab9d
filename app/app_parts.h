#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "api/sign_in.h"
#include "control/agent_status.h"
#include "control/agent_timing.h"
#include "platform/login_item.h"
#include "platform/notifier.h"
#include "clock.h"
#include "scheme_handler.h"

class QWidget;

namespace trellisant::app {

// Lets the user pick the download folder.
class FolderChooser {
 public:
  virtual ~FolderChooser() = default;
  // Opens the chooser at `start` (when given) and calls `done` exactly once, later, with the
  // chosen folder or nothing when the user cancels.
  virtual void choose(const std::optional<std::filesystem::path>& start,
                      std::function<void(std::optional<std::filesystem::path>)> done) = 0;
};

// QFileDialog for one directory, as a sheet over the window `parent()` names (free when none).
class DialogFolderChooser : public FolderChooser {
 public:
  static constexpr std::string_view prompt = "Use this folder";
  static constexpr std::string_view message =
      "Footage will download directly to this folder. External disks must stay connected.";

  explicit DialogFolderChooser(std::function<QWidget*()> parent = {}) : parent_(std::move(parent)) {}
  void choose(const std::optional<std::filesystem::path>& start,
              std::function<void(std::optional<std::filesystem::path>)> done) override;

 private:
  std::function<QWidget*()> parent_;
};

// Opens addresses in the user's default browser.
class BrowserOpener {
 public:
  virtual ~BrowserOpener() = default;
  // False when no browser took the address.
  virtual bool open(const std::string& url) = 0;
};

class DesktopBrowserOpener : public BrowserOpener {
 public:
  bool open(const std::string& url) override;
};

// Everything the model reaches outside itself. Tests replace any of it.
struct AppParts {
  std::shared_ptr<LoginItem> loginItem;
  // Asks the running agent for its status; blocking, called off the UI thread.
  std::function<std::optional<AgentStatus>()> agentStatus;
  std::function<Date()> now;
  std::shared_ptr<BrowserOpener> browser;
  std::shared_ptr<FolderChooser> folderChooser;
  std::shared_ptr<Notifier> notifier;
  // Whether a notification server answers; blocking, called off the UI thread.
  std::function<bool()> notificationsAvailable;
  // Shows a folder in the file manager; throws when it cannot.
  std::function<void(const std::filesystem::path&)> openFolder;
  // Ends the program.
  std::function<void()> quit;
  // Brings the app's window to the front.
  std::function<void()> activate;
  // Whether the desktop shows tray icons; asked at start and every trayCheckInterval.
  std::function<bool()> trayAvailable;
  // Makes this program the handler of trellisant:// addresses; none leaves the desktop as it is.
  std::shared_ptr<SchemeHandler> schemeHandler;
  std::chrono::milliseconds refreshInterval = kStatusRefreshInterval;
  std::chrono::milliseconds trayCheckInterval{2000};
  std::chrono::milliseconds signInTimeLimit = CallbackWaiter::defaultLimit;

  // The real thing: the systemd login item, the control socket, the desktop's browser,
  // folder dialog, notification server, tray and URL handlers.
  static AppParts system();
};

}  // namespace trellisant::app
