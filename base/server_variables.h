// The notes.ini variables of a task, read once at start: logging, the paths
// of the three databases, the scan kernel's limits and the placeholder file.
#ifndef BASE_SERVER_VARIABLES_H_
#define BASE_SERVER_VARIABLES_H_

#include <cstdint>
#include <string>

namespace zul {

enum class TaskKind { kMailMonitor, kUpdater };

struct ServerVariables {
  int32_t logFileFlag = 0;  // non-zero: target LOG_FILE on
  int32_t logConsole = 0;   // non-zero: target LOG_CONSOLE on
  uint16_t logLevel = 0;
  std::string logFileName;         // at most 255 bytes
  std::string setupDatabase;       // at most 255 bytes each, handed unchanged to the database open
  std::string statDatabase;
  std::string quarantineDatabase;  // mail monitor only
  std::string placeholderFile;     // NotesProgram + "\zuldummy.txt", at most 255 bytes; mail monitor only
  // ZulMilterReject: mail the milter waits for that holds an infected or
  // suspicious object is refused in the SMTP dialogue, which is then the
  // sender's notice; mail monitor only.
  int32_t milterReject = 0;
};

// The task's one record; all zero until ReadServerVariables.
ServerVariables& Variables();

// Reads the variables of the task in order; the log settings come first so
// that a missing database variable is already reported to the log file and
// console. False (after reporting which) when a database variable is missing.
// Also hands the three kernel limits to KernelSettings().
bool ReadServerVariables(TaskKind task);

// "MailServer", read afresh for every record written: at most 1023 bytes,
// empty when not set.
std::string MailServerName();

}  // namespace zul

#endif  // BASE_SERVER_VARIABLES_H_
