#include "notesapi/host/host_admin.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include <cerrno>
#include <fstream>
#include <memory>

#include "notesapi/host/host_platform.h"
#include "notesapi/host/internal/charsets.h"
#include "notesapi/host/internal/queue_store.h"
#include "notesapi/host/internal/task_registry.h"

namespace notesapi {

namespace {

bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0750) == 0 || errno == EEXIST; }

std::string NotesIniTemplate(const std::string& directory, const std::string& serverName) {
  return "; notes.ini of an embedded test server.\n"
         "; One Name=Value per line; lines starting with ';' are comments.\n"
         "; zulctl ini set keeps comments and the order of the lines.\n"
         "\n"
         "; The server's name, used as the sender of memos and in records.\n"
         "ServerName=" + serverName + "\n"
         "MailServer=" + serverName + "\n"
         "; The data directory with the databases, relative to this file's folder.\n"
         "Directory=data\n"
         "; The server's program directory (message library, placeholder file, update utility).\n"
         "NotesProgram=" + directory + "/program\n"
         "; The code page of the tasks' own texts (messages, log file).\n"
         "ZulNativeCodePage=windows-1251\n"
         "; The message library of the tasks in the program directory (zelklocale.dll\n"
         "; when not set); zulctl init --language en sets zelklocale-en.dll.\n"
         ";ZulMessageLibrary=zelklocale-en.dll\n"
         "\n"
         "; Databases of the anti-virus tasks, relative to the data directory.\n"
         "ZULSetupDatabase=zulsetup.nsf\n"
         "ZULStatDatabase=zulstat.nsf\n"
         "ZULQuarantineDatabase=zulquarantine.nsf\n"
         "\n"
         "; Mail monitor log: file on/off, console on/off, level, file name. At level 2\n"
         "; clean mail writes nothing and every finding its line; 3 adds a line per\n"
         "; mail and per item looked at, 4 traces every step.\n"
         "ZulMailMonitorLogFileFlag=1\n"
         "ZulMailMonitorLogConsole=1\n"
         "ZulMailMonitorLogLevel=2\n"
         "ZulMailMonitorLogFileName=" + directory + "/log/zulmailmonitor.log\n"
         "\n"
         "; Updater log.\n"
         "ZulUpdaterLogFileFlag=1\n"
         "ZulUpdaterLogConsole=1\n"
         "ZulUpdaterLogLevel=3\n"
         "ZulUpdaterLogFileName=" + directory + "/log/zulupdater.log\n"
         "\n"
         "; Limits handed to the scan kernel: nesting depth inside objects, files per object.\n"
         "ZulScanDepthLimitEnabled=1\n"
         "ZulScanDepthLimit=17\n"
         "ZulQueueSizeLimit=10000\n"
         "\n"
         "; The scan engine: clamav (in process, the default), clamd:unix:/path/to/socket\n"
         "; or clamd:tcp:host:port (a clamd daemon).\n"
         "ZulScanKernel=clamav\n"
         "\n"
         "; Tasks whose mail the hook holds for scanning (zulctl mail submit --task).\n"
         "ZulHookedTasks=SMTP\n";
}

std::string ToUtf8(host::Charsets* charsets, const std::string& lmbcs) {
  std::string utf8;
  if (charsets == nullptr || charsets->Convert(host::Charset::kLmbcs, host::Charset::kUtf8, lmbcs, &utf8) != kNoError) {
    return lmbcs;
  }
  return utf8;
}

}  // namespace

Status InitServerDirectory(const std::string& directory, const std::string& serverName) {
  RestrictNewFileModes();  // mail and malware will be kept here
  if (!MakeFolder(directory)) return kFileError;
  std::string ini = directory + "/notes.ini";
  struct stat info {};
  if (::stat(ini.c_str(), &info) == 0) return kDatabaseExists;
  for (const char* folder : {"/data", "/program", "/log", "/run"}) {
    if (!MakeFolder(directory + folder)) return kFileError;
  }
  char absolute[PATH_MAX];
  if (::realpath(directory.c_str(), absolute) == nullptr) return kFileError;
  {
    std::ofstream out(ini, std::ios::binary);
    out << NotesIniTemplate(absolute, serverName);
    if (!out.flush()) return kFileError;
  }
  {
    // Attached in place of every object the mail monitor removes.
    std::ofstream out(directory + "/program/zuldummy.txt", std::ios::binary);
    out << "This attachment was removed by Tervala Anti-Virus: it was infected, could not be checked,\r\n"
           "or is not allowed by the mail policy of this server. Ask your mail administrator for the original,\r\n"
           "which is kept in quarantine.\r\n";
    if (!out.flush()) return kFileError;
  }
  host::QueueStore queues;
  if (Status s = queues.Open(directory); s != kNoError) return s;
  // The hook of each hooked task reads its command queue.
  return queues.Create("MQ$ZULMAILHOOKSMTP");
}

Status ListQueues(const std::string& serverDirectory, std::vector<QueueState>* queues) {
  host::QueueStore store;
  if (Status s = store.Open(serverDirectory); s != kNoError) return s;
  std::vector<host::QueueSummary> summaries;
  if (Status s = store.List(&summaries); s != kNoError) return s;
  queues->clear();
  for (const auto& summary : summaries) queues->push_back({summary.name, summary.waiting, summary.deadLetters});
  return kNoError;
}

Status WaitingMessages(const std::string& serverDirectory, const std::string& queue, std::vector<std::string>* messages) {
  host::QueueStore store;
  if (Status s = store.Open(serverDirectory); s != kNoError) return s;
  return store.Waiting(queue, messages);
}

Status ListTasks(const std::string& serverDirectory, std::vector<TaskState>* tasks) {
  host::TaskRegistry registry;
  if (Status s = registry.Open(serverDirectory); s != kNoError) return s;
  if (Status s = registry.Prune(); s != kNoError) return s;
  std::vector<host::StatusLine> lines;
  if (Status s = registry.List(&lines); s != kNoError) return s;
  std::unique_ptr<host::Charsets> charsets;
  (void)host::Charsets::Create("windows-1251", &charsets);  // without ICU the bytes are shown as they are
  tasks->clear();
  for (const auto& line : lines) {
    if (line.running) tasks->push_back({line.pid, ToUtf8(charsets.get(), line.task), ToUtf8(charsets.get(), line.text)});
  }
  return kNoError;
}

Status SetServerQuitting(const std::string& serverDirectory, bool quitting) {
  host::QueueStore store;
  if (Status s = store.Open(serverDirectory); s != kNoError) return s;
  return store.SetQuitting(quitting);
}

}  // namespace notesapi
