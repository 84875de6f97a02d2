#include "notesapi/host/internal/sqlite_util.h"

#include <chrono>
#include <thread>
#include <utility>

#include "notesapi/host/internal/sqlite_vfs.h"

namespace notesapi::host {

Status SqliteStatus(int rc, Status missingStatus) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return kNoError;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kDatabaseLocked;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return kDatabaseCorrupt;
    case SQLITE_CANTOPEN:
      return missingStatus;
    case SQLITE_TOOBIG:
      return kItemTooLarge;
    default:
      return kDatabaseError;
  }
}

// Connections are moved only before they write: a batch never holds one.
SqliteDb::SqliteDb(SqliteDb&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)),
      busyTimeoutMillis_(other.busyTimeoutMillis_),
      batch_(other.batch_),
      idle_(std::exchange(other.idle_, std::make_unique<IdleStatements>())) {}

SqliteDb& SqliteDb::operator=(SqliteDb&& other) noexcept {
  if (this != &other) {
    Close();
    db_ = std::exchange(other.db_, nullptr);
    busyTimeoutMillis_ = other.busyTimeoutMillis_;
    batch_ = other.batch_;
    idle_ = std::exchange(other.idle_, std::make_unique<IdleStatements>());
  }
  return *this;
}

SqliteDb::~SqliteDb() { Close(); }

void SqliteDb::Close() {
  if (inBatch_) batch_->Leave(this);
  for (auto& [sql, statement] : *idle_) sqlite3_finalize(statement);
  idle_->clear();
  if (db_ != nullptr) sqlite3_close_v2(std::exchange(db_, nullptr));
}

Status SqliteDb::Open(const std::string& path, bool create, int busyTimeoutMillis, Durability durability) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, HostVfsName());
  if (rc != SQLITE_OK) {
    if (db != nullptr) sqlite3_close_v2(db);
    return SqliteStatus(rc);
  }
  sqlite3_busy_timeout(db, busyTimeoutMillis);
  db_ = db;
  busyTimeoutMillis_ = busyTimeoutMillis;
  // Reading the schema is the first access that notices a file that is not
  // a database at all.
  if (Status s = ExecSetup("PRAGMA journal_mode=WAL"); s != kNoError) {
    sqlite3_close_v2(std::exchange(db_, nullptr));
    return s;
  }
  // A log that a large message grew is cut back after it is folded in.
  const char* sync = durability == Durability::kEachCommit ? "PRAGMA synchronous=FULL; PRAGMA journal_size_limit=8388608"
                                                           : "PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=8388608";
  if (Status s = Exec(sync); s != kNoError) {
    sqlite3_close_v2(std::exchange(db_, nullptr));
    return s;
  }
  return kNoError;
}

Status SqliteDb::Checkpoint() {
  return SqliteStatus(sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr));
}

Status SqliteDb::CheckpointWithoutWaiting() {
  return SqliteStatus(sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr));
}

Status SqliteDb::Exec(const char* sql) { return SqliteStatus(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr)); }

// Two processes creating the same file at once can get SQLITE_BUSY without
// the busy handler being asked (switching to WAL, recovering the WAL), so
// setup statements retry on their own within the busy timeout.
Status SqliteDb::ExecSetup(const char* sql) {
  constexpr int kPauseMillis = 5;
  for (int waited = 0;; waited += kPauseMillis) {
    Status s = Exec(sql);
    if (s != kDatabaseLocked || waited >= busyTimeoutMillis_) return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMillis));
  }
}

SqliteStatement::~SqliteStatement() { GiveBack(); }

void SqliteStatement::GiveBack() {
  if (stmt_ == nullptr) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  home_->emplace(std::move(sql_), std::exchange(stmt_, nullptr));
}

Status SqliteStatement::Prepare(SqliteDb* db, const std::string& sql) {
  GiveBack();
  home_ = db->idle_.get();
  sql_ = sql;
  if (auto idle = home_->find(sql); idle != home_->end()) {
    stmt_ = idle->second;
    home_->erase(idle);
    return kNoError;
  }
  Status s = SqliteStatus(sqlite3_prepare_v2(db->get(), sql.c_str(), -1, &stmt_, nullptr));
  if (s != kNoError) {
    sqlite3_finalize(std::exchange(stmt_, nullptr));
  }
  return s;
}

void SqliteStatement::BindInt(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }

void SqliteStatement::BindBlob(int index, std::string_view bytes) {
  sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

void SqliteStatement::BindBlobInPlace(int index, std::string_view bytes) {
  sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_STATIC);
}

void SqliteStatement::BindText(int index, std::string_view text) {
  sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

Status SqliteStatement::Step(bool* row) {
  int rc = sqlite3_step(stmt_);
  *row = rc == SQLITE_ROW;
  return SqliteStatus(rc);
}

Status SqliteStatement::Run() {
  bool row = true;
  while (row) {
    if (Status s = Step(&row); s != kNoError) return s;
  }
  return kNoError;
}

void SqliteStatement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int64_t SqliteStatement::ColumnInt(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string_view SqliteStatement::ColumnBlobView(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return {};
  return std::string_view(static_cast<const char*>(data), static_cast<size_t>(size));
}

std::string SqliteStatement::ColumnBlob(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

Status SqliteDb::BeginTransaction() {
  if (depth_ == 0 && !inBatch_ && batch_ != nullptr && batch_->open()) {
    if (Status s = batch_->Join(this); s != kNoError) return s;
  }
  Status s = Exec(depth_ == 0 && !inBatch_ ? "BEGIN IMMEDIATE" : "SAVEPOINT nested");
  if (s == kNoError) ++depth_;
  return s;
}

Status SqliteDb::CommitTransaction() {
  Status s = Exec(depth_ == 1 && !inBatch_ ? "COMMIT" : "RELEASE nested");
  if (s == kNoError) --depth_;
  return s;
}

void SqliteDb::RollBackTransaction() {
  if (depth_ == 1 && !inBatch_) {
    (void)Exec("ROLLBACK");  // SQLite ends the transaction even when this reports an error
  } else {
    (void)Exec("ROLLBACK TO nested");  // as above
    (void)Exec("RELEASE nested");
  }
  --depth_;
}

Status SaveBatch::Join(SqliteDb* db) {
  if (Status s = db->Exec("BEGIN IMMEDIATE"); s != kNoError) return s;
  db->inBatch_ = true;
  joined_.push_back(db);
  return kNoError;
}

void SaveBatch::Leave(SqliteDb* db) {
  (void)db->Exec("ROLLBACK");  // the connection closes: nothing of it can be committed
  db->inBatch_ = false;
  std::erase(joined_, db);
}

Status SaveBatch::Close(bool commit) {
  if (depth_ == 0 || --depth_ > 0) return kNoError;
  Status failed = commit ? kNoError : kDatabaseError;
  for (SqliteDb* db : joined_) {
    if (failed == kNoError) failed = db->Exec("COMMIT");
    if (failed != kNoError) (void)db->Exec("ROLLBACK");  // not committed: nothing of it stays
    db->inBatch_ = false;
  }
  joined_.clear();
  return commit ? failed : kNoError;
}

SqliteTransaction::~SqliteTransaction() {
  if (open_) db_->RollBackTransaction();
}

Status SqliteTransaction::Begin() {
  Status s = db_->BeginTransaction();
  open_ = s == kNoError;
  return s;
}

Status SqliteTransaction::Commit() {
  Status s = db_->CommitTransaction();
  if (s == kNoError) open_ = false;
  return s;
}

}  // namespace notesapi::host
