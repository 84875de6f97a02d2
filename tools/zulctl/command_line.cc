#include "tools/zulctl/command_line.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <map>
#include <memory>

namespace zulctl {

namespace {

constexpr int kBadCommandLine = 2;

// CLI11's help with this tool's own synopsis lines in place of the generated
// usage line: the synopsis shows which operands and options go together.
class HelpFormatter final : public CLI::Formatter {
 public:
  void SetSynopsis(const CLI::App* app, std::string synopsis) { synopses_[app] = std::move(synopsis); }

  std::string make_description(const CLI::App*) const override { return ""; }

  std::string make_usage(const CLI::App* app, std::string name) const override {
    auto found = synopses_.find(app);
    if (found == synopses_.end()) return CLI::Formatter::make_usage(app, std::move(name));
    std::string description = app->get_description();
    return found->second + "\n" + (description.empty() ? "" : description + ".\n");
  }

 private:
  std::map<const CLI::App*, std::string> synopses_;
};

// One verb or action: its name, the line the general help lists, the
// synopsis and what the help explains below the options.
struct Description {
  const char* name;
  const char* summary;
  const char* synopsis;
  const char* footer = "";
};

class Describer {
 public:
  Describer(CLI::App* app, std::shared_ptr<HelpFormatter> formatter) : app_(app), formatter_(std::move(formatter)) {}

  CLI::App* Verb(const Description& d) { return Add(app_, d); }

  CLI::App* Action(CLI::App* verb, const Description& d) { return Add(verb, d); }

 private:
  CLI::App* Add(CLI::App* parent, const Description& d) {
    CLI::App* sub = parent->add_subcommand(d.name, d.summary);
    sub->group(parent == app_ ? "Verbs" : "Actions");
    formatter_->SetSynopsis(sub, d.synopsis);
    if (*d.footer != '\0') sub->footer(d.footer);
    return sub;
  }

  CLI::App* app_;
  std::shared_ptr<HelpFormatter> formatter_;
};

void DescribeServerVerbs(Describer& d, CommandLine* line) {
  CLI::App* init = d.Verb({"init", "make a new server directory with a commented notes.ini",
                           "usage: zulctl init DIR [--server NAME] [--language en|ru] [--admin ADDRESS]...",
                           "Creates DIR (if needed) with notes.ini, data/, program/, log/ and run/.\n"
                           "Refuses a DIR that already has a notes.ini.\n"
                           "--language en installs the English message library (zelklocale-en.dll) in\n"
                           "program/ and names it in notes.ini (ZulMessageLibrary); the tasks then log\n"
                           "in English. The built-in texts are Russian (ru).\n"
                           "--admin (repeatable) gives the administrators' mail addresses, which\n"
                           "zulctl settings init then writes as gsAdministrators (notes.ini\n"
                           "ZulAdministrators); without it the administrator is CN=Admin/O=Tervala, a\n"
                           "Notes name that a server behind an MTA cannot deliver to."});
  init->add_option("DIR", line->init.directory, "the server directory")->required();
  init->add_option("--server", line->init.server, "the server's name")->capture_default_str();
  init->add_option("--language", line->init.language, "the tasks' language")
      ->check(CLI::IsMember({"en", "ru"}))
      ->capture_default_str();
  init->add_option("--admin", line->init.administrators, "an administrator's mail address")
      ->allow_extra_args(false)
      ->check([](const std::string& address) {
        if (address.find('@') == std::string::npos) return std::string("not a mail address: ") + address;
        if (address.find_first_of(";\n") != std::string::npos) return std::string("one address each: ") + address;
        return std::string();
      });

  CLI::App* tell = d.Verb({"tell", "send a console command to a task", "usage: zulctl tell TASK COMMAND...",
                           "Puts the command words, joined by blanks, on the queue \"MQ$\" followed by\n"
                           "TASK in upper case, as the server console does. The task must have created\n"
                           "its queue once; a task that is down reads the command when it starts."});
  tell->add_option("TASK", line->tell.task, "the task's name")->required();
  tell->add_option("COMMAND", line->tell.words, "the command's words")->required();

  CLI::App* quit = d.Verb({"quit", "stop the server's tasks and wait until they have ended",
                           "usage: zulctl quit [--wait SECONDS] | zulctl quit --cancel",
                           "Marks the server as quitting: every task's stop check says yes and every\n"
                           "queue read reports that the queue is shutting down. Then waits until the\n"
                           "running tasks have ended, reports which ended and which did not, and clears\n"
                           "the mark, so the next start runs normally. When a task did not end, the mark\n"
                           "stays and the exit code is 1; --cancel clears the mark at once."});
  CLI::Option* wait = quit->add_option("--wait", line->quit.waitSeconds, "how long to wait for the tasks")
                          ->check(CLI::Range(0, 86400))
                          ->capture_default_str();
  quit->add_flag("--cancel", line->quit.cancel, "clear the quitting mark")->excludes(wait);

  d.Verb({"tasks", "show the status lines of running tasks", "usage: zulctl tasks",
          "Shows the status line of every running task: process id, task name, text."});

  CLI::App* queue = d.Verb({"queue", "show each message queue and its waiting messages", "usage: zulctl queue ls"});
  d.Action(queue, {"ls", "every queue, its waiting messages and those set aside", "usage: zulctl queue ls",
                   "Shows every message queue with its waiting messages and the messages set\n"
                   "aside because they were longer than their reader's buffer."});

  CLI::App* ini = d.Verb({"ini", "read or write a notes.ini variable",
                          "usage: zulctl ini get NAME | zulctl ini set NAME VALUE"});
  d.Action(ini, {"get", "print a notes.ini variable", "usage: zulctl ini get NAME"})
      ->add_option("NAME", line->ini.name, "the variable")
      ->required();
  CLI::App* set = d.Action(ini, {"set", "set a notes.ini variable", "usage: zulctl ini set NAME VALUE"});
  set->add_option("NAME", line->ini.name, "the variable")->required();
  set->add_option("VALUE", line->ini.value, "its new value")->required();

  CLI::App* log = d.Verb({"log", "last lines of the server log or a task log, in UTF-8",
                          "usage: zulctl log tail [server|monitor|updater] [-n N]"});
  CLI::App* tail = d.Action(log, {"tail", "the last lines of a log", "usage: zulctl log tail [server|monitor|updater] [-n N]",
                                  "Prints the last N lines of the server log (server.log, the default), or of\n"
                                  "the mail monitor's or updater's own log file as named by\n"
                                  "ZulMailMonitorLogFileName / ZulUpdaterLogFileName. Task logs are written in\n"
                                  "the tasks' code page and shown in UTF-8."});
  tail->add_option("LOG", line->log.which, "which log")
      ->check(CLI::IsMember({"server", "monitor", "updater"}))
      ->capture_default_str();
  tail->add_option("-n", line->log.lines, "how many lines")->capture_default_str();
}

void DescribeScanningVerbs(Describer& d, CommandLine* line) {
  CLI::App* bases = d.Verb({"bases", "sign a bases index or tell what a bases folder holds",
                            "usage: zulctl bases sign FILE [--key KEYFILE] | zulctl bases info DIR"});
  CLI::App* sign = d.Action(bases, {"sign", "list the files of a bases folder in its index and sign it",
                                    "usage: zulctl bases sign FILE [--key KEYFILE]",
                                    "Lists every file beside the bases index FILE (master.xml) in it with its size\n"
                                    "and SHA-256, drops entries of files that are gone, and appends a signature\n"
                                    "block made with the program's built-in key or with KEYFILE (lines KeyId=...\n"
                                    "and Secret=<hex>; the tasks accept it when notes.ini ZulBasesKeyFile names\n"
                                    "it). Blocks already at the end are kept while the listing is unchanged, so a\n"
                                    "set can be signed with several keys. Links, folders and devices beside the\n"
                                    "index are refused: the tasks load only regular files that it lists."});
  sign->add_option("FILE", line->bases.file, "the bases index")->required();
  sign->add_option("--key", line->bases.keyFile, "a key file instead of the built-in key");
  d.Action(bases, {"info", "signatures, date and signature check of a bases folder", "usage: zulctl bases info DIR",
                   "Loads the bases of DIR and prints the number of signatures, the date of\n"
                   "DIR/master.xml and whether its signature verifies; exits 1 when not."})
      ->add_option("DIR", line->bases.folder, "the bases folder")
      ->required();

  CLI::App* scan = d.Verb({"scan", "scan files and folders with the scan kernel",
                           "usage: zulctl scan [--bases DIR] [--clamd ADDRESS] FILE...",
                           "Scans each file (folders recursively) with the scan kernel: the bases in\n"
                           "DIR (default: the mail monitor's bases folder), or the clamd daemon at\n"
                           "ADDRESS (unix:/path or tcp:host:port). Prints one line per file: path,\n"
                           "verdict, scan result number and what was found, separated by tabs.\n"
                           "Exits 1 when anything was not clean, 2 when the kernel did not start.\n"
                           "With --bases no server directory is needed."});
  scan->add_option("FILE", line->scan.paths, "files and folders")->required();
  scan->add_option("--bases", line->scan.bases, "the bases folder");
  scan->add_option("--clamd", line->scan.clamd, "the clamd daemon's address");
}

void DescribeSettingsVerbs(Describer& d, CommandLine* line) {
  CLI::App* settings = d.Verb({"settings", "create, show and change the settings databases",
                               "usage: zulctl settings init [--bases DIR] | show [FORM] | set FORM ITEM=VALUE..."});
  // The tasks run in their own directories: a relative folder would name
  // another place for them.
  auto absolute = [](const std::string& folder) {
    std::error_code ignored;
    return std::filesystem::absolute(folder, ignored).lexically_normal().string();
  };
  CLI::App* init = d.Action(settings, {"init", "create the settings, statistics and quarantine databases",
                                       "usage: zulctl settings init [--bases DIR] [--work-folder DIR]",
                                       "Creates the settings database named by ZULSetupDatabase with one document\n"
                                       "per form and the profile UIDStorage, plus the statistics and quarantine\n"
                                       "databases. --bases names the anti-virus bases folder (default:\n"
                                       "NotesProgram/bases); --work-folder the tasks' work folder (default: the\n"
                                       "server's tmp/), such as the service's runtime folder on a tmpfs."});
  init->add_option("--bases", line->settings.bases, "the anti-virus bases folder")->transform(absolute);
  init->add_option("--work-folder", line->settings.workFolder, "the tasks' work folder")->transform(absolute);
  d.Action(settings, {"show", "every settings item with what the tasks read from it", "usage: zulctl settings show [FORM]",
                      "Prints every item of every form (or of FORM) and, after \"->\", what the\n"
                      "tasks read from it. Note the inverted switches: msDisableTask \"1\" means\n"
                      "scanning ON, usScheduleDisabled \"1\" means the schedule is ON."})
      ->add_option("FORM", line->settings.form, "one form");
  CLI::App* set = d.Action(settings, {"set", "change settings and tell the tasks", "usage: zulctl settings set FORM ITEM=VALUE...",
                                      "Writes the items with their data types (numbers; times as HH:MM,\n"
                                      "DD.MM.YYYY HH:MM or +Nh), saves, and posts CONFIG|UPDATED to MQ$DATABASE2MAIL\n"
                                      "and MQ$DATABASE2UPD (and OUTBREAK|UPDATED for formOutbreak)."});
  set->add_option("FORM", line->settings.form, "the form")->required();
  set->add_option("CHANGE", line->settings.changes, "ITEM=VALUE")->required();

  CLI::App* update = d.Verb({"update", "ask for an update run or show the updater's state",
                             "usage: zulctl update now | zulctl update status"});
  d.Action(update, {"now", "ask the updater for an update run (CONFIG|START)", "usage: zulctl update now",
                    "Posts CONFIG|START to MQ$DATABASE2UPD, as the settings database does; the\n"
                    "updater runs the update utility at its next pass (or when it starts)."});
  d.Action(update, {"status", "the updater's state and next scheduled update", "usage: zulctl update status",
                    "The updater status document (1 idle, 2 updating) and usNextUpdate."});
}

// "sendmail" or "sendmail:PATH", resolved to the program to run.
std::string RelayProgram(std::string& relay) {
  if (relay == "sendmail") {
    relay = "/usr/sbin/sendmail";
    return "";
  }
  if (relay.rfind("sendmail:", 0) == 0 && relay.size() > 9) {
    relay = relay.substr(9);
    return "";
  }
  return "not sendmail or sendmail:PATH: " + relay;
}

void DescribeMailVerbs(Describer& d, CommandLine* line) {
  MailArguments& mail = line->mail;
  CLI::App* verb = d.Verb({"mail", "the mail hook, the router and what mail.box holds",
                           "usage: zulctl mail submit|route|export|report|held|requeue ..."});
  CLI::App* submit = d.Action(verb, {"submit", "put RFC 822 messages into mail.box, held for scanning",
                                     "usage: zulctl mail submit [--task NAME] [--memo] FILE...\n"
                                     "       zulctl mail submit [--task NAME] --from SENDER --to RCPT... -",
                                     "The mail hook of task NAME: stores each message in mail.box as MIME mail,\n"
                                     "held (item RoutingState) while the hook holds mail, and posts its request\n"
                                     "\"%08x|%08x|%08x|%s\" to MQ$HOOK2MAIL. Commands from the monitor (HOOK\n"
                                     "PAUSE/RESUME/INFO) arrive on MQ$ZULMAILHOOK<NAME> and are applied first; the\n"
                                     "state is kept between runs. A message that cannot be stored or announced is\n"
                                     "reported and the tool exits 1.\n"
                                     "--memo stores a message as a Notes memo (rich-text Body and attachments)\n"
                                     "instead of MIME mail.\n"
                                     "With -, one message comes from standard input (an MTA's pipe delivery), with\n"
                                     "its SMTP envelope: SMTPOriginator from --from, Recipients from --to, not from\n"
                                     "the headers. Exit codes as sysexits.h: 0 only once it is stored and announced,\n"
                                     "65 when it is no mail message, 75 when the server cannot store it now (the MTA\n"
                                     "keeps it and retries). zulsubmit does the same without the scanning libraries."});
  submit->add_option("FILE", mail.files, "message files, or - for standard input")->required();
  submit->add_option("--task", mail.task, "the mail task whose hook this is")->capture_default_str();
  submit->add_flag("--memo", mail.memo, "store as a Notes memo");
  submit->add_option("--from", mail.sender, "the envelope sender")->each([&mail](const std::string&) {
    mail.haveSender = true;
  });
  submit->add_option("--to", mail.recipients, "the envelope recipients");

  CLI::App* route = d.Action(verb, {"route", "deliver released mail to mail/<name>.nsf or to the MTA",
                                    "usage: zulctl mail route\n"
                                    "       zulctl mail route --follow [--relay sendmail[:PATH]] [--task NAME]",
                                    "Every message in mail.box that is no longer held goes to mail/<name>.nsf of\n"
                                    "each recipient and leaves mail.box; held ones stay.\n"
                                    "--follow: the same as a daemon until the server quits (status line ZulRouter\n"
                                    "in zulctl tasks), serving the hook commands of its task at once.\n"
                                    "With --relay, released messages (and the monitor's memos) go to the MTA:\n"
                                    "sendmail -G -i -f SENDER -- RCPT..., default /usr/sbin/sendmail; a message\n"
                                    "the MTA does not take stays in mail.box and is tried again with back-off.\n"
                                    "One router runs per server; a second is refused."});
  CLI::Option* follow = route->add_flag("--follow", mail.follow, "run as a daemon until the server quits");
  route->add_option("--relay", mail.sendmail, "hand released mail to sendmail")
      ->needs(follow)
      ->transform([](std::string relay) {
        if (std::string why = RelayProgram(relay); !why.empty()) throw CLI::ValidationError(why);
        return relay;
      });
  route->add_option("--task", mail.task, "the mail task whose hook commands to serve")->needs(follow);

  for (const Description& note : {Description{"export", "print a message as RFC 822", "usage: zulctl mail export DB NOTEID",
                                              "Writes the message of a note back as RFC 822 on standard output."},
                                  Description{"report", "what the reader of a mail got: report and attachments",
                                              "usage: zulctl mail report DB NOTEID",
                                              "What a reader of the note gets: subject, sender, the scan report in its\n"
                                              "body and every attachment with its size (placeholders of removed objects\n"
                                              "are marked)."}}) {
    CLI::App* action = d.Action(verb, note);
    action->add_option("DB", mail.database, "the database, relative to the data directory")->required();
    action->add_option("NOTEID", mail.noteId, "0x8F8 or 2296")->required();
  }
  d.Action(verb, {"held", "held mail and whether its hook request waits", "usage: zulctl mail held",
                  "Every held document in mail.box with its age and whether a hook request\n"
                  "waits for it, or that it is set aside."});
  d.Action(verb, {"requeue", "request a scan of held mail that has no request",
                  "usage: zulctl mail requeue [--set-aside]",
                  "Posts a hook request for every held document that has none waiting (after a\n"
                  "monitor died in the middle of a scan; the service unit runs it before each\n"
                  "start). A document whose scan stopped the monitor twice is set aside and\n"
                  "left out, so that it cannot stop the monitor again; --set-aside asks for\n"
                  "those too (and counts their tries afresh)."})
      ->add_flag("--set-aside", mail.setAside, "also the documents set aside");
}

void DescribeRecordVerbs(Describer& d, CommandLine* line) {
  QuarantineArguments& q = line->quarantine;
  CLI::App* quarantine = d.Verb({"quarantine", "what the mail monitor took out of mail",
                                 "usage: zulctl quarantine ls|show|export|release|purge ...",
                                 "The quarantine database is the one notes.ini ZULQuarantineDatabase names."});
  CLI::App* ls = d.Action(quarantine, {"ls", "one line a quarantine document",
                                       "usage: zulctl quarantine ls [--since YYYY-MM-DD] [--sender TEXT] [--recipient TEXT]",
                                       "--sender and --recipient match parts of the addresses."});
  ls->add_option("--since", q.since, "quarantined on or after this day");
  ls->add_option("--sender", q.sender, "part of the sender's address");
  ls->add_option("--recipient", q.recipient, "part of a recipient's address");
  d.Action(quarantine, {"show", "the mail's addressing, the reports of its objects and the objects",
                        "usage: zulctl quarantine show ID"})
      ->add_option("ID", q.id, "the document's note ID")
      ->required();
  CLI::App* exported = d.Action(quarantine, {"export", "the quarantined objects as files",
                                             "usage: zulctl quarantine export ID DIR",
                                             "Writes each object under its own name made a plain file name, into DIR\n"
                                             "only, and never over anything there: a taken name gets the next free\n"
                                             "\"name (1).ext\"."});
  exported->add_option("ID", q.id, "the document's note ID")->required();
  exported->add_option("DIR", q.directory, "the folder to write them to")->required();
  CLI::App* release = d.Action(quarantine, {"release", "send the objects or the kept message on",
                                            "usage: zulctl quarantine release ID [--to ADDRESS]",
                                            "Sends the objects (or the whole message, when it was kept) to the original\n"
                                            "recipients or to ADDRESS, through mail.box and the router, not held and not\n"
                                            "scanned again; the document records who released it to whom and when, and a\n"
                                            "second release is refused."});
  release->add_option("ID", q.id, "the document's note ID")->required();
  release->add_option("--to", q.to, "send to this address instead");
  d.Action(quarantine, {"purge", "delete old quarantine documents", "usage: zulctl quarantine purge --older-than DAYS",
                        "Deletes documents quarantined more than DAYS days ago."})
      ->add_option("--older-than", q.olderThanDays, "age in days")
      ->required()
      ->check(CLI::Range(0L, 100000L));

  CLI::App* stats = d.Verb({"stats", "detections and journal records counted",
                            "usage: zulctl stats [--since YYYY-MM-DD] [--prometheus]",
                            "Counts of the statistics database (ZULStatDatabase): detections by type and by\n"
                            "threat name, journal records by type and task, and both per day.\n"
                            "--prometheus prints the totals in the Prometheus text format, for the node\n"
                            "exporter's textfile collector."});
  stats->add_option("--since", line->stats.since, "counted from this day");
  stats->add_flag("--prometheus", line->stats.prometheus, "the Prometheus text format");
}

void DescribeDatabaseVerbs(Describer& d, CommandLine* line) {
  DbArguments& db = line->db;
  CLI::App* verb = d.Verb({"db", "create, list, show and extract notes of a database",
                           "usage: zulctl db create|ls|show|extract PATH ...",
                           "PATH is relative to the data directory. NOTEID is hexadecimal with 0x, or\n"
                           "decimal. Texts are shown in UTF-8."});
  CLI::App* create = d.Action(verb, {"create", "create an empty database", "usage: zulctl db create PATH [TITLE]"});
  create->add_option("PATH", db.path, "the database")->required();
  create->add_option("TITLE", db.title, "its title (default: PATH)");
  d.Action(verb, {"ls", "list the notes of a database", "usage: zulctl db ls PATH"})
      ->add_option("PATH", db.path, "the database")
      ->required();
  CLI::App* show = d.Action(verb, {"show", "print every item of one note", "usage: zulctl db show PATH NOTEID [--converted]",
                                   "Shows MIME mail as stored (raw parts); --converted as a reader sees it (a\n"
                                   "rich-text Body and the attachments)."});
  CLI::App* extract = d.Action(verb, {"extract", "write every attachment of one note to DIR",
                                      "usage: zulctl db extract PATH NOTEID DIR [--converted]",
                                      "Writes the attachments as stored, or with --converted every attachment of\n"
                                      "the reader's view, which is what the scanner reads. Each goes under its\n"
                                      "own name made a plain file name, into DIR only, and never over anything\n"
                                      "there: a taken name gets the next free \"name (1).ext\"."});
  for (CLI::App* action : {show, extract}) {
    action->add_option("PATH", db.path, "the database")->required();
    action->add_option("NOTEID", db.noteId, "0x8F8 or 2296")->required();
    action->add_flag("--converted", db.converted, "as a reader sees the note");
  }
  extract->add_option("DIR", db.directory, "the folder to write to")->required();
}

void Describe(CLI::App* app, std::shared_ptr<HelpFormatter> formatter, CommandLine* line) {
  app->formatter(formatter);
  formatter->SetSynopsis(app, "usage: zulctl [=path/to/notes.ini] VERB [ARGS...]");
  app->footer("'zulctl VERB --help' tells more about one verb. The server is the one of\n"
              "=path/to/notes.ini, else ZUL_NOTES_INI, else ./notes.ini.");
  app->require_subcommand(1);
  Describer describer(app, formatter);
  DescribeServerVerbs(describer, line);
  DescribeScanningVerbs(describer, line);
  DescribeSettingsVerbs(describer, line);
  DescribeMailVerbs(describer, line);
  DescribeRecordVerbs(describer, line);
  DescribeDatabaseVerbs(describer, line);
  for (CLI::App* verb : app->get_subcommands({})) {
    if (!verb->get_subcommands({}).empty()) verb->require_subcommand(1);
  }
}

}  // namespace

int ParseCommandLine(int argc, char** argv, CommandLine* line) {
  std::vector<std::string> words;
  for (int i = argc - 1; i >= 1; --i) {
    if (argv[i][0] == '=') {
      line->notesIni.insert(line->notesIni.begin(), argv[i]);
    } else {
      words.emplace_back(argv[i]);  // CLI11 takes them last first
    }
  }
  CLI::App app("the administrator's command line for a server directory", "zulctl");
  Describe(&app, std::make_shared<HelpFormatter>(), line);
  if (words.empty()) {
    std::cerr << app.help();
    return kBadCommandLine;
  }
  try {
    app.parse(words);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    std::cerr << "zulctl: " << error.what() << "\n";
    const CLI::App* chosen = &app;
    while (!chosen->get_subcommands().empty()) chosen = chosen->get_subcommands().front();
    std::cerr << chosen->help();
    return kBadCommandLine;
  }
  CLI::App* verb = app.get_subcommands().front();
  line->verb = verb->get_name();
  if (!verb->get_subcommands().empty()) line->action = verb->get_subcommands().front()->get_name();
  return -1;
}

int BadUsage(const std::string& verb, const std::string& why) {
  std::cerr << "zulctl: " << verb << ": " << why << " (zulctl " << verb << " --help tells more)\n";
  return kBadCommandLine;
}

}  // namespace zulctl
