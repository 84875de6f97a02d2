// Administration of a server directory, for the host's own tools (zulctl)
// and tests: what a server console and its task list would show. The
// add-in tasks never use this; they see only the Platform.
#ifndef NOTESAPI_HOST_HOST_ADMIN_H_
#define NOTESAPI_HOST_HOST_ADMIN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "notesapi/status.h"

namespace notesapi {

struct QueueState {
  std::string name;
  int64_t waiting = 0;
  int64_t deadLetters = 0;  // messages set aside as too long for their reader
};

struct TaskState {
  uint32_t pid = 0;
  std::string task;  // UTF-8
  std::string text;  // UTF-8
};

// A new server directory: notes.ini with comments and the given server name,
// the data directory and the run folder. kDatabaseExists when the directory
// already holds a notes.ini.
[[nodiscard]] Status InitServerDirectory(const std::string& directory, const std::string& serverName);
[[nodiscard]] Status ListQueues(const std::string& serverDirectory, std::vector<QueueState>* queues);
// The messages waiting in one queue, read without taking them.
[[nodiscard]] Status WaitingMessages(const std::string& serverDirectory, const std::string& queue,
                                     std::vector<std::string>* messages);
// Running tasks only; lines left by ended processes are forgotten.
[[nodiscard]] Status ListTasks(const std::string& serverDirectory, std::vector<TaskState>* tasks);
// Sets or clears the server's quitting flag: while set, every queue read
// returns kQueueQuitting and every stop check says yes.
[[nodiscard]] Status SetServerQuitting(const std::string& serverDirectory, bool quitting);

}  // namespace notesapi

#endif  // NOTESAPI_HOST_HOST_ADMIN_H_
