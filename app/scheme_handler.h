#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellisant::app {

// Makes the desktop open trellisant:// addresses, the browser's sign-in callback, with this
// program.
class SchemeHandler {
 public:
  virtual ~SchemeHandler() = default;
  // Blocking file work: called off the UI thread. True when it changed the desktop's handler.
  // Throws PlatformError when a file cannot be written.
  virtual bool ensure() = 0;
};

// The freedesktop way, as `xdg-mime default` does it: when the entry the desktop would start
// for x-scheme-handler/trellisant does not run this executable, a user desktop entry that does
// becomes the default in the user's mimeapps.list. No external program runs.
class DesktopSchemeHandler : public SchemeHandler {
 public:
  static constexpr std::string_view mimeType = "x-scheme-handler/trellisant";
  // Its own name, so that it never shadows an installed trellisant.desktop.
  static constexpr std::string_view entryName = "trellisant-handler.desktop";

  // Where the desktop looks, each list in its order of precedence.
  struct Folders {
    std::filesystem::path configHome;                // $XDG_CONFIG_HOME
    std::vector<std::filesystem::path> configDirs;   // $XDG_CONFIG_DIRS
    std::filesystem::path dataHome;                  // $XDG_DATA_HOME
    std::vector<std::filesystem::path> dataDirs;     // $XDG_DATA_DIRS
    std::vector<std::string> desktops;               // $XDG_CURRENT_DESKTOP, lower case
    std::vector<std::filesystem::path> programDirs;  // $PATH
    static Folders fromEnvironment();
  };

  explicit DesktopSchemeHandler(std::filesystem::path executable, Folders folders = Folders::fromEnvironment());
  bool ensure() override;

 private:
  struct Handlers {
    std::vector<std::filesystem::path> entries;
    std::optional<std::filesystem::path> defaultList;  // the mimeapps.list that chose them
  };
  Handlers handlers() const;
  bool allRunHere(const Handlers& found) const;
  std::optional<std::filesystem::path> installedEntry(const std::string& id) const;
  bool runsHere(const std::filesystem::path& entry) const;
  std::vector<std::filesystem::path> lists() const;
  std::vector<std::filesystem::path> applicationFolders() const;

  std::filesystem::path executable_;
  Folders folders_;
};

}  // namespace trellisant::app
