// The task frame of the host: stop signals and the server's quitting flag,
// the idle wait on the task's own queues, the interval check, the status
// lines of the task list, and the single-instance slot of a program.
#ifndef NOTESAPI_HOST_INTERNAL_TASK_FRAME_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_TASK_FRAME_ROLE_H_

#include <map>
#include <string>

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class TaskFrameRole {
 public:
  explicit TaskFrameRole(HostState& state);
  ~TaskFrameRole();
  TaskFrameRole(const TaskFrameRole&) = delete;
  TaskFrameRole& operator=(const TaskFrameRole&) = delete;

  Status AddInStart();
  Status StatusLineQueryDefault(ModuleHandle* module, StatusLineHandle* line);
  Status StatusLineDelete(StatusLineHandle line);
  Status StatusLineCreate(std::string_view taskName, StatusLineHandle* line);
  Status StatusLineSetDefault(ModuleHandle module, StatusLineHandle line);
  Status StatusLineSetText(StatusLineHandle line, std::string_view text);
  Status StatusLineSetDefaultText(std::string_view text);
  bool AddInShouldTerminate();
  bool AddInIdle();
  bool AddInIntervalElapsed(uint32_t seconds);
  Status AcquireInstance(std::string_view program);
  Status ReleaseInstance(std::string_view program);

 private:
  // True when a message waits on a queue this instance has open.
  bool WaitForQueueActivity();
  void FoldDatabaseLogsWhenDue();

  HostState& s_;
  int64_t startMicros_ = 0;
  int64_t lastFoldMicros_ = 0;
  std::map<uint32_t, int64_t> intervals_;
  StatusLineHandle defaultLine_ = kNullHandle;
  std::map<StatusLineHandle, int64_t> statusLines_;
  std::map<std::string, int> instanceLocks_;
  int inotifyFd_ = -1;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_TASK_FRAME_ROLE_H_
