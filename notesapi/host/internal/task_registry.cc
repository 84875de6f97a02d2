#include "notesapi/host/internal/task_registry.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>

namespace notesapi::host {

namespace {
// A process that has ended but not been waited for (a zombie) lives no more.
bool ProcessLives(uint32_t pid) {
  if (pid == 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;  // no /proc: trust the signal test
  size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}
}  // namespace

Status TaskRegistry::Open(const std::string& serverDirectory) {
  std::string run = serverDirectory + "/run";
  ::mkdir(run.c_str(), 0750);
  if (Status s = db_.Open(run + "/tasks.db", true); s != kNoError) return s;
  return db_.ExecSetup(
      "CREATE TABLE IF NOT EXISTS lines(id INTEGER PRIMARY KEY AUTOINCREMENT, pid INTEGER NOT NULL,"
      " task BLOB NOT NULL, text BLOB NOT NULL DEFAULT '')");
}

Status TaskRegistry::Create(uint32_t pid, std::string_view task, int64_t* id) {
  SqliteStatement insert;
  if (Status s = insert.Prepare(&db_, "INSERT INTO lines(pid, task) VALUES(?, ?)"); s != kNoError) return s;
  insert.BindInt(1, pid);
  insert.BindBlob(2, task);
  if (Status s = insert.Run(); s != kNoError) return s;
  *id = sqlite3_last_insert_rowid(db_.get());
  return kNoError;
}

Status TaskRegistry::SetText(int64_t id, std::string_view text) {
  SqliteStatement update;
  if (Status s = update.Prepare(&db_, "UPDATE lines SET text = ? WHERE id = ?"); s != kNoError) return s;
  update.BindBlob(1, text);
  update.BindInt(2, id);
  if (Status s = update.Run(); s != kNoError) return s;
  return sqlite3_changes(db_.get()) == 0 ? kInvalidHandle : kNoError;
}

Status TaskRegistry::Delete(int64_t id) {
  SqliteStatement remove;
  if (Status s = remove.Prepare(&db_, "DELETE FROM lines WHERE id = ?"); s != kNoError) return s;
  remove.BindInt(1, id);
  return remove.Run();
}

Status TaskRegistry::List(std::vector<StatusLine>* lines) {
  SqliteStatement query;
  if (Status s = query.Prepare(&db_, "SELECT id, pid, task, text FROM lines ORDER BY id"); s != kNoError) return s;
  lines->clear();
  for (bool row = true;;) {
    if (Status s = query.Step(&row); s != kNoError) return s;
    if (!row) return kNoError;
    StatusLine line;
    line.id = query.ColumnInt(0);
    line.pid = static_cast<uint32_t>(query.ColumnInt(1));
    line.task = query.ColumnBlob(2);
    line.text = query.ColumnBlob(3);
    line.running = ProcessLives(line.pid);
    lines->push_back(std::move(line));
  }
}

Status TaskRegistry::Prune() {
  std::vector<StatusLine> lines;
  if (Status s = List(&lines); s != kNoError) return s;
  for (const StatusLine& line : lines) {
    if (!line.running) {
      if (Status s = Delete(line.id); s != kNoError) return s;
    }
  }
  return kNoError;
}

}  // namespace notesapi::host
