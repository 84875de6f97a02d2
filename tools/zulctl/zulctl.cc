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
using zulctl::Fail;
using zulctl::ToLmbcs;
using zulctl::Init;
using zulctl::Quit;
using zulctl::Tasks;
using zulctl::Queues;
using zulctl::Tell;

namespace {

int Ini(Platform* platform, const std::string& action, const zulctl::IniArguments& ini) {
  if (action == "get") {
    std::string value;
    if (!platform->IniGetText(ini.name, 65535, &value)) {
      std::cerr << "zulctl: " << ini.name << " is not set\n";
      return 1;
    }
    std::cout << value << "\n";
    return 0;
  }
  if (Status s = platform->IniSetText(ini.name, ini.value); s != kNoError) {
    return Fail(platform, "cannot set " + ini.name, s);
  }
  return 0;
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

int Log(Platform* platform, const std::string& serverDirectory, const zulctl::LogArguments& log) {
  const std::string& which = log.which;
  size_t count = log.lines;
  std::string path = serverDirectory + "/server.log";
  if (which != "server") {
    const char* variable = which == "monitor" ? "ZulMailMonitorLogFileName" : "ZulUpdaterLogFileName";
    if (!platform->IniGetText(variable, 1024, &path) || path.empty()) {
      std::cerr << "zulctl: " << variable << " is not set: the task keeps no log file\n";
      return 1;
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
  if (Status s = platform->FileRead(widePath, &text); s != kNoError) return Fail(platform, "cannot read " + path, s);
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
  return 0;
}

int Db(Platform* platform, const std::string& action, const zulctl::DbArguments& db) {
  if (action == "create") {
    std::string title = db.title.empty() ? db.path : db.title;
    if (Status s = platform->DbCreate(ToLmbcs(platform, db.path), ToLmbcs(platform, title)); s != kNoError) {
      return Fail(platform, "cannot create " + db.path, s);
    }
    return 0;
  }
  if (action == "ls") return zulctl::ListDatabase(platform, db.path);
  if (action == "show") return zulctl::ShowNote(platform, db.path, db.noteId, db.converted);
  return zulctl::ExtractNote(platform, db.path, db.noteId, db.converted, db.directory);
}

int Update(Platform* platform, const std::string& serverDirectory, const std::string& action) {
  if (action == "now") {
    ScopedQueue queue(platform);
    Status s = platform->QueueOpen("MQ$DATABASE2UPD", kQueueCreate, queue.put());
    if (s == kNoError) s = platform->QueuePut(queue.get(), 1, "CONFIG|START");
    if (s != kNoError) return Fail(platform, "cannot post CONFIG|START", s);
    std::cout << "posted CONFIG|START to MQ$DATABASE2UPD\n";
    return 0;
  }
  zulctl::SettingsArguments status;
  status.form = "formUpdaterStatus";
  int a = zulctl::SettingsCommand(platform, serverDirectory, "show", status);
  status.form = "formUpdaterSettings";
  int b = zulctl::SettingsCommand(platform, serverDirectory, "show", status);
  return a != 0 ? a : b;
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

// The verbs that work on an opened server.
int RunOnServer(Platform* platform, const std::string& serverDirectory, const zulctl::CommandLine& line) {
  const std::string& verb = line.verb;
  if (verb == "tell") return Tell(platform, line.tell);
  if (verb == "bases") return zulctl::BasesInfo(platform, line.bases.folder);
  if (verb == "scan") return zulctl::ScanFiles(platform, line.scan);
  if (verb == "ini") return Ini(platform, line.action, line.ini);
  if (verb == "db") return Db(platform, line.action, line.db);
  if (verb == "update") return Update(platform, serverDirectory, line.action);
  if (verb == "mail") return zulctl::MailCommand(platform, serverDirectory, line.action, line.mail);
  if (verb == "settings") return zulctl::SettingsCommand(platform, serverDirectory, line.action, line.settings);
  if (verb == "log") return Log(platform, serverDirectory, line.log);
  if (verb == "quarantine") return zulctl::QuarantineCommand(platform, serverDirectory, line.action, line.quarantine);
  return zulctl::StatsCommand(platform, line.stats);
}

int Run(int argc, char** argv) {
  zulctl::CommandLine line;
  if (int code = zulctl::ParseCommandLine(argc, argv, &line); code >= 0) return code;
  if (line.verb == "init") return Init(line.init);
  if (line.verb == "bases" && line.action == "sign") return zulctl::SignBases(line.bases);

  std::string notesIni;
  if (Status s = LocateNotesIni(argc, argv, &notesIni); s != kNoError) {
    // A scan with its own bases needs no server, like any command-line scanner.
    bool standaloneScan = line.verb == "scan" && !line.scan.bases.empty();
    if (!standaloneScan || !MakeScratchServer(&notesIni)) {
      std::cerr << "zulctl: no notes.ini found (give =path/to/notes.ini or set ZUL_NOTES_INI)\n";
      return FromMta(line) ? 75 : 1;  // EX_TEMPFAIL: the MTA keeps the message and retries
    }
  }
  std::string serverDirectory = ServerDirectoryOf(notesIni);
  if (!zulctl::ActAsServerOwner(serverDirectory)) return FromMta(line) ? 75 : 1;
  if (line.verb == "quit") return Quit(serverDirectory, line.quit);
  if (line.verb == "tasks") return Tasks(serverDirectory);
  if (line.verb == "queue") return Queues(serverDirectory);

  HostOptions options;
  options.notesIni = notesIni;
  std::unique_ptr<Platform> platform;
  if (Status s = NewHostPlatform(options, &platform); s != kNoError) {
    Fail(nullptr, "cannot open the server", s);
    return FromMta(line) ? 75 : 1;
  }
  SetProcessPlatform(platform.get());
  return RunOnServer(platform.get(), serverDirectory, line);
}

int main(int argc, char** argv) {
  // No verb ends on an uncaught exception: anything unexpected is a message
  // and exit code 2.
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "zulctl: unexpected failure: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "zulctl: unexpected failure\n";
  }
  return 2;
}
