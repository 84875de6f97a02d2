// The updater's task: start-up, the loop over its two queues with the
// schedule check, the console commands, and the stop.
#ifndef UPDATER_UPDATER_TASK_H_
#define UPDATER_UPDATER_TASK_H_

#include "base/status.h"
#include "notesapi/types.h"

namespace zul {

inline constexpr char kUpdaterTaskName[] = "ZulUpdater";

// OK after a normal stop or when another instance runs; a failure (the
// frame is given 0xFFFF) after a start-up failure or a failed settings
// re-read. Needs the process platform.
Status UpdaterTaskMain(notesapi::ModuleHandle module, int argc, char** argv);

}  // namespace zul

#endif  // UPDATER_UPDATER_TASK_H_
