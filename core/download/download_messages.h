#pragma once

// The download subsystem's sentences that more than one place raises, or that another layer
// names; a sentence raised in one place only stays beside its code.
namespace trellisant::DownloadMessages {

inline constexpr const char* unsafeName = "This file has an unsafe destination name.";
inline constexpr const char* folderUnavailable =
    "A destination folder is unavailable or contains a symbolic link.";
inline constexpr const char* diskUnavailable =
    "Your download disk is unavailable. Reconnect it to resume.";
inline constexpr const char* diskFull = "Your download disk is full. Free up space to resume.";
// The free-space rule's: before a delivery's files start, and before each range.
inline constexpr const char* noRoomForDelivery =
    "Free up space on your download disk before this transfer starts.";
inline constexpr const char* noRoomForRange = "Free up space on the download disk to continue.";

}  // namespace trellisant::DownloadMessages
