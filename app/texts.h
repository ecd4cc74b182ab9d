#pragma once

// The app's own texts that more than one place shows, each written once. Texts the core raises
// come from the core.
namespace trellisant::app::texts {

inline constexpr const char* appName = "Trellisant";
inline constexpr const char* enableReceiving = "Enable receiving";
inline constexpr const char* pauseReceiving = "Pause receiving";
inline constexpr const char* receivingPaused = "Receiving is paused";
inline constexpr const char* signIn = "Sign in to Trellisant";
inline constexpr const char* downloadFolder = "Download folder";
inline constexpr const char* chooseFolder = "Choose folder";
inline constexpr const char* chooseDownloadFolder = "Choose download folder";
inline constexpr const char* bandwidthLimit = "Bandwidth limit";
inline constexpr const char* backgroundSettings = "Background settings";

// What assistive technology says about the controls that both sections show.
inline constexpr const char* chooseFolderDescription = "Chooses the folder footage downloads to";
inline constexpr const char* enableDescription =
    "Turns receiving on and starts the agent at login";

}  // namespace trellisant::app::texts
