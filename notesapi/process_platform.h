// The one platform of the running task. The task's entry sets it before
// anything else runs; the subsystems take it from here instead of reaching
// for the operating system. Tests set their own per test.
#ifndef NOTESAPI_PROCESS_PLATFORM_H_
#define NOTESAPI_PROCESS_PLATFORM_H_

#include "notesapi/platform.h"

namespace notesapi {

// Null until set. Not owned.
Platform* ProcessPlatform();
void SetProcessPlatform(Platform* platform);

}  // namespace notesapi

#endif  // NOTESAPI_PROCESS_PLATFORM_H_
