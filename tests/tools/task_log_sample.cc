// A small task of the tests: starts the task log as the mail monitor or the
// updater would, and writes a few messages to every target, so the command
// line tests can check what an administrator then reads.
#include <cstring>
#include <iostream>
#include <memory>

#include "base/server_variables.h"
#include "notesapi/host/host_platform.h"
#include "notesapi/process_platform.h"
#include "base/message_text.h"
#include "base/task_log.h"

using namespace zul;

int main(int argc, char** argv) {
  bool updater = argc > 1 && std::strcmp(argv[argc - 1], "updater") == 0;
  notesapi::HostOptions options;
  if (notesapi::LocateNotesIni(argc, argv, &options.notesIni) != notesapi::kNoError) {
    std::cerr << "task_log_sample: no notes.ini\n";
    return 1;
  }
  std::unique_ptr<notesapi::Platform> platform;
  if (notesapi::NewHostPlatform(options, &platform) != notesapi::kNoError) return 1;
  notesapi::SetProcessPlatform(platform.get());
  SetTaskName(updater ? "ZulUpdater" : "ZulMailMonitor");
  (void)LoadMessageLibrary(kMessageLibraryName);  // the built-in texts serve without it
  if (!ReadServerVariables(updater ? TaskKind::kUpdater : TaskKind::kMailMonitor)) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, "%s", 0,
               MessageText(updater ? Msg::UpdaterConfigReadErrorExit : Msg::ConfigReadErrorExit));
    return 2;
  }
  LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, "%s", 0, MessageText(Msg::Initialising));
  LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::DocumentOpenFailed), notesapi::kNoteNotFound,
             0x8f8);
  LogMessage(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalInformation, "%s", 0, MessageText(Msg::ShuttingDown));
  FreeMessageLibrary();
  return 0;
}
