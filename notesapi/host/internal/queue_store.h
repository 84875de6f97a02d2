// The server's message queues, kept durable in one SQLite file of the server
// directory (run/mq/queues.db), so that every process of the server shares
// them and a message posted while its reader is down waits for it. The same
// file holds the server's "quitting" flag.
#ifndef NOTESAPI_HOST_INTERNAL_QUEUE_STORE_H_
#define NOTESAPI_HOST_INTERNAL_QUEUE_STORE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "notesapi/host/internal/sqlite_util.h"
#include "notesapi/status.h"

namespace notesapi::host {

struct QueueSummary {
  std::string name;
  int64_t waiting = 0;
  int64_t deadLetters = 0;
};

class QueueStore {
 public:
  // The folder whose changes wake a waiting reader.
  static std::string FolderOf(const std::string& serverDirectory);

  [[nodiscard]] Status Open(const std::string& serverDirectory);
  // Leaves folding the log to others (and to the last close).
  void StopFoldingGrowingLog() { (void)db_.Exec("PRAGMA wal_autocheckpoint=0"); }
  [[nodiscard]] Status Create(const std::string& name);
  [[nodiscard]] Status Exists(const std::string& name, bool* exists);
  [[nodiscard]] Status Put(const std::string& name, uint16_t priority, std::string_view message, int64_t postedMicros);
  // See Platform::QueueGet.
  [[nodiscard]] Status Get(const std::string& name, size_t maxLength, std::string* message);
  // True when any of the queues holds a message.
  [[nodiscard]] Status AnyWaiting(const std::vector<std::string>& names, bool* waiting);
  [[nodiscard]] Status Quitting(bool* quitting);
  [[nodiscard]] Status SetQuitting(bool quitting);
  [[nodiscard]] Status List(std::vector<QueueSummary>* queues);
  // The messages waiting in a queue, in reading order, left in place.
  [[nodiscard]] Status Waiting(const std::string& name, std::vector<std::string>* messages);

 private:
  void RingDoorbell();

  SqliteDb db_;
  std::string doorbell_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_QUEUE_STORE_H_
