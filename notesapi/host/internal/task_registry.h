// The server's task list: one status line per row of run/tasks.db, with the
// process that owns it, so `zulctl tasks` shows every running task.
#ifndef NOTESAPI_HOST_INTERNAL_TASK_REGISTRY_H_
#define NOTESAPI_HOST_INTERNAL_TASK_REGISTRY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "notesapi/host/internal/sqlite_util.h"
#include "notesapi/status.h"

namespace notesapi::host {

struct StatusLine {
  int64_t id = 0;
  uint32_t pid = 0;
  std::string task;  // LMBCS
  std::string text;  // LMBCS
  bool running = false;
};

class TaskRegistry {
 public:
  [[nodiscard]] Status Open(const std::string& serverDirectory);
  [[nodiscard]] Status Create(uint32_t pid, std::string_view task, int64_t* id);
  [[nodiscard]] Status SetText(int64_t id, std::string_view text);
  [[nodiscard]] Status Delete(int64_t id);
  // Every line; `running` tells whether its process still lives.
  [[nodiscard]] Status List(std::vector<StatusLine>* lines);
  // Forgets the lines of processes that have ended.
  [[nodiscard]] Status Prune();

 private:
  SqliteDb db_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_TASK_REGISTRY_H_
