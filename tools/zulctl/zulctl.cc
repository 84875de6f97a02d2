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
#include "tools/zulctl/db_commands.h"
#include "tools/zulctl/mail_commands.h"
#include "tools/zulctl/quarantine_commands.h"
#include "tools/zulctl/server_commands.h"
#include "tools/zulctl/settings_commands.h"
#include "tools/zulctl/stats_commands.h"
#include "tools/zulctl/usage_text.h"

using namespace notesapi;
using zulctl::Fail;
using zulctl::ToLmbcs;
using zulctl::BadUsage;
using zulctl::Usage;
using zulctl::WantsHelp;
using zulctl::Init;
using zulctl::Quit;
using zulctl::Tasks;
using zulctl::Queues;
using zulctl::Tell;

namespace {

int Ini(Platform* platform, const std::vector<std::string>& args) {
  if (args.size() == 2 && args[0] == "get") {
    std::string value;
    if (!platform->IniGetText(args[1], 65535, &value)) {
      std::cerr << "zulctl: " << args[1] << " is not set\n";
      return 1;
    }
    std::cout << value << "\n";
    return 0;
  }
  if (args.size() == 3 && args[0] == "set") {
    if (Status s = platform->IniSetText(args[1], args[2]); s != kNoError) {
      return Fail(platform, "cannot set " + args[1], s);
    }
    return 0;
  }
  return BadUsage("ini");
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

int Log(Platform* platform, const std::string& serverDirectory, const std::vector<std::string>& args) {
  if (args.empty() || args[0] != "tail") return BadUsage("log");
  std::string which = "server";
  size_t count = 20;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-n" && i + 1 < args.size()) {
      char* end = nullptr;
      unsigned long n = std::strtoul(args[++i].c_str(), &end, 10);
      if (*end != '\0' || args[i].empty()) return BadUsage("log");
      count = n;
    } else if (args[i] == "server" || args[i] == "monitor" || args[i] == "updater") {
      which = args[i];
    } else {
      return BadUsage("log");
    }
  }
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

int Db(Platform* platform, const std::vector<std::string>& args) {
  if ((args.size() == 2 || args.size() == 3) && args[0] == "create") {
    std::string title = args.size() == 3 ? args[2] : args[1];
    if (Status s = platform->DbCreate(ToLmbcs(platform, args[1]), ToLmbcs(platform, title)); s != kNoError) {
      return Fail(platform, "cannot create " + args[1], s);
    }
    return 0;
  }
  if (args.size() == 2 && args[0] == "ls") return zulctl::ListDatabase(platform, args[1]);
  if (args.size() == 3 && args[0] == "show") return zulctl::ShowNote(platform, args[1], args[2], false);
  if (args.size() == 4 && args[0] == "show" && args[3] == "--converted") {
    return zulctl::ShowNote(platform, args[1], args[2], true);
  }
  if (args.size() == 4 && args[0] == "extract") return zulctl::ExtractNote(platform, args[1], args[2], false, args[3]);
  if (args.size() == 5 && args[0] == "extract" && args[3] == "--converted") {
    return zulctl::ExtractNote(platform, args[1], args[2], true, args[4]);
  }
  return BadUsage("db");
}

// A message handed over by an MTA's pipe: failures to reach the server are
// temporary for it.
bool FromMta(const std::string& verb, const std::vector<std::string>& args) {
  return verb == "mail" && !args.empty() && args[0] == "submit" && args.back() == "-";
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

int Run(int argc, char** argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '=') words.emplace_back(argv[i]);
  }
  if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
    std::cout << zulctl::GeneralUsage();
    return words.empty() ? 2 : 0;
  }
  std::string verb = words[0];
  std::vector<std::string> args(words.begin() + 1, words.end());
  if (WantsHelp(args)) return Usage(verb);
  if (verb == "init") return Init(args);
  if (verb == "bases" && !args.empty() && args[0] == "sign") {
    int code = zulctl::SignBases(args);
    return code == 2 ? BadUsage("bases") : code;
  }

  std::string notesIni;
  if (Status s = LocateNotesIni(argc, argv, &notesIni); s != kNoError) {
    // A scan with its own bases needs no server, like any command-line scanner.
    bool standaloneScan = verb == "scan" && std::find(args.begin(), args.end(), "--bases") != args.end();
    if (!standaloneScan || !MakeScratchServer(&notesIni)) {
      std::cerr << "zulctl: no notes.ini found (give =path/to/notes.ini or set ZUL_NOTES_INI)\n";
      return FromMta(verb, args) ? 75 : 1;  // EX_TEMPFAIL: the MTA keeps the message and retries
    }
  }
  std::string serverDirectory = ServerDirectoryOf(notesIni);
  if (verb == "quit") return Quit(serverDirectory, args);
  if (verb == "tasks") return args.empty() ? Tasks(serverDirectory) : BadUsage("tasks");
  if (verb == "queue") return Queues(serverDirectory, args);

  HostOptions options;
  options.notesIni = notesIni;
  std::unique_ptr<Platform> platform;
  if (Status s = NewHostPlatform(options, &platform); s != kNoError) {
    Fail(nullptr, "cannot open the server", s);
    return FromMta(verb, args) ? 75 : 1;
  }
  SetProcessPlatform(platform.get());
  if (verb == "tell") return Tell(platform.get(), args);
  if (verb == "bases") {
    int code = args.size() == 2 && args[0] == "info" ? zulctl::BasesInfo(platform.get(), args) : 2;
    return code == 2 ? BadUsage("bases") : code;
  }
  if (verb == "scan") {
    int code = zulctl::ScanFiles(platform.get(), args);
    return code == 2 && args.empty() ? BadUsage("scan") : code;
  }
  if (verb == "ini") return Ini(platform.get(), args);
  if (verb == "db") return Db(platform.get(), args);
  if (verb == "update") {
    if (args.size() != 1) return BadUsage("update");
    if (args[0] == "now") {
      ScopedQueue queue(platform.get());
      Status s = platform->QueueOpen("MQ$DATABASE2UPD", kQueueCreate, queue.put());
      if (s == kNoError) s = platform->QueuePut(queue.get(), 1, "CONFIG|START");
      if (s != kNoError) return Fail(platform.get(), "cannot post CONFIG|START", s);
      std::cout << "posted CONFIG|START to MQ$DATABASE2UPD\n";
      return 0;
    }
    if (args[0] == "status") {
      int a = zulctl::SettingsCommand(platform.get(), serverDirectory, {"show", "formUpdaterStatus"});
      int b = zulctl::SettingsCommand(platform.get(), serverDirectory, {"show", "formUpdaterSettings"});
      return a != 0 ? a : b;
    }
    return BadUsage("update");
  }
  if (verb == "mail") {
    int code = zulctl::MailCommand(platform.get(), serverDirectory, args);
    return code == 2 ? BadUsage("mail") : code;
  }
  if (verb == "settings") {
    int code = zulctl::SettingsCommand(platform.get(), serverDirectory, args);
    return code == 2 ? BadUsage("settings") : code;
  }
  if (verb == "log") return Log(platform.get(), serverDirectory, args);
  if (verb == "quarantine") {
    int code = zulctl::QuarantineCommand(platform.get(), serverDirectory, args);
    return code == 2 ? BadUsage("quarantine") : code;
  }
  if (verb == "stats") {
    int code = zulctl::StatsCommand(platform.get(), args);
    return code == 2 ? BadUsage("stats") : code;
  }
  std::cerr << "zulctl: unknown verb '" << verb << "'\n" << zulctl::GeneralUsage();
  return 2;
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
