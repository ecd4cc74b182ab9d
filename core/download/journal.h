#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace trellisant {

struct ManifestFile;

// How far a file has come: bytes arriving in its partial file, verified there, or moved into
// place and reported. Stored under these words.
enum class JournalState { partial, finalized, completed };
std::string_view toString(JournalState state);
// Nothing for a word this build does not know.
std::optional<JournalState> parseJournalState(std::string_view text);

// When a write must be on the disk. A write made durable "with the next" is seen at once (also
// after a crash of the program) and becomes durable with the next durable write of this
// journal; a power cut before that may undo it, never a later write without it.
enum class Sync { now, withNext };

// The agent's durable record of how far each file of each delivery has reached the disk.
// One SQLite connection; every public operation is serialized, so the delivery loop, its
// progress reporter and concurrent downloads may share one object.
class Journal {
 public:
  struct Record {
    std::int64_t offset = 0;
    std::optional<JournalState> state;
    std::optional<std::string> sha256;
  };

  // Opens or creates the database. A statement that meets another connection's lock waits up
  // to `busyTimeout` before it fails. Throws TrellisantError.
  explicit Journal(const std::filesystem::path& file,
                   std::chrono::milliseconds busyTimeout = std::chrono::milliseconds(5000));
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // The file's row, created at offset 0, partial, when missing. A row recorded for another
  // fingerprint is refused and kept. A new row guards nothing that a missing one does not,
  // so by default it becomes durable with the next write. Throws TrellisantError.
  Record record(const std::string& delivery, const ManifestFile& file, Sync sync = Sync::withNext);
  // Overwrites offset, state and hash (an absent or empty hash stores NULL). Throws
  // TrellisantError.
  void checkpoint(const std::string& delivery, const std::string& file, std::int64_t offset,
                  JournalState state, const std::optional<std::string>& sha256,
                  Sync sync = Sync::now);
  // How many of the delivery's files have come as far as `state` or further; 0 on any problem.
  std::int64_t filesAtLeast(const std::string& delivery, JournalState state);
  // Sum of the delivery's offsets; 0 on any problem.
  std::int64_t bytes(const std::string& delivery);

 private:
  class Statement;
  Statement statement(const std::string& sql, const std::vector<std::string>& arguments);
  // Sets whether the next commits sync the write-ahead log.
  void syncCommits(Sync sync);

  sqlite3* db_ = nullptr;
  Sync commits_ = Sync::now;
  std::recursive_mutex lock_;
};

}  // namespace trellisant
