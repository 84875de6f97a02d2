// Small RAII owners over SQLite connections and statements, and the one
// place where SQLite result codes become platform statuses.
#ifndef NOTESAPI_HOST_INTERNAL_SQLITE_UTIL_H_
#define NOTESAPI_HOST_INTERNAL_SQLITE_UTIL_H_

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "notesapi/status.h"

namespace notesapi::host {

// Maps an SQLite result code to a status. `missingStatus` is what a file
// that cannot be opened means at the call site.
Status SqliteStatus(int rc, Status missingStatus = kDatabaseNotFound);

// How long a writer waits for another process's transaction to end.
inline constexpr int kDefaultBusyTimeoutMillis = 10000;

// When a commit reaches the disk. Mail and what is made of it must survive a
// power cut once saved; a queue message or a status line may be lost then
// (held mail is asked for again), so it waits for the next checkpoint.
enum class Durability { kAtCheckpoint, kEachCommit };

class SaveBatch;

class SqliteDb {
 public:
  SqliteDb() = default;
  SqliteDb(SqliteDb&& other) noexcept;
  SqliteDb& operator=(SqliteDb&& other) noexcept;
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;
  ~SqliteDb();

  // Opens a file (creating it when `create`), in WAL mode with a busy
  // timeout, so several processes can use it at once. The last connection
  // of all to close folds the log into the file and removes it.
  [[nodiscard]] Status Open(const std::string& path, bool create, int busyTimeoutMillis = kDefaultBusyTimeoutMillis,
                            Durability durability = Durability::kAtCheckpoint);
  // Folds the log into the database file and empties it.
  [[nodiscard]] Status Checkpoint();
  // Folds in what it can without waiting for another connection.
  [[nodiscard]] Status CheckpointWithoutWaiting();
  [[nodiscard]] Status Exec(const char* sql);
  // Transactions nest: the outermost is BEGIN IMMEDIATE ... COMMIT, those
  // inside it savepoints, so a step that writes in several statements can
  // run inside a larger one. Inside an open save batch the connection's
  // outermost transaction belongs to the batch.
  [[nodiscard]] Status BeginTransaction();
  [[nodiscard]] Status CommitTransaction();
  void RollBackTransaction();
  // The batch this connection's writes join while it is open, or nullptr.
  void JoinSavesOf(SaveBatch* batch) { batch_ = batch; }
  // Exec for schema and mode statements run while opening.
  [[nodiscard]] Status ExecSetup(const char* sql);
  sqlite3* get() const { return db_; }

  // Statements prepared on this connection and not in use, by their text:
  // a task runs the same few statements for every mail, and preparing one
  // costs more than running it.
  using IdleStatements = std::multimap<std::string, sqlite3_stmt*>;

 private:
  friend class SqliteStatement;
  friend class SaveBatch;
  void Close();

  sqlite3* db_ = nullptr;
  int busyTimeoutMillis_ = 0;
  int depth_ = 0;             // transactions of this connection open now
  SaveBatch* batch_ = nullptr;
  bool inBatch_ = false;      // the batch holds this connection's outermost transaction
  std::unique_ptr<IdleStatements> idle_ = std::make_unique<IdleStatements>();
};

class SqliteStatement {
 public:
  SqliteStatement() = default;
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;
  ~SqliteStatement();

  // Takes a statement of that text that `db` prepared before, or prepares
  // one; it goes back to `db`, reset, when this is done with it.
  [[nodiscard]] Status Prepare(SqliteDb* db, const std::string& sql);
  void BindInt(int index, int64_t value);
  void BindBlob(int index, std::string_view bytes);
  // Binds without a copy: `bytes` must outlive every step of this use.
  void BindBlobInPlace(int index, std::string_view bytes);
  void BindText(int index, std::string_view text);
  // Steps once: kNoError with *row true for a row, false when done.
  [[nodiscard]] Status Step(bool* row);
  // Steps to the end, for statements without rows.
  [[nodiscard]] Status Run();
  void Reset();
  int64_t ColumnInt(int column) const;
  std::string ColumnBlob(int column) const;
  // The bytes in place, valid until the next Step or Reset.
  std::string_view ColumnBlobView(int column) const;

 private:
  void GiveBack();

  sqlite3_stmt* stmt_ = nullptr;
  std::string sql_;
  SqliteDb::IdleStatements* home_ = nullptr;
};

// The saves of several connections held in one open transaction each and
// committed together, in the order the connections first wrote: a task
// that writes a mail, its quarantine copy and its statistics pays one sync
// per database, and the database written first is durable first.
class SaveBatch {
 public:
  SaveBatch() = default;
  SaveBatch(const SaveBatch&) = delete;
  SaveBatch& operator=(const SaveBatch&) = delete;

  void Open() { ++depth_; }
  bool open() const { return depth_ > 0; }
  // Ends one Open; the last commits (or, without `commit`, rolls back) every
  // connection that joined. A commit that fails rolls that connection and
  // every later one back, and is returned.
  [[nodiscard]] Status Close(bool commit);

 private:
  friend class SqliteDb;
  [[nodiscard]] Status Join(SqliteDb* db);
  void Leave(SqliteDb* db);  // a connection that closes: what it held is rolled back

  int depth_ = 0;
  std::vector<SqliteDb*> joined_;
};

// BEGIN IMMEDIATE ... COMMIT (a savepoint inside another transaction),
// rolled back when not committed.
class SqliteTransaction {
 public:
  explicit SqliteTransaction(SqliteDb* db) : db_(db) {}
  SqliteTransaction(const SqliteTransaction&) = delete;
  SqliteTransaction& operator=(const SqliteTransaction&) = delete;
  ~SqliteTransaction();
  [[nodiscard]] Status Begin();
  [[nodiscard]] Status Commit();

 private:
  SqliteDb* db_;
  bool open_ = false;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_SQLITE_UTIL_H_
