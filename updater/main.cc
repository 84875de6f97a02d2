// nZulUpdater: the updater add-in task.
#include <cstring>
#include <iostream>

#include "base/process_entry.h"
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
  return zul::RunAddInProcess(argc, argv, zul::UpdaterTaskMain);
}
