#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "json.h"
#include "settings/paths.h"

namespace trellisant {

// Whether a delivery's receipt (ASC MHL) was written; `none` until the receipt step ends, for a
// delivery with nothing to list, and in records an older agent wrote.
enum class ReceiptState { none, written, failed };
std::string_view toString(ReceiptState state);
// How the app and trellisantctl mark a record: "receipt", "no receipt", or nothing.
std::string_view receiptMark(ReceiptState state);

// One delivery as it was received.
struct ReceivedDelivery {
  std::string id;
  std::string name;
  std::string company;
  std::string project;
  std::filesystem::path folder;  // the transfer folder
  std::int64_t files = 0;
  std::int64_t bytes = 0;
  std::int64_t verifiedFiles = 0;  // checked against a checksum from the server
  Date firstByteAt;
  Date completedAt;
  ReceiptState receipt = ReceiptState::none;

  // Dates in seconds since 2001-01-01, as in the system's other files.
  Json toJson() const;
  bool operator==(const ReceivedDelivery&) const = default;
};

// The agent's lasting list of received deliveries: a SQLite file of its own, private to the
// user, holding the newest `kept` deliveries. A delivery whose files begin to arrive is noted
// as begun, with everything its record needs, before the server hears of any of its files, so
// that a record cut off by a crash or a power cut can be finished afterwards.
class ReceivedHistory {
 public:
  static constexpr std::int64_t kept = 1000;

  // Nothing is opened until asked. A statement that meets another connection's lock waits up to
  // `busyTimeout` before it fails.
  explicit ReceivedHistory(std::filesystem::path file = Paths::receivedHistoryFile(),
                           std::chrono::milliseconds busyTimeout = std::chrono::milliseconds(5000));

  // Notes that the delivery's files begin to arrive (its completedAt is ignored); a note made
  // before is kept. Throws TrellisantError.
  void begun(const ReceivedDelivery& delivery);
  // Records the delivery as received, in one transaction, unless it has a record already; the
  // time of its note, when there is one, is when its first byte arrived, and the note's receipt
  // outcome stands unless the delivery brings one. Drops the oldest records beyond `kept`.
  // Throws TrellisantError.
  void completed(ReceivedDelivery delivery);
  // Records the outcome of the delivery's receipt on its record or, when it has none yet, on its
  // note, which its record takes up. Throws TrellisantError.
  void receipt(const std::string& id, ReceiptState state);
  // Records every noted delivery that `finished` says is complete, as received at `now`: the
  // ones whose record a crash or power cut kept from being written. Throws TrellisantError.
  void finishBegun(const std::function<bool(const ReceivedDelivery&)>& finished, Date now);
  // Newest first, at most `limit`; empty when there is no history yet. Opens the file read
  // only. Throws TrellisantError when it cannot be read.
  std::vector<ReceivedDelivery> recent(std::int64_t limit = kept) const;

 private:
  class Connection;

  std::filesystem::path file_;
  std::chrono::milliseconds busyTimeout_;
};

}  // namespace trellisant
