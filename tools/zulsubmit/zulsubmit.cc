// zulsubmit: the mail hook an MTA's pipe delivery runs for every message.
// It is zulctl's "mail submit -" in a program of its own that links no
// scanning libraries, so that starting it once per message costs little.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <optional>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "notesapi/host/host_platform.h"
#include "notesapi/process_platform.h"
#include "tools/common/guarded_main.h"
#include "tools/common/program_options.h"
#include "tools/zulsubmit/mail_hook.h"

using namespace notesapi;

namespace {

constexpr char kProgram[] = "zulsubmit";

// A command line the MTA got wrong is a configuration fault: the mail stays
// with the MTA (75) until it is mended, never bounced.
int Run(int argc, char** argv) {
  std::string task = "SMTP";
  MessageEnvelope envelope;
  std::string input;
  CLI::App app{"The mail hook for an MTA's pipe delivery: reads one message from standard input, stores it held in\n"
               "the server's mail.box with its SMTP envelope and asks the mail monitor to scan it. Exit codes: 0\n"
               "stored, 65 not a mail message (bounce it), 75 not stored now (keep it and try again).\n"
               "The server is found from an argument =path/to/notes.ini, else ZUL_NOTES_INI, else ./notes.ini.",
               kProgram};
  app.add_option("--task", task, "the mail task whose hook this is")->capture_default_str();
  app.add_option("--from", envelope.sender, "the envelope sender (empty: the null sender)")->required();
  app.add_option("--to", envelope.recipients, "the envelope recipients")->required();
  app.add_option("input", input, "- for standard input")->required()->check(CLI::IsMember({"-"}));
  if (std::optional<int> ended = tools::ParseOptions(app, argc, argv)) return *ended == 0 ? 0 : mailhook::kExitTempFail;
  std::string notesIni;
  if (LocateNotesIni(argc, argv, &notesIni) != kNoError) {
    std::cerr << kProgram << ": no notes.ini found (give =path/to/notes.ini or set ZUL_NOTES_INI)\n";
    return mailhook::kExitTempFail;
  }
  HostOptions options;
  options.notesIni = notesIni;
  options.foldGrowingLogs = false;
  std::unique_ptr<Platform> platform;
  if (notesapi::Status s = NewHostPlatform(options, &platform); s != kNoError) {
    std::cerr << kProgram << ": cannot open the server " << notesIni << ": " << HostStatusText(s) << "\n";
    return mailhook::kExitTempFail;
  }
  SetProcessPlatform(platform.get());
  int code = mailhook::SubmitFromStandardInput(platform.get(), ServerDirectoryOf(notesIni), task, &envelope, kProgram);
  SetProcessPlatform(nullptr);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  return tools::GuardedMain(kProgram, Run, argc, argv, mailhook::kExitTempFail, "; the message stays with the MTA");
}
