#include "base/process_entry.h"

#include <cstdio>
#include <string>

#include "notesapi/process_platform.h"

namespace zul {

using namespace notesapi;

namespace {

void PrintFailure(const std::string& text) {
  std::printf("\r\n%s\r\n\r\n", text.c_str());
  std::fflush(stdout);
}

// What the add-in frame is given for a task that ended in failure: the
// server's frame knows statuses, not messages.
constexpr notesapi::Status kTaskFailed = 0xFFFF;

}  // namespace

int RunAddInProcess(int argc, char** argv, TaskPlatform opened, TaskMainFunction taskMain) {
  if (opened.platform == nullptr) {
    if (!opened.failure.message().empty()) PrintFailure(opened.failure.message());
    return 1;
  }
  Platform* platform = opened.platform.get();
  SetProcessPlatform(platform);
  notesapi::Status run = platform->AddInStart();
  if (run == kNoError) {
    Status ended = taskMain(platform->ResourceModule(), argc, argv);
    run = platform->AddInEnd(ended.ok() ? kNoError : kTaskFailed);
    // The frame's code alone would name nothing.
    if (!ended.ok()) PrintFailure(ended.message());
  } else if ((run & kStatusShownBit) == 0) {
    PrintFailure(platform->StatusText(run));
  }
  SetProcessPlatform(nullptr);
  return run == kNoError ? 0 : 1;
}

}  // namespace zul
