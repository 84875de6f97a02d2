// The mail monitor's task: start-up, the main loop over its four queues,
// the periodic reload of the bases, and shut-down.
#ifndef MAILMONITOR_MAIL_MONITOR_TASK_H_
#define MAILMONITOR_MAIL_MONITOR_TASK_H_

#include "base/status.h"
#include "notesapi/types.h"

namespace zul {

inline constexpr char kMailMonitorTaskName[] = "ZulMailMonitor";

// A failure when the start fails (notes.ini variables, settings, queues,
// kernel, outbreak monitoring): the frame is given 0xFFFF. OK after a normal
// end and when another instance runs. Needs the process platform.
Status MailMonitorTaskMain(notesapi::ModuleHandle module, int argc, char** argv);

// One periodic step: "AddInDayHasElapsed" at level 3 and a reload of the
// bases begun (TakeInReload ends it).
void RunPeriodicStep();
// Takes in bases a reload has finished loading (with `wait`, waits for
// them), logs a failed one and writes the bases information.
void TakeInReload(bool wait);

}  // namespace zul

#endif  // MAILMONITOR_MAIL_MONITOR_TASK_H_
