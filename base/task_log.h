// The one writer of every message of a task. A message goes, by the targets
// the caller picks, to the task's log file, the server console (and so the
// server log), a journal record in the statistics database, and a system
// warning memo to the administrators. Call sites decide by the log level
// whether to write at all (LogLevelAbove); LogMessage itself never looks
// at the level.
#ifndef BASE_TASK_LOG_H_
#define BASE_TASK_LOG_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace zul {

// Targets.
inline constexpr uint32_t LOG_FILE = 0x02;
inline constexpr uint32_t LOG_CONSOLE = 0x04;
inline constexpr uint32_t LOG_JOURNAL = 0x08;
inline constexpr uint32_t LOG_ADMIN = 0x10;

// Journal types.
inline constexpr uint16_t JournalInformation = 11;
inline constexpr uint16_t JournalError = 92;
inline constexpr uint16_t JournalTaskFault = 150;

// Thresholds of the message classes: a message is written when the level is
// above its threshold.
inline constexpr int kLogAlways = -1;
inline constexpr int kLogFromLevel1 = 0;
inline constexpr int kLogFromLevel3 = 2;
inline constexpr int kLogFromLevel4 = 3;

inline constexpr size_t kMaxMessageLength = 1023;

// Set once at task start, before anything is logged.
void SetTaskName(std::string_view name);
const std::string& TaskName();

bool LogLevelAbove(int threshold);

// Writes the start header "\n===================== [date time]\n" to the
// task log file. A file that cannot be opened is passed over silently.
void OpenTaskLogFile(std::string_view fileName);

// Composes the message from a printf format in the native code page (cut to
// 1023 characters) and, when the low 16 bits of `status` are not 0, appends
// " Ошибка: " and the text of the status. Then serves the targets in the
// order file, console, administrators, journal. A journal record that
// cannot be written is reported once to file and console.
void LogMessage(uint32_t targets, uint16_t journalType, const char* format, uint32_t status, ...)
    __attribute__((format(printf, 3, 5)));

// What sends a system warning (one memo to the administrators): given the
// line "task: message\n" in the Notes character set. Until the
// notifications are wired in, warnings reach only their other targets.
using SystemWarningSender = void (*)(std::string_view notesLine);
void SetSystemWarningSender(SystemWarningSender sender);

}  // namespace zul

#endif  // BASE_TASK_LOG_H_
