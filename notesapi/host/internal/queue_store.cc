#include "notesapi/host/internal/queue_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace notesapi::host {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS queues(name TEXT PRIMARY KEY, created INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY AUTOINCREMENT, queue TEXT NOT NULL,"
    " priority INTEGER NOT NULL, body BLOB NOT NULL, posted INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS messages_order ON messages(queue, priority DESC, id);"
    "CREATE TABLE IF NOT EXISTS dead_letters(id INTEGER PRIMARY KEY AUTOINCREMENT, queue TEXT NOT NULL,"
    " priority INTEGER NOT NULL, body BLOB NOT NULL, posted INTEGER NOT NULL, reason TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS server(key TEXT PRIMARY KEY, value INTEGER NOT NULL);";

}  // namespace

void QueueStore::RingDoorbell() {
  // Written after the commit, so a reader woken by this change sees the
  // message; the queue file itself changes a moment before it is visible.
  int fd = ::open(doorbell_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) return;  // readers still wake within their bounded pause
  (void)!::write(fd, "1", 1);
  ::close(fd);
}

std::string QueueStore::FolderOf(const std::string& serverDirectory) { return serverDirectory + "/run/mq"; }

Status QueueStore::Open(const std::string& serverDirectory) {
  std::string run = serverDirectory + "/run";
  ::mkdir(run.c_str(), 0750);
  ::mkdir(FolderOf(serverDirectory).c_str(), 0750);
  doorbell_ = FolderOf(serverDirectory) + "/doorbell";
  if (Status s = db_.Open(FolderOf(serverDirectory) + "/queues.db", true); s != kNoError) return s;
  return db_.ExecSetup(kSchema);
}

Status QueueStore::Create(const std::string& name) {
  SqliteStatement insert;
  if (Status s = insert.Prepare(&db_, "INSERT OR IGNORE INTO queues(name) VALUES(?)"); s != kNoError) return s;
  insert.BindText(1, name);
  return insert.Run();
}

Status QueueStore::Exists(const std::string& name, bool* exists) {
  SqliteStatement query;
  if (Status s = query.Prepare(&db_, "SELECT 1 FROM queues WHERE name = ?"); s != kNoError) return s;
  query.BindText(1, name);
  return query.Step(exists);
}

Status QueueStore::Put(const std::string& name, uint16_t priority, std::string_view message, int64_t postedMicros) {
  SqliteStatement insert;
  Status s = insert.Prepare(&db_, "INSERT INTO messages(queue, priority, body, posted) VALUES(?, ?, ?, ?)");
  if (s != kNoError) return s;
  insert.BindText(1, name);
  insert.BindInt(2, priority);
  insert.BindBlob(3, message);
  insert.BindInt(4, postedMicros);
  Status written = insert.Run();
  if (written == kNoError) RingDoorbell();
  return written;
}

Status QueueStore::Get(const std::string& name, size_t maxLength, std::string* message) {
  SqliteTransaction transaction(&db_);
  if (Status s = transaction.Begin(); s != kNoError) return s;
  bool quitting = false;
  if (Status s = Quitting(&quitting); s != kNoError) return s;
  if (quitting) return kQueueQuitting;
  SqliteStatement next;
  Status s = next.Prepare(&db_,
                          "SELECT id, priority, body, posted FROM messages WHERE queue = ?"
                          " ORDER BY priority DESC, id LIMIT 1");
  if (s != kNoError) return s;
  next.BindText(1, name);
  bool row = false;
  if (s = next.Step(&row); s != kNoError) return s;
  if (!row) return kQueueEmpty;
  int64_t id = next.ColumnInt(0);
  std::string body = next.ColumnBlob(2);
  bool tooLong = body.size() > maxLength;
  if (tooLong) {
    SqliteStatement keep;
    s = keep.Prepare(&db_,
                     "INSERT INTO dead_letters(queue, priority, body, posted, reason)"
                     " VALUES(?, ?, ?, ?, 'longer than the reader''s buffer')");
    if (s != kNoError) return s;
    keep.BindText(1, name);
    keep.BindInt(2, next.ColumnInt(1));
    keep.BindBlob(3, body);
    keep.BindInt(4, next.ColumnInt(3));
    if (s = keep.Run(); s != kNoError) return s;
  }
  SqliteStatement remove;
  if (s = remove.Prepare(&db_, "DELETE FROM messages WHERE id = ?"); s != kNoError) return s;
  remove.BindInt(1, id);
  if (s = remove.Run(); s != kNoError) return s;
  if (s = transaction.Commit(); s != kNoError) return s;
  if (tooLong) return kQueueBufferTooSmall;
  *message = std::move(body);
  return kNoError;
}

Status QueueStore::AnyWaiting(const std::vector<std::string>& names, bool* waiting) {
  *waiting = false;
  SqliteStatement query;
  if (Status s = query.Prepare(&db_, "SELECT 1 FROM messages WHERE queue = ? LIMIT 1"); s != kNoError) return s;
  for (const std::string& name : names) {
    query.Reset();
    query.BindText(1, name);
    if (Status s = query.Step(waiting); s != kNoError || *waiting) return s;
  }
  return kNoError;
}

Status QueueStore::Quitting(bool* quitting) {
  SqliteStatement query;
  if (Status s = query.Prepare(&db_, "SELECT value FROM server WHERE key = 'quitting'"); s != kNoError) return s;
  bool row = false;
  if (Status s = query.Step(&row); s != kNoError) return s;
  *quitting = row && query.ColumnInt(0) != 0;
  return kNoError;
}

Status QueueStore::SetQuitting(bool quitting) {
  SqliteStatement update;
  Status s = update.Prepare(&db_, "INSERT OR REPLACE INTO server(key, value) VALUES('quitting', ?)");
  if (s != kNoError) return s;
  update.BindInt(1, quitting ? 1 : 0);
  Status written = update.Run();
  if (written == kNoError) RingDoorbell();
  return written;
}

Status QueueStore::List(std::vector<QueueSummary>* queues) {
  SqliteStatement query;
  Status s = query.Prepare(&db_,
                           "SELECT q.name,"
                           " (SELECT COUNT(*) FROM messages m WHERE m.queue = q.name),"
                           " (SELECT COUNT(*) FROM dead_letters d WHERE d.queue = q.name)"
                           " FROM queues q ORDER BY q.name");
  if (s != kNoError) return s;
  queues->clear();
  for (bool row = true;;) {
    if (s = query.Step(&row); s != kNoError) return s;
    if (!row) return kNoError;
    queues->push_back(QueueSummary{query.ColumnBlob(0), query.ColumnInt(1), query.ColumnInt(2)});
  }
}

Status QueueStore::Waiting(const std::string& name, std::vector<std::string>* messages) {
  SqliteStatement query;
  Status s = query.Prepare(&db_, "SELECT body FROM messages WHERE queue = ? ORDER BY priority DESC, id");
  if (s != kNoError) return s;
  query.BindText(1, name);
  messages->clear();
  for (bool row = true;;) {
    if (s = query.Step(&row); s != kNoError) return s;
    if (!row) return kNoError;
    messages->push_back(query.ColumnBlob(0));
  }
}

}  // namespace notesapi::host
