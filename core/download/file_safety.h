#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "url.h"

// Checks between names and addresses chosen by other parties and the user's disk or network.
namespace trellisant::FileSafety {

// The safe folder and file names of a "/"-separated relative path, in NFC.
// Throws TrellisantError DownloadMessages::unsafeName.
std::vector<std::string> components(std::string_view relativePath);

// The one safe name `text` makes under the rules of `components`, in NFC: the form in which
// `directory` creates it. Throws TrellisantError DownloadMessages::unsafeName.
std::string component(std::string_view text);

// Whether `name` is usable as one folder or file name under the rules of `components`.
bool safeName(std::string_view name);

// A safe single folder name made from any display text; never fails.
std::string label(std::string_view text);

// Whether a download may contact this address: https to the storage providers, or, with
// `allowLocal`, plain http to localhost / 127.0.0.1.
bool allowedURL(const Url& url, bool allowLocal);
bool allowedURL(std::string_view url, bool allowLocal);

// Opens (creating as needed, mode 0700) the folder `components` below `root` through directory
// descriptors, never following a symbolic link; each name is taken as `component` makes it.
// The caller owns and closes the result. Throws TrellisantError.
int directory(const std::filesystem::path& root, const std::vector<std::string>& components);

// Renames `from` to `to` within the folder, never replacing an entry already at `to`; false
// with errno set otherwise (EEXIST when `to` is taken).
bool renameExclusively(int folder, const std::string& from, const std::string& to);

}  // namespace trellisant::FileSafety
