// zulctl: the administrator's command line for an embedded server directory.
// It finds the server the way the tasks do: an argument "=path/to/notes.ini",
// else ZUL_NOTES_INI, else ./notes.ini.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "notesapi/host/host_admin.h"
#include "notesapi/host/host_platform.h"
#include "notesapi/scoped_handles.h"
#include "notesapi/process_platform.h"
#include "tools/common/guarded_main.h"
#include "tools/zulctl/bases_commands.h"
#include "tools/zulctl/cli_support.h"
#include "tools/zulctl/command_line.h"
#include "tools/zulctl/db_commands.h"
#include "tools/zulctl/mail_commands.h"
#include "tools/zulctl/quarantine_commands.h"
#include "tools/zulctl/server_commands.h"
#include "tools/zulctl/settings_commands.h"
#include "tools/zulctl/stats_commands.h"

using namespace notesapi;
using zulctl::ExitCodeOf;
using zulctl::Fail;
using zulctl::ToLmbcs;
using zulctl::Init;
using zulctl::Quit;
using zulctl::Tasks;
using zulctl::Queues;
using zulctl::Tell;

namespace {

using Status = zul::Status;

Status Ini(Platform* platform, const std::string& action, const zulctl::IniArguments& ini) {
  if (action == "get") {
    std::string value;
    if (!platform->IniGetText(ini.name, 65535, &value)) {
      return Status::NotFound(ini.name + " is not set");
    }
    std::cout << value << "\n";
    return Status::OK();
  }
  if (notesapi::Status s = platform->IniSetText(ini.name, ini.value); s != kNoError) {
    return Fail(platform, "cannot set " + ini.name, s);
  }
  return Status::OK();
}

std::vector<std::string> LastLines(const std::string& text, size_t count) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (lines.size() > count) lines.erase(lines.begin(), lines.end() - static_cast<long>(count));
  return lines;
}

Status Log(Platform* platform, const std::string& serverDirectory, const zulctl::LogArguments& log) {
  const std::string& which = log.which;
  size_t count = log.lines;
  std::string path = serverDirectory + "/server.log";
  if (which != "server") {
    const char* variable = which == "monitor" ? "ZulMailMonitorLogFileName" : "ZulUpdaterLogFileName";
    if (!platform->IniGetText(variable, 1024, &path) || path.empty()) {
      return Status::NotFound(std::string(variable) + " is not set: the task keeps no log file");
    }
  }
  std::string text;
  std::u16string widePath(path.begin(), path.end());
  std::string lmbcsPath;
  std::string unicodePath;
  if (platform->Translate(kTranslateUtf8ToLmbcs, path, &lmbcsPath) == kNoError &&
      platform->Translate(kTranslateLmbcsToUnicode, lmbcsPath, &unicodePath) == kNoError) {
    widePath.assign(reinterpret_cast<const char16_t*>(unicodePath.data()), unicodePath.size() / 2);
  }
  if (notesapi::Status s = platform->FileRead(widePath, &text); s != kNoError) return Fail(platform, "cannot read " + path, s);
  if (which != "server") {
    // Task logs are in the tasks' own code page.
    std::string lmbcs;
    std::string utf8;
    if (platform->Translate(kTranslateNativeToLmbcs, text, &lmbcs) == kNoError &&
        platform->Translate(kTranslateLmbcsToUtf8, lmbcs, &utf8) == kNoError) {
      text = std::move(utf8);
    }
  }
  for (const std::string& line : LastLines(text, count)) std::cout << line << "\n";
  return Status::OK();
}

Status Db(Platform* platform, const std::string& action, const zulctl::DbArguments& db) {
  if (action == "create") {
    std::string title = db.title.empty() ? db.path : db.title;
    if (notesapi::Status s = platform->DbCreate(ToLmbcs(platform, db.path), ToLmbcs(platform, title)); s != kNoError) {
      return Fail(platform, "cannot create " + db.path, s);
    }
    return Status::OK();
  }
  if (action == "ls") return zulctl::ListDatabase(platform, db.path);
  if (action == "show") return zulctl::ShowNote(platform, db.path, db.noteId, db.converted);
  return zulctl::ExtractNote(platform, db.path, db.noteId, db.converted, db.directory);
}

Status Update(Platform* platform, const std::string& serverDirectory, const std::string& action) {
  if (action == "now") {
    ScopedQueue queue(platform);
    notesapi::Status s = platform->QueueOpen("MQ$DATABASE2UPD", kQueueCreate, queue.put());
    if (s == kNoError) s = platform->QueuePut(queue.get(), 1, "CONFIG|START");
    if (s != kNoError) return Fail(platform, "cannot post CONFIG|START", s);
    std::cout << "posted CONFIG|START to MQ$DATABASE2UPD\n";
    return Status::OK();
  }
  zulctl::SettingsArguments status;
  status.form = "formUpdaterStatus";
  Status a = zulctl::SettingsCommand(platform, serverDirectory, "show", status);
  status.form = "formUpdaterSettings";
  Status b = zulctl::SettingsCommand(platform, serverDirectory, "show", status);
  return a.ok() ? b : a;
}

// A message handed over by an MTA's pipe: failures to reach the server are
// temporary for it.
bool FromMta(const zulctl::CommandLine& line) {
  return line.verb == "mail" && line.action == "submit" && line.mail.files == std::vector<std::string>{"-"};
}

// A throw-away server directory for commands that need no server of their own.
bool MakeScratchServer(std::string* notesIni) {
  static std::string directory;
  struct Remover {
    ~Remover() {
      std::error_code ignored;
      if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
    }
  };
  static Remover remover;
  std::string pattern = (std::filesystem::temp_directory_path() / "zulctl-server.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return false;
  directory = pattern;
  if (InitServerDirectory(directory + "/srv", "CN=zulctl/O=Tervala") != kNoError) return false;
  *notesIni = directory + "/srv/notes.ini";
  return true;
}

}  // namespace

// The verbs that work on an opened server, as exit codes.
int RunOnServer(Platform* platform, const std::string& serverDirectory, const zulctl::CommandLine& line) {
  const std::string& verb = line.verb;
  if (verb == "scan") {
    // As command-line scanners answer: 0 all clean, 1 something found, 2 the scan itself failed.
    bool found = false;
    zul::Status scanned = zulctl::ScanFiles(platform, line.scan, &found);
    if (!scanned.ok()) return ExitCodeOf(scanned) == 0 ? 0 : 2;
    return found ? 1 : 0;
  }
  zul::Status done;
  if (verb == "tell") done = Tell(platform, line.tell);
  else if (verb == "bases") done = zulctl::BasesInfo(platform, line.bases.folder);
  else if (verb == "ini") done = Ini(platform, line.action, line.ini);
  else if (verb == "db") done = Db(platform, line.action, line.db);
  else if (verb == "update") done = Update(platform, serverDirectory, line.action);
  else if (verb == "mail") return zulctl::MailCommand(platform, serverDirectory, line.action, line.mail);
  else if (verb == "settings") done = zulctl::SettingsCommand(platform, serverDirectory, line.action, line.settings);
  else if (verb == "log") done = Log(platform, serverDirectory, line.log);
  else if (verb == "quarantine") done = zulctl::QuarantineCommand(platform, serverDirectory, line.action, line.quarantine);
  else done = zulctl::StatsCommand(platform, line.stats);
  return ExitCodeOf(done);
}

int Run(int argc, char** argv) {
  zulctl::CommandLine line;
  if (int code = zulctl::ParseCommandLine(argc, argv, &line); code >= 0) return code;
  if (line.verb == "init") return ExitCodeOf(Init(line.init));
  if (line.verb == "bases" && line.action == "sign") return ExitCodeOf(zulctl::SignBases(line.bases));

  std::string notesIni;
  if (notesapi::Status s = LocateNotesIni(argc, argv, &notesIni); s != kNoError) {
    // A scan with its own bases needs no server, like any command-line scanner.
    bool standaloneScan = line.verb == "scan" && !line.scan.bases.empty();
    if (!standaloneScan || !MakeScratchServer(&notesIni)) {
      std::cerr << "zulctl: no notes.ini found (give =path/to/notes.ini or set ZUL_NOTES_INI)\n";
      return FromMta(line) ? 75 : 1;  // EX_TEMPFAIL: the MTA keeps the message and retries
    }
  }
  std::string serverDirectory = ServerDirectoryOf(notesIni);
  if (zul::Status owner = zulctl::ActAsServerOwner(serverDirectory); !owner.ok()) {
    (void)ExitCodeOf(owner);
    return FromMta(line) ? 75 : 1;
  }
  if (line.verb == "quit") return ExitCodeOf(Quit(serverDirectory, line.quit));
  if (line.verb == "tasks") return ExitCodeOf(Tasks(serverDirectory));
  if (line.verb == "queue") return ExitCodeOf(Queues(serverDirectory));

  HostOptions options;
  options.notesIni = notesIni;
  std::unique_ptr<Platform> platform;
  if (notesapi::Status s = NewHostPlatform(options, &platform); s != kNoError) {
    (void)ExitCodeOf(Fail(nullptr, "cannot open the server", s));
    return FromMta(line) ? 75 : 1;
  }
  SetProcessPlatform(platform.get());
  return RunOnServer(platform.get(), serverDirectory, line);
}

// No verb ends on an uncaught exception: anything unexpected is a message
// and exit code 2.
int main(int argc, char** argv) { return tools::GuardedMain("zulctl", Run, argc, argv, 2); }
