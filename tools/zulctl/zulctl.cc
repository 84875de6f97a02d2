// zulctl: the administrator's command line for an embedded server directory.
// It finds the server the way the tasks do: an argument "=path/to/notes.ini",
// else ZUL_NOTES_INI, else ./notes.ini.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "notesapi/host/host_admin.h"
#include "notesapi/host/host_platform.h"
#include "notesapi/scoped_handles.h"
#include "notesapi/process_platform.h"
#include "tools/zulctl/bases_commands.h"
#include "tools/zulctl/db_commands.h"
#include "tools/zulctl/mail_commands.h"
#include "tools/zulctl/quarantine_commands.h"
#include "tools/zulctl/settings_commands.h"
#include "tools/zulctl/stats_commands.h"

using namespace notesapi;

namespace {

constexpr const char* kUsage =
    "usage: zulctl [=path/to/notes.ini] VERB [ARGS...]\n"
    "\n"
    "Verbs:\n"
    "  init DIR [--server NAME] [--language en|ru]\n"
    "                             make a new server directory with a commented notes.ini\n"
    "  tell TASK COMMAND...       send a console command to a task\n"
    "  quit [--wait SECONDS] [--cancel]\n"
    "                             stop the server's tasks and wait until they have ended\n"
    "  tasks                      show the status lines of running tasks\n"
    "  queue ls                   show each message queue and its waiting messages\n"
    "  ini get NAME               print a notes.ini variable\n"
    "  ini set NAME VALUE         set a notes.ini variable\n"
    "  log tail [server|monitor|updater] [-n N]\n"
    "                             last lines of the server log or a task log, in UTF-8\n"
    "  bases sign FILE [--key KEYFILE]\n"
    "                             append a signature block to a bases index\n"
    "  bases info DIR             signatures, date and signature check of a bases folder\n"
    "  scan [--bases DIR] [--clamd ADDRESS] FILE...\n"
    "                             scan files and folders with the scan kernel\n"
    "  settings init [--bases DIR]  create the settings, statistics and quarantine databases\n"
    "  settings show [FORM]       every settings item with what the tasks read from it\n"
    "  settings set FORM ITEM=VALUE...\n"
    "                             change settings and tell the tasks\n"
    "  update now                 ask the updater for an update run (CONFIG|START)\n"
    "  update status              the updater's state and next scheduled update\n"
    "  mail submit [--task NAME] FILE...\n"
    "                             put RFC 822 messages into mail.box, held for scanning\n"
    "  mail route                 deliver released mail to mail/<name>.nsf\n"
    "  mail export DB NOTEID      print a message as RFC 822\n"
    "  mail report DB NOTEID      what the reader of a mail got: report and attachments\n"
    "  mail held | mail requeue   held mail and its hook requests; request the missing ones\n"
    "  quarantine ls|show|export|release|purge\n"
    "                             what the mail monitor took out of mail\n"
    "  stats [--since DATE] [--prometheus]\n"
    "                             detections and journal records counted\n"
    "  db create PATH [TITLE]     create an empty database\n"
    "  db ls PATH                 list the notes of a database\n"
    "  db show PATH NOTEID        print every item of one note\n"
    "  db extract PATH NOTEID DIR write every attachment of one note to DIR\n"
    "\n"
    "'zulctl VERB --help' tells more about one verb.\n";

struct VerbHelp {
  const char* verb;
  const char* text;
};

constexpr VerbHelp kVerbHelp[] = {
    {"init",
     "usage: zulctl init DIR [--server NAME] [--language en|ru]\n"
     "Creates DIR (if needed) with notes.ini, data/, program/, log/ and run/.\n"
     "NAME is the server's name (default CN=Demo/O=Tervala). Refuses a DIR that\n"
     "already has a notes.ini.\n"
     "--language en installs the English message library (zelklocale-en.dll) in\n"
     "program/ and names it in notes.ini (ZulMessageLibrary); the tasks then log\n"
     "in English. The built-in texts are Russian (ru).\n"},
    {"tell",
     "usage: zulctl tell TASK COMMAND...\n"
     "Puts the command words, joined by blanks, on the queue \"MQ$\" followed by\n"
     "TASK in upper case, as the server console does. The task must have created\n"
     "its queue once; a task that is down reads the command when it starts.\n"},
    {"quit",
     "usage: zulctl quit [--wait SECONDS] | zulctl quit --cancel\n"
     "Marks the server as quitting: every task's stop check says yes and every\n"
     "queue read reports that the queue is shutting down. Then waits (30 s unless\n"
     "--wait says otherwise) until the running tasks have ended, reports which\n"
     "ended and which did not, and clears the mark, so the next start runs\n"
     "normally. When a task did not end, the mark stays and the exit code is 1;\n"
     "--cancel clears the mark at once.\n"},
    {"tasks", "usage: zulctl tasks\nShows the status line of every running task: process id, task name, text.\n"},
    {"queue",
     "usage: zulctl queue ls\n"
     "Shows every message queue with its waiting messages and the messages set\n"
     "aside because they were longer than their reader's buffer.\n"},
    {"log",
     "usage: zulctl log tail [server|monitor|updater] [-n N]\n"
     "Prints the last N lines (default 20) of the server log (server.log, the\n"
     "default), or of the mail monitor's or updater's own log file as named by\n"
     "ZulMailMonitorLogFileName / ZulUpdaterLogFileName. Task logs are written in\n"
     "the tasks' code page and shown in UTF-8.\n"},
    {"bases",
     "usage: zulctl bases sign FILE [--key KEYFILE] | zulctl bases info DIR\n"
     "sign: appends a signature block to the bases index FILE (master.xml), made\n"
     "with the program's built-in key or with KEYFILE (lines KeyId=... and\n"
     "Secret=<hex>; the tasks accept it when notes.ini ZulBasesKeyFile names it).\n"
     "Blocks already at the end are kept; the new one signs the content before them.\n"
     "info: loads the bases of DIR and prints the number of signatures, the date\n"
     "of DIR/master.xml and whether its signature verifies; exits 1 when not.\n"},
    {"scan",
     "usage: zulctl scan [--bases DIR] [--clamd ADDRESS] FILE...\n"
     "Scans each file (folders recursively) with the scan kernel: the bases in\n"
     "DIR (default: the bases folder in NotesProgram), or the clamd daemon at\n"
     "ADDRESS (unix:/path or tcp:host:port). Prints one line per file: path,\n"
     "verdict, scan result number and what was found, separated by tabs.\n"
     "Exits 1 when anything was not clean, 2 when the kernel did not start.\n"},
    {"settings",
     "usage: zulctl settings init [--bases DIR] | show [FORM] | set FORM ITEM=VALUE...\n"
     "init: creates the settings database named by ZULSetupDatabase with one document\n"
     "per form and the profile UIDStorage, plus the statistics and quarantine\n"
     "databases. DIR is the anti-virus bases folder (default: NotesProgram/bases).\n"
     "show: prints every item of every form (or of FORM) and, after \"->\", what the\n"
     "tasks read from it. Note the inverted switches: msDisableTask \"1\" means\n"
     "scanning ON, usScheduleDisabled \"1\" means the schedule is ON.\n"
     "set: writes the items with their data types (numbers; times as HH:MM,\n"
     "DD.MM.YYYY HH:MM or +Nh), saves, and posts CONFIG|UPDATED to MQ$DATABASE2MAIL\n"
     "and MQ$DATABASE2UPD (and OUTBREAK|UPDATED for formOutbreak).\n"},
    {"update",
     "usage: zulctl update now | zulctl update status\n"
     "now: posts CONFIG|START to MQ$DATABASE2UPD, as the settings database does; the\n"
     "updater runs the update utility at its next pass (or when it starts).\n"
     "status: the updater status document (1 idle, 2 updating) and usNextUpdate.\n"},
    {"mail",
     "usage: zulctl mail submit [--task NAME] [--memo] FILE... | mail route | mail export DB NOTEID\n"
     "       zulctl mail submit [--task NAME] --from SENDER --to RCPT... -\n"
     "       zulctl mail route --follow [--relay sendmail[:PATH]] [--task NAME]\n"
     "       zulctl mail report DB NOTEID | mail held | mail requeue\n"
     "--memo stores a message as a Notes memo (rich-text Body and attachments)\n"
     "instead of MIME mail.\n"
     "submit: the mail hook of task NAME (default SMTP): stores each message in\n"
     "mail.box as MIME mail, held (item RoutingState) while the hook holds mail, and\n"
     "posts its request \"%08x|%08x|%08x|%s\" to MQ$HOOK2MAIL. Commands from the\n"
     "monitor (HOOK PAUSE/RESUME/INFO) arrive on MQ$ZULMAILHOOK<NAME> and are applied\n"
     "first; the state is kept between runs. A message that cannot be stored or\n"
     "announced is reported and the tool exits 1.\n"
     "With -, one message comes from standard input (an MTA's pipe delivery), with\n"
     "its SMTP envelope: SMTPOriginator from --from, Recipients from --to, not from\n"
     "the headers. Exit codes as sysexits.h: 0 only once it is stored and announced,\n"
     "65 when it is no mail message, 75 when the server cannot store it now (the MTA\n"
     "keeps it and retries).\n"
     "route: every message in mail.box that is no longer held goes to mail/<name>.nsf\n"
     "of each recipient and leaves mail.box; held ones stay.\n"
     "route --follow: the same as a daemon until the server quits (status line\n"
     "ZulRouter in zulctl tasks), serving the hook commands of its task at once.\n"
     "With --relay, released messages (and the monitor's memos) go to the MTA:\n"
     "sendmail -G -i -f SENDER -- RCPT..., default /usr/sbin/sendmail; a message\n"
     "the MTA does not take stays in mail.box and is tried again with back-off.\n"
     "export: writes the message of a note back as RFC 822 on standard output.\n"
     "held: every held document in mail.box with its age and whether a hook request\n"
     "waits for it.\n"
     "requeue: posts a hook request for every held document that has none waiting\n"
     "(after a monitor died in the middle of a scan; the service unit runs it before\n"
     "each start).\n"
     "report: what a reader of the note gets: subject, sender, the scan report in\n"
     "its body and every attachment with its size (placeholders of removed objects\n"
     "are marked).\n"},
    {"quarantine",
     "usage: zulctl quarantine ls [--since YYYY-MM-DD] [--sender TEXT] [--recipient TEXT]\n"
     "       zulctl quarantine show ID | export ID DIR | release ID [--to ADDRESS]\n"
     "       zulctl quarantine purge --older-than DAYS\n"
     "What the mail monitor took out of mail (ZULQuarantineDatabase).\n"
     "ls: one line a document; --sender and --recipient match parts of the addresses.\n"
     "show: the mail's addressing, the reports of its objects and the objects.\n"
     "export: the quarantined objects as files in DIR.\n"
     "release: sends the objects (or the whole message, when it was kept) to the\n"
     "original recipients or to ADDRESS, through mail.box and the router, not held\n"
     "and not scanned again; the document records who released it to whom and when,\n"
     "and a second release is refused.\n"
     "purge: deletes documents quarantined more than DAYS days ago.\n"},
    {"stats",
     "usage: zulctl stats [--since YYYY-MM-DD] [--prometheus]\n"
     "Counts of the statistics database (ZULStatDatabase): detections by type and by\n"
     "threat name, journal records by type and task, and both per day.\n"
     "--prometheus prints the totals in the Prometheus text format, for the node\n"
     "exporter's textfile collector.\n"},
    {"ini", "usage: zulctl ini get NAME | zulctl ini set NAME VALUE\nReads or writes a notes.ini variable.\n"},
    {"db",
     "usage: zulctl db create PATH [TITLE] | zulctl db ls PATH | zulctl db show PATH NOTEID [--converted]\n"
     "       zulctl db extract PATH NOTEID [--converted] DIR\n"
     "show prints MIME mail as stored (raw parts); --converted as a reader sees it\n"
     "(a rich-text Body and the attachments).\n"
     "extract writes the attachments of a note to DIR: as stored, or with\n"
     "--converted every attachment of the reader's view, which is what the scanner\n"
     "reads.\n"
     "PATH is relative to the data directory. NOTEID is hexadecimal with 0x, or\n"
     "decimal. Texts are shown in UTF-8.\n"},
};

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

int Usage(const std::string& verb) {
  for (const VerbHelp& help : kVerbHelp) {
    if (verb == help.verb) {
      std::cout << help.text;
      return 0;
    }
  }
  std::cout << kUsage;
  return 0;
}

int BadUsage(const std::string& verb) {
  for (const VerbHelp& help : kVerbHelp) {
    if (verb == help.verb) {
      std::cerr << help.text;
      return 2;
    }
  }
  std::cerr << kUsage;
  return 2;
}

int Fail(const std::string& what, Status status, Platform* platform = nullptr) {
  std::cerr << "zulctl: " << what << ": ";
  if (platform != nullptr) {
    std::cerr << platform->StatusText(status);
  } else {
    std::cerr << HostStatusText(status);
  }
  std::cerr << " (0x" << std::hex << ErrorOf(status) << std::dec << ")\n";
  return 1;
}

std::string ServerDirectoryOf(const std::string& notesIni) {
  size_t slash = notesIni.rfind('/');
  return slash == std::string::npos ? "." : notesIni.substr(0, slash == 0 ? 1 : slash);
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string ToLmbcs(Platform* platform, const std::string& utf8) {
  std::string lmbcs;
  return platform->Translate(kTranslateUtf8ToLmbcs, utf8, &lmbcs) == kNoError ? lmbcs : utf8;
}

// The English message library comes with the programs, beside zulctl.
std::string BesideThisProgram(const std::string& file) {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? file : (self.parent_path() / file).string();
}

// Installs the message library of a language into the server's program
// folder and names it in notes.ini for the tasks.
int ChooseLanguage(const std::string& directory, const std::string& language) {
  if (language == "ru") return 0;  // the built-in texts
  std::string library = "zelklocale-" + language + ".dll";
  std::error_code error;
  std::filesystem::copy_file(BesideThisProgram(library), directory + "/program/" + library,
                             std::filesystem::copy_options::overwrite_existing, error);
  if (error) {
    std::cerr << "zulctl: no message library for language " << language << " (" << BesideThisProgram(library)
              << ": " << error.message() << ")\n";
    return 1;
  }
  HostOptions options;
  options.notesIni = directory + "/notes.ini";
  options.echoConsole = false;
  std::unique_ptr<Platform> platform;
  Status s = NewHostPlatform(options, &platform);
  if (s == kNoError) s = platform->IniSetText("ZulMessageLibrary", library);
  if (s != kNoError) return Fail("cannot name the message library in notes.ini", s, platform.get());
  return 0;
}

int Init(const std::vector<std::string>& args) {
  if (args.empty()) return BadUsage("init");
  std::string server = "CN=Demo/O=Tervala";
  std::string language = "ru";
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--server" && i + 1 < args.size()) {
      server = args[++i];
    } else if (args[i] == "--language" && i + 1 < args.size() && (args[i + 1] == "en" || args[i + 1] == "ru")) {
      language = args[++i];
    } else {
      return BadUsage("init");
    }
  }
  Status s = InitServerDirectory(args[0], server);
  if (s == kDatabaseExists) {
    std::cerr << "zulctl: " << args[0] << " already has a notes.ini; nothing changed\n";
    return 1;
  }
  if (s != kNoError) return Fail("cannot initialise " + args[0], s);
  if (int code = ChooseLanguage(args[0], language); code != 0) return code;
  std::cout << "server directory " << args[0] << " ready; use it with ZUL_NOTES_INI=" << args[0] << "/notes.ini\n";
  return 0;
}

int Tell(Platform* platform, const std::vector<std::string>& args) {
  if (args.size() < 2) return BadUsage("tell");
  std::string command;
  for (size_t i = 1; i < args.size(); ++i) command += (i > 1 ? " " : "") + args[i];
  std::string queueName = "MQ$" + Upper(args[0]);
  ScopedQueue queue(platform);
  Status s = platform->QueueOpen(queueName, kQueueOpenExisting, queue.put());
  if (IsError(s, kQueueNotFound)) {
    std::cerr << "zulctl: no task reads " << queueName << " (it has never run here); nothing sent\n";
    return 1;
  }
  if (s != kNoError) return Fail("cannot open " + queueName, s, platform);
  if (s = platform->QueuePut(queue.get(), 1, ToLmbcs(platform, command)); s != kNoError) {
    return Fail("cannot send to " + queueName, s, platform);
  }
  std::cout << "sent to " << queueName << ": " << command << "\n";
  return 0;
}

std::vector<TaskState> RunningTasks(const std::string& serverDirectory) {
  std::vector<TaskState> tasks;
  (void)ListTasks(serverDirectory, &tasks);  // an unreadable list reads as empty
  return tasks;
}

// Asks the running tasks to stop, waits (bounded) until they have ended,
// says which did and which did not, and clears the flag again, so that the
// next start runs normally.
int Quit(const std::string& serverDirectory, const std::vector<std::string>& args) {
  if (args.size() == 1 && args[0] == "--cancel") {
    if (Status s = SetServerQuitting(serverDirectory, false); s != kNoError) return Fail("cannot clear quit", s);
    std::cout << "server no longer quitting\n";
    return 0;
  }
  long wait = 30;
  if (args.size() == 2 && args[0] == "--wait") {
    char* end = nullptr;
    wait = std::strtol(args[1].c_str(), &end, 10);
    if (args[1].empty() || *end != '\0' || wait < 0 || wait > 86400) return BadUsage("quit");
  } else if (!args.empty()) {
    return BadUsage("quit");
  }
  std::vector<TaskState> before = RunningTasks(serverDirectory);
  if (Status s = SetServerQuitting(serverDirectory, true); s != kNoError) return Fail("cannot set quit", s);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait);
  std::vector<TaskState> left = RunningTasks(serverDirectory);
  while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    left = RunningTasks(serverDirectory);
  }
  for (const TaskState& task : before) {
    bool running = std::any_of(left.begin(), left.end(), [&](const TaskState& t) { return t.pid == task.pid; });
    std::printf("%-20s (pid %u) %s\n", task.task.c_str(), task.pid, running ? "did not end in time" : "ended");
  }
  if (!left.empty()) {
    std::printf("%zu task(s) still running; the server stays quitting (zulctl quit --cancel clears it)\n", left.size());
    return 1;
  }
  if (Status s = SetServerQuitting(serverDirectory, false); s != kNoError) return Fail("cannot clear quit", s);
  std::printf("%s\n", before.empty() ? "no task was running" : "all tasks ended; the server takes new starts");
  return 0;
}

int Tasks(const std::string& serverDirectory) {
  std::vector<TaskState> tasks;
  if (Status s = ListTasks(serverDirectory, &tasks); s != kNoError) return Fail("cannot read the task list", s);
  std::printf("%-8s %-20s %s\n", "PID", "TASK", "STATUS");
  for (const TaskState& task : tasks) std::printf("%-8u %-20s %s\n", task.pid, task.task.c_str(), task.text.c_str());
  if (tasks.empty()) std::printf("(no task running)\n");
  return 0;
}

int Queues(const std::string& serverDirectory, const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0] != "ls") return BadUsage("queue");
  std::vector<QueueState> queues;
  if (Status s = ListQueues(serverDirectory, &queues); s != kNoError) return Fail("cannot read the queues", s);
  std::printf("%-40s %8s %12s\n", "QUEUE", "WAITING", "SET ASIDE");
  for (const QueueState& queue : queues) {
    std::printf("%-40s %8lld %12lld\n", queue.name.c_str(), static_cast<long long>(queue.waiting),
                static_cast<long long>(queue.deadLetters));
  }
  return 0;
}

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
      return Fail("cannot set " + args[1], s, platform);
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
  if (Status s = platform->FileRead(widePath, &text); s != kNoError) return Fail("cannot read " + path, s, platform);
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
      return Fail("cannot create " + args[1], s, platform);
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
    std::cout << kUsage;
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
    Fail("cannot open the server", s);
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
      if (s != kNoError) return Fail("cannot post CONFIG|START", s, platform.get());
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
  std::cerr << "zulctl: unknown verb '" << verb << "'\n" << kUsage;
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
