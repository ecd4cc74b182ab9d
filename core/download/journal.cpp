#include "download/journal.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <utility>

#include "api/records.h"
#include "error.h"
#include "words.h"

namespace trellisant {

// A prepared statement, finalized on every exit path.
class Journal::Statement {
 public:
  explicit Statement(sqlite3_stmt* handle) : handle_(handle) {}
  ~Statement() { sqlite3_finalize(handle_); }
  Statement(Statement&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return handle_; }
  int step() { return sqlite3_step(handle_); }

 private:
  sqlite3_stmt* handle_;
};

namespace {

constexpr const char* kSyncEveryCommit = "PRAGMA synchronous=FULL;";
constexpr const char* kNotUpdated = "The download journal could not be updated.";

constexpr EnumWords<JournalState, 3> kStateWords{{{JournalState::partial, "partial"},
                                                  {JournalState::finalized, "finalized"},
                                                  {JournalState::completed, "completed"}}};

std::string createTable() {
  return "CREATE TABLE IF NOT EXISTS files (delivery TEXT NOT NULL, file TEXT NOT NULL, "
         "fingerprint TEXT NOT NULL, offset INTEGER NOT NULL DEFAULT 0, state TEXT NOT NULL "
         "DEFAULT '" +
         std::string(toString(JournalState::partial)) +
         "', sha256 TEXT, PRIMARY KEY(delivery,file));";
}

std::string columnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

}  // namespace

std::string_view toString(JournalState state) { return kStateWords(state); }

std::optional<JournalState> parseJournalState(std::string_view text) {
  return kStateWords.parse(text);
}

Journal::Journal(const std::filesystem::path& file, std::chrono::milliseconds busyTimeout) {
  // 0x10006: read-write, create, full mutex.
  constexpr int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  static_assert(flags == 0x10006);
  if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    // SQLite hands back a handle even when the open fails; it must still be closed.
    sqlite3_close(db_);
    db_ = nullptr;
    throw TrellisantError("Could not open the download journal.");
  }
  sqlite3_busy_timeout(db_, static_cast<int>(busyTimeout.count()));
  for (const std::string& sql : {std::string("PRAGMA journal_mode=WAL;"),
                                 std::string(kSyncEveryCommit), createTable()}) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
      throw TrellisantError(kNotUpdated);
    }
  }
  // Best effort. The write-ahead log and its index hold the same rows, so they get the same mode.
  for (const char* suffix : {"", "-wal", "-shm"}) ::chmod((file.string() + suffix).c_str(), 0600);
}

Journal::~Journal() {
  sqlite3_close(db_);
}


Journal::Statement Journal::statement(const std::string& sql,
                                      const std::vector<std::string>& arguments) {
  sqlite3_stmt* handle = nullptr;
  int result = sqlite3_prepare_v2(db_, sql.c_str(), -1, &handle, nullptr);
  Statement prepared(handle);
  if (result != SQLITE_OK || handle == nullptr)
    throw TrellisantError("Could not prepare the download journal.");
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    sqlite3_bind_text(handle, static_cast<int>(i + 1), arguments[i].c_str(), -1, SQLITE_TRANSIENT);
  }
  return prepared;
}

// In WAL mode a commit under synchronous=NORMAL is appended to the log without a sync; the
// next FULL commit syncs the log and with it every commit before it, in order.
void Journal::syncCommits(Sync sync) {
  if (sync == commits_) return;
  const char* sql = sync == Sync::now ? kSyncEveryCommit : "PRAGMA synchronous=NORMAL;";
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    throw TrellisantError(kNotUpdated);
  commits_ = sync;
}

Journal::Record Journal::record(const std::string& delivery, const ManifestFile& file, Sync sync) {
  std::lock_guard guard(lock_);
  syncCommits(sync);
  {
    Statement insert =
        statement("INSERT OR IGNORE INTO files(delivery,file,fingerprint) VALUES(?,?,?)",
                  {delivery, file.id, file.fingerprint});
    if (insert.step() != SQLITE_DONE) throw TrellisantError("Could not initialize the download.");
  }
  Statement select =
      statement("SELECT offset,state,sha256,fingerprint FROM files WHERE delivery=? AND file=?",
                {delivery, file.id});
  if (select.step() != SQLITE_ROW) throw TrellisantError("Download state is unavailable.");
  if (columnText(select.get(), 3) != file.fingerprint) {
    throw TrellisantError("The source version changed. Ask for a new transfer.");
  }
  Record record;
  record.offset = sqlite3_column_int64(select.get(), 0);
  record.state = parseJournalState(columnText(select.get(), 1));
  if (sqlite3_column_type(select.get(), 2) != SQLITE_NULL)
    record.sha256 = columnText(select.get(), 2);
  return record;
}

void Journal::checkpoint(const std::string& delivery, const std::string& file, std::int64_t offset,
                         JournalState state, const std::optional<std::string>& sha256,
                         Sync sync) {
  std::lock_guard guard(lock_);
  syncCommits(sync);
  Statement update = statement(
      "UPDATE files SET offset=CAST(? AS INTEGER),state=?,sha256=NULLIF(?,'') WHERE delivery=? AND "
      "file=?",
      {std::to_string(offset), std::string(toString(state)), sha256.value_or(""), delivery, file});
  if (update.step() != SQLITE_DONE) throw TrellisantError("Could not checkpoint the download.");
}

std::int64_t Journal::filesAtLeast(const std::string& delivery, JournalState state) {
  std::lock_guard guard(lock_);
  try {
    std::vector<std::string> arguments = {delivery};
    std::string words;
    for (auto word = static_cast<int>(state); word <= static_cast<int>(JournalState::completed); ++word) {
      words += words.empty() ? "?" : ",?";
      arguments.emplace_back(toString(static_cast<JournalState>(word)));
    }
    Statement count =
        statement("SELECT COUNT(*) FROM files WHERE delivery=? AND state IN (" + words + ")", arguments);
    return count.step() == SQLITE_ROW ? sqlite3_column_int64(count.get(), 0) : 0;
  } catch (const TrellisantError&) {
    return 0;
  }
}

std::int64_t Journal::bytes(const std::string& delivery) {
  std::lock_guard guard(lock_);
  try {
    Statement sum =
        statement("SELECT COALESCE(SUM(offset),0) FROM files WHERE delivery=?", {delivery});
    if (sum.step() != SQLITE_ROW) return 0;
    return sqlite3_column_int64(sum.get(), 0);
  } catch (const TrellisantError&) {
    return 0;
  }
}

}  // namespace trellisant
