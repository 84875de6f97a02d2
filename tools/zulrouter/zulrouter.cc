// zulrouter: the router of a server as a program of its own. It serves the
// mail hook's commands and gives every released message of mail.box to its
// recipients, into mail/<name>.nsf or through the MTA's sendmail, until the
// server quits. The state that hands each message over once is in mail.box.
#include <CLI/CLI.hpp>

#include <cstring>

#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "notesapi/host/host_platform.h"
#include "notesapi/process_platform.h"
#include "tools/common/guarded_main.h"
#include "tools/common/program_options.h"
#include "tools/zulrouter/mail_router.h"
#include "tools/zulrouter/relay.h"

using namespace notesapi;

namespace {

constexpr char kProgram[] = "zulrouter";

int Failed(const zul::Status& status) {
  std::cerr << kProgram << ": " << status.ToString() << "\n";
  return 1;
}

// "smtp://HOST:PORT" as it is; "sendmail" or "sendmail:PATH" resolved to the
// program to run.
std::string RelayProgram(const std::string& relay) {
  if (relay.rfind(zulrouter::kSmtpScheme, 0) == 0 && relay.size() > std::strlen(zulrouter::kSmtpScheme)) return relay;
  if (relay == "sendmail") return "/usr/sbin/sendmail";
  if (relay.rfind("sendmail:", 0) == 0 && relay.size() > 9) return relay.substr(9);
  throw CLI::ValidationError("not smtp://HOST:PORT, sendmail or sendmail:PATH: " + relay);
}

int Run(int argc, char** argv) {
  zulrouter::RouterOptions options;
  std::string relay;
  CLI::App app{"The router of a server: serves the mail hook's commands and gives every released message of\n"
               "mail.box to its recipients until the server quits (zulctl quit, SIGTERM). Without --relay each\n"
               "message goes to mail/<name>.nsf of each recipient; with --relay smtp://127.0.0.1:10026 to the\n"
               "MTA over SMTP on one kept connection (Postfix's smtpd for filtered mail), with --relay\n"
               "sendmail[:PATH] through sendmail -G -i -f SENDER -- RCPT... (default /usr/sbin/sendmail); a message\n"
               "the MTA does not take stays in mail.box and is tried again with back-off.\n"
               "One router runs per server; a second is refused.\n"
               "The server is found from an argument =path/to/notes.ini, else ZUL_NOTES_INI, else ./notes.ini.",
               kProgram};
  app.add_option("--relay", relay, "hand released mail to smtp://HOST:PORT or sendmail[:PATH]")->check([](const std::string& value) {
    RelayProgram(value);
    return std::string();
  });
  app.add_option("--task", options.task, "the mail task whose hook commands to serve")->capture_default_str();
  if (std::optional<int> ended = tools::ParseOptions(app, argc, argv)) return *ended;
  if (!relay.empty()) options.sendmail = RelayProgram(relay);
  std::string notesIni;
  if (LocateNotesIni(argc, argv, &notesIni) != kNoError) {
    std::cerr << kProgram << ": no notes.ini found (give =path/to/notes.ini or set ZUL_NOTES_INI)\n";
    return 1;
  }
  options.serverDirectory = ServerDirectoryOf(notesIni);
  HostOptions host;
  host.notesIni = notesIni;
  std::unique_ptr<Platform> platform;
  if (notesapi::Status s = NewHostPlatform(host, &platform); s != kNoError) {
    std::cerr << kProgram << ": cannot open the server " << notesIni << ": " << HostStatusText(s) << "\n";
    return 1;
  }
  SetProcessPlatform(platform.get());
  zul::Status ran = zulrouter::TakeRouterInstance(platform.get(), options.serverDirectory);
  if (ran.ok()) ran = zulrouter::RunRouter(platform.get(), options);
  SetProcessPlatform(nullptr);
  return ran.ok() ? 0 : Failed(ran);
}

}  // namespace

int main(int argc, char** argv) { return tools::GuardedMain(kProgram, Run, argc, argv, 1); }
