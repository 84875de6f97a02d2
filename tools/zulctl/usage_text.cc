#include "tools/zulctl/usage_text.h"

#include <iostream>

namespace zulctl {

namespace {

constexpr const char* kGeneralUsage =
    "usage: zulctl [=path/to/notes.ini] VERB [ARGS...]\n"
    "\n"
    "Verbs:\n"
    "  init DIR [--server NAME] [--language en|ru] [--admin ADDRESS]...\n"
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
     "usage: zulctl init DIR [--server NAME] [--language en|ru] [--admin ADDRESS]...\n"
     "Creates DIR (if needed) with notes.ini, data/, program/, log/ and run/.\n"
     "NAME is the server's name (default CN=Demo/O=Tervala). Refuses a DIR that\n"
     "already has a notes.ini.\n"
     "--language en installs the English message library (zelklocale-en.dll) in\n"
     "program/ and names it in notes.ini (ZulMessageLibrary); the tasks then log\n"
     "in English. The built-in texts are Russian (ru).\n"
     "--admin (repeatable) gives the administrators' mail addresses, which\n"
     "zulctl settings init then writes as gsAdministrators (notes.ini\n"
     "ZulAdministrators); without it the administrator is CN=Admin/O=Tervala, a\n"
     "Notes name that a server behind an MTA cannot deliver to.\n"},
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

}  // namespace

const char* GeneralUsage() { return kGeneralUsage; }

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
  std::cout << kGeneralUsage;
  return 0;
}

int BadUsage(const std::string& verb) {
  for (const VerbHelp& help : kVerbHelp) {
    if (verb == help.verb) {
      std::cerr << help.text;
      return 2;
    }
  }
  std::cerr << kGeneralUsage;
  return 2;
}

}  // namespace zulctl
