#include "base/process_entry.h"

#include <cstdio>
#include <memory>
#include <string>

#include "notesapi/host/host_platform.h"
#include "notesapi/process_platform.h"

namespace zul {

using namespace notesapi;

namespace {

void PrintFailure(const std::string& text) {
  std::printf("\r\n%s\r\n\r\n", text.c_str());
  std::fflush(stdout);
}

// What both tasks return from a start that failed.
constexpr Status kTaskFailedStart = 0xFFFF;

}  // namespace

int RunAddInProcess(int argc, char** argv, TaskMainFunction taskMain) {
  HostOptions options;
  Status status = LocateNotesIni(argc, argv, &options.notesIni);
  std::unique_ptr<Platform> platform;
  if (status == kNoError) status = NewHostPlatform(options, &platform);
  if (status != kNoError) {
    std::string text = HostStatusText(status);
    if ((status & kStatusShownBit) == 0) PrintFailure(text);
    return static_cast<int>(text.size());
  }
  SetProcessPlatform(platform.get());
  Status run = platform->AddInStart();
  if (run == kNoError) run = platform->AddInEnd(taskMain(platform->ResourceModule(), argc, argv));
  if (ErrorOf(run) == ErrorOf(kTaskFailedStart)) {
    // The task has said what failed; the code alone would name nothing.
    PrintFailure("the task did not start: the lines above and its log file say why");
  } else if (run != kNoError && (run & kStatusShownBit) == 0) {
    PrintFailure(platform->StatusText(run));
  }
  SetProcessPlatform(nullptr);
  return run == kNoError ? 0 : -1;
}

}  // namespace zul
