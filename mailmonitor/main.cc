// nZulMailMonitor: the mail monitor add-in task.
#include <cstring>
#include <iostream>
#include <utility>

#include "mailmonitor/mail_monitor_task.h"
#include "base/process_entry.h"
#include "notesapi/host/host_platform.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << "usage: nZulMailMonitor [=path/to/notes.ini]\n"
                   "The mail monitor add-in task: scans held mail and serves its console\n"
                   "commands (VERSION, HOOK INFO|PAUSE|RESUME task) until the server stops it\n"
                   "(zulctl quit, SIGTERM or SIGINT). The server is found by the =path argument,\n"
                   "else ZUL_NOTES_INI, else ./notes.ini.\n";
      return 0;
    }
  }
  zul::TaskPlatform opened;
  if (notesapi::Status s = notesapi::OpenProgramHost(argc, argv, &opened.platform); s != notesapi::kNoError) {
    opened.failure = zul::Status::FromPlatform(s, (s & notesapi::kStatusShownBit) ? "" : notesapi::HostStatusText(s));
  }
  return zul::RunAddInProcess(argc, argv, std::move(opened), zul::MailMonitorTaskMain);
}
