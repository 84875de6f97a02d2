// The process entry shared by both add-in programs: runs the task's main
// function inside the add-in frame of the platform its program opened and
// turns the outcome into the exit code.
#ifndef BASE_PROCESS_ENTRY_H_
#define BASE_PROCESS_ENTRY_H_

#include <memory>

#include "base/status.h"
#include "notesapi/platform.h"

namespace zul {

using TaskMainFunction = Status (*)(notesapi::ModuleHandle module, int argc, char** argv);

// The platform a task runs on, opened by its program (the one place that
// knows the host), or why it could not be opened.
struct TaskPlatform {
  std::unique_ptr<notesapi::Platform> platform;
  Status failure;  // an empty message: the platform has shown it already
};

// What a task returns when its start failed, having logged why.
inline Status TaskDidNotStart() {
  return Status::Failed("the task did not start: the lines above and its log file say why");
}

// 0 when the task ended well, 1 when the platform could not be opened or the
// task failed. Failures are printed in the frame "\r\n%s\r\n\r\n" unless
// already shown.
int RunAddInProcess(int argc, char** argv, TaskPlatform opened, TaskMainFunction taskMain);

}  // namespace zul

#endif  // BASE_PROCESS_ENTRY_H_
