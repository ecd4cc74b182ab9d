#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "receipt/mhl_xml.h"

namespace trellisant {

// The media hash list history (ASC MHL) in the ascmhl/ folder of a folder: its chain and its
// newest generation. Every name is opened relative to the folder's descriptor without
// following links.
class MhlHistory {
 public:
  // The history of the folder open at `folder`; empty when it has none. Throws TrellisantError
  // when the history cannot be read, its chain is not one, or the newest manifest does not
  // match the C4 id its chain records.
  static MhlHistory read(int folder);

  bool empty() const { return chain_.empty(); }
  const std::vector<Mhl::ChainEntry>& chain() const { return chain_; }
  // The newest generation's manifest and name; nothing when the history is empty.
  const std::optional<Mhl::Manifest>& newest() const { return newest_; }
  const std::string& newestName() const { return newestName_; }

  // Writes `xml` as the next generation of the folder open at `folder` and appends it to the
  // chain: the manifest is synced under a temporary name and moved to the first free sequence
  // number without replacing anything, then the chain is replaced in one step. Returns the
  // manifest's name. Throws TrellisantError or PlatformError.
  std::string append(int folder, const std::string& xml, std::string_view folderName,
                     std::string_view stamp);

 private:
  std::string chainBytes_;
  bool hasChain_ = false;
  std::vector<Mhl::ChainEntry> chain_;
  std::optional<Mhl::Manifest> newest_;
  std::string newestName_;
  std::int64_t highest_ = 0;  // the highest sequence number in the chain or among the names
};

}  // namespace trellisant
