#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "receipt/media_hash.h"

// The two XML documents of a media hash list (ASC MHL): a manifest (one generation of hashes)
// and the chain that lists the generations with their C4 ids.
namespace trellisant::Mhl {

inline constexpr std::string_view kFolder = "ascmhl";
inline constexpr std::string_view kChainFile = "ascmhl_chain.xml";

enum class Action { original, verified, failed };
std::string_view toString(Action action);

struct Hash {
  HashFormat format;
  std::string value;
  Action action = Action::original;
};

struct FileEntry {
  std::string path;  // relative to the folder the history covers, "/"-separated
  std::int64_t size = 0;
  std::string lastModification;  // an XML dateTime; empty when unknown
  std::vector<Hash> hashes;      // written in the format's order whatever their order here
};

struct Manifest {
  std::string creationDate;  // an XML dateTime
  std::string hostname;
  std::string tool;
  std::string toolVersion;
  std::string comment;  // empty: none
  std::string process = "transfer";
  std::vector<FileEntry> files;
};

struct ChainEntry {
  std::int64_t sequence = 0;
  std::string path;  // the manifest's name, relative to the chain file
  std::string c4;
};

// UTC as an XML dateTime ("2026-12-07T15:07:15Z") and as the manifest name's stamp
// ("2026-12-07_150715Z").
std::string dateTime(std::int64_t unixSeconds);
std::string nameStamp(std::int64_t unixSeconds);
// "0001_<folder>_<stamp>.mhl"; four digits or more.
std::string manifestName(std::int64_t sequence, std::string_view folder, std::string_view stamp);
// The sequence number a manifest name starts with; nothing for any other name.
std::optional<std::int64_t> sequenceOf(std::string_view name);

std::string manifestXml(const Manifest& manifest);
// `chain` with `entry` appended, every earlier byte kept; a new chain when `chain` is empty.
// Nothing when `chain` is not a chain this reader understands.
std::optional<std::string> chainWith(std::string_view chain, const ChainEntry& entry);

// The readers take documents of other tools too; nothing when the bytes are not one.
std::optional<Manifest> parseManifest(std::string_view xml);
std::optional<std::vector<ChainEntry>> parseChain(std::string_view xml);

}  // namespace trellisant::Mhl
