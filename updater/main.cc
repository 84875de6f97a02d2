// nZulUpdater: the updater add-in task.
#include <cstring>
#include <iostream>
#include <utility>

#include "base/process_entry.h"
#include "notesapi/host/host_platform.h"
#include "updater/updater_task.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << "usage: nZulUpdater [=path/to/notes.ini]\n"
                   "The updater add-in task: runs the update utility basefetch on the schedule\n"
                   "of the settings database or when asked (console START, CONFIG|START), checks\n"
                   "the new bases, rolls bad ones back and tells the mail monitor. Console\n"
                   "commands: START, SHOWNEXT, VERSION. Stops on zulctl quit, SIGTERM or SIGINT.\n";
      return 0;
    }
  }
  zul::TaskPlatform opened;
  if (notesapi::Status s = notesapi::OpenProgramHost(argc, argv, &opened.platform); s != notesapi::kNoError) {
    opened.failure = zul::Status::FromPlatform(s, (s & notesapi::kStatusShownBit) ? "" : notesapi::HostStatusText(s));
  }
  return zul::RunAddInProcess(argc, argv, std::move(opened), zul::UpdaterTaskMain);
}
