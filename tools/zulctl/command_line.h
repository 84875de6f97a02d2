// zulctl's command line: every verb, its operands and options, and its help,
// described once and parsed by CLI11. Options may come before or after the
// operands and as --opt=value; an unknown option is named in the error. The
// verbs' code receives the parsed values, never the raw words.
#ifndef TOOLS_ZULCTL_COMMAND_LINE_H_
#define TOOLS_ZULCTL_COMMAND_LINE_H_

#include <cstddef>
#include <string>
#include <vector>

namespace zulctl {

struct InitArguments {
  std::string directory;
  std::string server = "CN=Demo/O=Tervala";
  std::string language = "ru";
  std::vector<std::string> administrators;
};

struct TellArguments {
  std::string task;
  std::vector<std::string> words;
};

struct QuitArguments {
  int waitSeconds = 30;
  bool cancel = false;
};

struct IniArguments {
  std::string name;
  std::string value;
};

struct LogArguments {
  std::string which = "server";
  size_t lines = 20;
};

struct BasesArguments {
  std::string file;     // sign
  std::string keyFile;  // sign --key
  std::string folder;   // info
};

struct ScanArguments {
  std::string bases;
  std::string clamd;
  std::vector<std::string> paths;
};

struct SettingsArguments {
  std::string bases;                 // init --bases, made absolute
  std::string workFolder;            // init --work-folder, made absolute
  std::string form;                  // show [FORM], set FORM
  std::vector<std::string> changes;  // set ITEM=VALUE...
};

struct MailArguments {
  std::string task = "SMTP";
  bool memo = false;
  bool haveSender = false;
  std::string sender;
  std::vector<std::string> recipients;
  std::vector<std::string> files;
  bool follow = false;
  std::string sendmail;  // route --relay, resolved to the program's path
  std::string database;
  std::string noteId;
  bool setAside = false;  // requeue --set-aside
};

struct QuarantineArguments {
  std::string id;
  std::string directory;
  std::string to;
  std::string since;
  std::string sender;
  std::string recipient;
  long olderThanDays = 0;
};

struct StatsArguments {
  std::string since;
  bool prometheus = false;
};

struct DbArguments {
  std::string path;
  std::string title;
  std::string noteId;
  std::string directory;
  bool converted = false;
};

struct CommandLine {
  std::string verb;    // "mail"
  std::string action;  // "submit"; empty for a verb without actions
  std::vector<std::string> notesIni;  // the "=path/to/notes.ini" words, as given
  InitArguments init;
  TellArguments tell;
  QuitArguments quit;
  IniArguments ini;
  LogArguments log;
  BasesArguments bases;
  ScanArguments scan;
  SettingsArguments settings;
  MailArguments mail;
  QuarantineArguments quarantine;
  StatsArguments stats;
  DbArguments db;
};

// Parses argv into *line. Returns -1 when a verb is to run; otherwise the
// exit code to end with, the help or the error already printed (0 after
// --help, 2 for a command line that does not parse).
int ParseCommandLine(int argc, char** argv, CommandLine* line);

// The general help, for callers that reject a verb's operands after parsing.
int BadUsage(const std::string& verb, const std::string& why);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_COMMAND_LINE_H_
