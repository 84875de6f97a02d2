#include "notesapi/process_platform.h"

namespace notesapi {

namespace {
Platform* g_platform = nullptr;
}

Platform* ProcessPlatform() { return g_platform; }
void SetProcessPlatform(Platform* platform) { g_platform = platform; }

}  // namespace notesapi
