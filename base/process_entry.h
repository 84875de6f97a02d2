// The process entry shared by both add-in programs: starts the server
// runtime (the embedded host) for the program, runs the task's main function
// inside the add-in frame and turns its status into the exit code.
#ifndef BASE_PROCESS_ENTRY_H_
#define BASE_PROCESS_ENTRY_H_

#include "notesapi/status.h"
#include "notesapi/types.h"

namespace zul {

using TaskMainFunction = notesapi::Status (*)(notesapi::ModuleHandle module, int argc, char** argv);

// 0 when the task ended with status 0, -1 when with another; when the runtime
// cannot start, the length of the text of its status. Failures are printed
// in the frame "\r\n%s\r\n\r\n" unless already shown.
int RunAddInProcess(int argc, char** argv, TaskMainFunction taskMain);

}  // namespace zul

#endif  // BASE_PROCESS_ENTRY_H_
