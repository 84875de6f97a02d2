// The schedule of the updater: moves the stored next update time
// ("usNextUpdate") on to the next slot of the hourly or daily schedule once
// that time has been reached, and stores it back.
#ifndef SETTINGS_UPDATE_SCHEDULE_H_
#define SETTINGS_UPDATE_SCHEDULE_H_

#include "notesapi/status.h"

namespace zul {

// 0 on success or when nothing had to change; otherwise the status of the
// last failed step, already reported. Intervals of 0 or below count as 1
// (one hour, one day), so the computation always ends.
notesapi::Status ComputeNextUpdate();

}  // namespace zul

#endif  // SETTINGS_UPDATE_SCHEDULE_H_
