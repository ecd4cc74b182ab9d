#include "history/received_history.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>
#include <variant>

#include "error.h"
#include "words.h"
#include "settings/paths.h"

namespace trellisant {
namespace {

constexpr const char* kUnreadable = "The list of received deliveries could not be read.";
constexpr const char* kUnwritable = "The list of received deliveries could not be updated.";

// What a begun note and a record share, in the order of bind() and rowOf().
constexpr const char* kColumns = "id,name,company,project,folder,files,bytes,verified,firstByteAt";

// Later columns are added with ALTER TABLE (kAdded): every query names its columns, so that an
// older agent or reader still reads and writes a newer file.
const std::string kSchema =
    std::string("CREATE TABLE IF NOT EXISTS received (seq INTEGER PRIMARY KEY AUTOINCREMENT, "
                "id TEXT NOT NULL UNIQUE, name TEXT NOT NULL, company TEXT NOT NULL, project TEXT "
                "NOT NULL, folder TEXT NOT NULL, files INTEGER NOT NULL, bytes INTEGER NOT NULL, "
                "verified INTEGER NOT NULL, firstByteAt REAL NOT NULL, completedAt REAL NOT NULL);") +
    "CREATE TABLE IF NOT EXISTS begun (seq INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT NOT NULL "
    "UNIQUE, name TEXT NOT NULL, company TEXT NOT NULL, project TEXT NOT NULL, folder TEXT NOT "
    "NULL, files INTEGER NOT NULL, bytes INTEGER NOT NULL, verified INTEGER NOT NULL, "
    "firstByteAt REAL NOT NULL);";

// Added to both tables of a file that lacks it: the receipt outcome, NULL for none.
constexpr const char* kAdded = "receipt";

constexpr EnumWords<ReceiptState, 3> kReceiptWords{
    {{ReceiptState::none, "none"}, {ReceiptState::written, "written"}, {ReceiptState::failed, "failed"}}};

using Value = std::variant<std::string, std::int64_t, double>;

std::vector<Value> valuesOf(const ReceivedDelivery& d) {
  return {d.id,    d.name,  d.company,       d.project, d.folder.string(),
          d.files, d.bytes, d.verifiedFiles, secondsSince2001(d.firstByteAt)};
}

std::string text(sqlite3_stmt* row, int column) {
  const unsigned char* value = sqlite3_column_text(row, column);
  return value == nullptr ? std::string() : reinterpret_cast<const char*>(value);
}

// The shared columns of a row, then completedAt and the receipt when the row has them.
ReceivedDelivery rowOf(sqlite3_stmt* row) {
  ReceivedDelivery d{text(row, 0), text(row, 1), text(row, 2), text(row, 3), text(row, 4),
                     sqlite3_column_int64(row, 5), sqlite3_column_int64(row, 6),
                     sqlite3_column_int64(row, 7),
                     dateFromSecondsSince2001(sqlite3_column_double(row, 8)), Date()};
  if (sqlite3_column_count(row) > 9)
    d.completedAt = dateFromSecondsSince2001(sqlite3_column_double(row, 9));
  if (sqlite3_column_count(row) > 10) d.receipt = kReceiptWords.parse(text(row, 10)).value_or(ReceiptState::none);
  return d;
}

}  // namespace

std::string_view toString(ReceiptState state) { return kReceiptWords(state); }

std::string_view receiptMark(ReceiptState state) {
  switch (state) {
    case ReceiptState::written: return "receipt";
    case ReceiptState::failed: return "no receipt";
    case ReceiptState::none: break;
  }
  return {};
}

Json ReceivedDelivery::toJson() const {
  return Json{{"id", id},
              {"name", name},
              {"company", company},
              {"project", project},
              {"folder", folder.string()},
              {"files", files},
              {"bytes", bytes},
              {"verifiedFiles", verifiedFiles},
              {"firstByteAt", secondsSince2001(firstByteAt)},
              {"completedAt", secondsSince2001(completedAt)},
              {"receipt", toString(receipt)}};
}

// One connection for one operation; every failure is thrown as `failure`.
class ReceivedHistory::Connection {
 public:
  Connection(const std::filesystem::path& file, std::chrono::milliseconds busyTimeout, bool write)
      : failure_(write ? kUnwritable : kUnreadable) {
    int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    sqlite3* db = nullptr;
    int opened = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
    db_.reset(db);  // closed also when the open failed
    if (opened != SQLITE_OK) throw TrellisantError(failure_);
    sqlite3_busy_timeout(db, static_cast<int>(busyTimeout.count()));
    if (!write) return;
    // SQLite gives its log files the database's mode, so they are private from the start.
    ::chmod(file.c_str(), 0600);
    exec("PRAGMA journal_mode=WAL;PRAGMA synchronous=FULL;");
    transaction([&] {
      exec(kSchema);
      for (const char* table : {"received", "begun"})
        if (!has(table, kAdded)) exec(std::string("ALTER TABLE ") + table + " ADD COLUMN " + kAdded + " TEXT;");
    });
  }

  bool has(const std::string& table, const std::string& column) {
    bool found = false;
    run("SELECT 1 FROM pragma_table_info(?1) WHERE name=?2", {table, column}, [&](sqlite3_stmt*) { found = true; });
    return found;
  }

  void setReceipt(const std::string& id, ReceiptState state) {
    for (const char* table : {"received", "begun"})
      run(std::string("UPDATE ") + table + " SET " + kAdded + "=?2 WHERE id=?1", {id, std::string(toString(state))});
  }

  void exec(const std::string& sql) {
    if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
      throw TrellisantError(failure_);
  }

  // Runs `sql` with `values` bound to ?1, ?2, …; `row` sees each row.
  void run(const std::string& sql, const std::vector<Value>& values,
           const std::function<void(sqlite3_stmt*)>& row = {}) {
    sqlite3_stmt* raw = nullptr;
    int prepared = sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, &sqlite3_finalize);
    if (prepared != SQLITE_OK) throw TrellisantError(failure_);
    for (int i = 0; i < static_cast<int>(values.size()); ++i) {
      std::visit(
          [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::string>)
              sqlite3_bind_text(raw, i + 1, value.c_str(), -1, SQLITE_TRANSIENT);
            else if constexpr (std::is_same_v<T, double>)
              sqlite3_bind_double(raw, i + 1, value);
            else
              sqlite3_bind_int64(raw, i + 1, value);
          },
          values[static_cast<std::size_t>(i)]);
    }
    int result;
    while ((result = sqlite3_step(raw)) == SQLITE_ROW)
      if (row) row(raw);
    if (result != SQLITE_DONE) throw TrellisantError(failure_);
  }

  // `work` in one transaction, rolled back when it throws.
  void transaction(const std::function<void()>& work) {
    exec("BEGIN IMMEDIATE;");
    try {
      work();
      exec("COMMIT;");
    } catch (...) {
      sqlite3_exec(db_.get(), "ROLLBACK;", nullptr, nullptr, nullptr);
      throw;
    }
  }

  // Records a delivery unless it has a record, with the receipt outcome of its note unless it
  // brings one; forgets its note and the oldest records.
  void record(const ReceivedDelivery& delivery, Date completedAt) {
    std::vector<Value> values = valuesOf(delivery);
    values.emplace_back(secondsSince2001(completedAt));
    run(std::string("INSERT OR IGNORE INTO received(") + kColumns + ",completedAt," + kAdded +
            ") SELECT ?1,?2,?3,?4,?5,?6,?7,?8,COALESCE((SELECT firstByteAt FROM begun WHERE id=?1),?9),?10,"
            "(SELECT " + kAdded + " FROM begun WHERE id=?1)",
        values);
    if (delivery.receipt != ReceiptState::none) setReceipt(delivery.id, delivery.receipt);
    run("DELETE FROM begun WHERE id=?1", {delivery.id});
    for (const char* table : {"received", "begun"})
      run(std::string("DELETE FROM ") + table + " WHERE seq <= (SELECT MAX(seq) FROM " + table +
              ") - ?1",
          {kept});
  }

 private:
  struct Close {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
  };
  std::unique_ptr<sqlite3, Close> db_;
  const char* failure_;
};

ReceivedHistory::ReceivedHistory(std::filesystem::path file, std::chrono::milliseconds busyTimeout)
    : file_(std::move(file)), busyTimeout_(busyTimeout) {}


void ReceivedHistory::begun(const ReceivedDelivery& delivery) {
  Connection connection(file_, busyTimeout_, true);
  connection.run(std::string("INSERT OR IGNORE INTO begun(") + kColumns +
                     ") VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9)",
                 valuesOf(delivery));
}

void ReceivedHistory::completed(ReceivedDelivery delivery) {
  Connection connection(file_, busyTimeout_, true);
  connection.transaction([&] { connection.record(delivery, delivery.completedAt); });
}

void ReceivedHistory::receipt(const std::string& id, ReceiptState state) {
  Connection connection(file_, busyTimeout_, true);
  connection.transaction([&] { connection.setReceipt(id, state); });
}

void ReceivedHistory::finishBegun(const std::function<bool(const ReceivedDelivery&)>& finished,
                                  Date now) {
  Connection connection(file_, busyTimeout_, true);
  connection.transaction([&] {
    std::vector<ReceivedDelivery> noted;
    connection.run(std::string("SELECT ") + kColumns + " FROM begun ORDER BY seq", {},
                   [&](sqlite3_stmt* row) { noted.push_back(rowOf(row)); });
    for (const ReceivedDelivery& delivery : noted)
      if (finished(delivery)) connection.record(delivery, now);
  });
}

std::vector<ReceivedDelivery> ReceivedHistory::recent(std::int64_t limit) const {
  std::vector<ReceivedDelivery> list;
  std::error_code missing;
  if (!std::filesystem::exists(file_, missing)) return list;
  Connection connection(file_, busyTimeout_, false);
  // A file no newer agent has opened yet has no receipt column.
  const std::string receipt = connection.has("received", kAdded) ? std::string(",") + kAdded : "";
  connection.run(std::string("SELECT ") + kColumns + ",completedAt" + receipt +
                     " FROM received ORDER BY seq DESC LIMIT ?1",
                 {limit}, [&](sqlite3_stmt* row) { list.push_back(rowOf(row)); });
  return list;
}

}  // namespace trellisant
