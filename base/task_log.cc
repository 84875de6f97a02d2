#include "base/task_log.h"

#include <cstdarg>
#include <cstdio>

#include "base/server_variables.h"
#include "notesapi/process_platform.h"
#include "base/journal_records.h"
#include "base/message_text.h"
#include "base/text_conversions.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr size_t kLineBuffer = 1024;
constexpr size_t kMaxDateText = 25;

std::string g_taskName;
SystemWarningSender g_warningSender = nullptr;

std::string DateTimeText(Platform* p) {
  std::string text;
  if (p->TimeToText(p->TimeNow(), &text) != kNoError) text.clear();
  text.resize(std::min(text.size(), kMaxDateText));
  return text;
}

void AppendToLogFile(Platform* p, std::string_view fileName, std::string_view text) {
  // The name is the same line after line: converted once.
  static std::string name;
  static std::u16string path;
  if (fileName != name || path.empty()) {
    name = fileName;
    path = NotesToUnicode(fileName);
  }
  (void)p->FileAppend(path, text);  // a file that cannot be opened loses the line, as designed
}

// "task: message" cut so that, with its line feed, it fits one line buffer.
std::string PrefixedLine(std::string_view prefix, std::string_view message) {
  std::string line = std::string(prefix) + g_taskName + ": " + std::string(message);
  if (line.size() > kLineBuffer - 2) line.resize(kLineBuffer - 2);
  return line + "\n";
}

std::string ComposeMessage(Platform* p, const char* format, uint32_t status, va_list args) {
  char body[kLineBuffer] = {};
  int length = std::vsnprintf(body, sizeof body, format, args);
  std::string message(body, length < 0 ? 0 : std::min<size_t>(static_cast<size_t>(length), kMaxMessageLength));
  if ((status & 0xFFFF) != 0) {
    std::string statusText = p->StatusText(static_cast<notesapi::Status>(ErrorOf(static_cast<notesapi::Status>(status))));
    message += MessageText(Msg::ErrorSuffix);
    message += NotesToNative(statusText);
  }
  if (message.size() > kLineBuffer - 1) message.resize(kLineBuffer - 1);
  return message;
}

void WriteFileLine(Platform* p, const std::string& message) {
  const ServerVariables& v = Variables();
  AppendToLogFile(p, v.logFileName, PrefixedLine(DateTimeText(p) + "   ", message));
}

void WriteConsoleLine(Platform* p, const std::string& message) {
  std::string native = PrefixedLine("", message);
  native.pop_back();  // the line feed is added after the cut
  p->ConsoleLine(NativeToNotesWithin(native, kLineBuffer - 1) + "\n");
}

void SendSystemWarning(const std::string& message) {
  if (g_warningSender == nullptr) return;
  g_warningSender(NativeToNotesWithin(PrefixedLine("", message), kLineBuffer));
}

}  // namespace

void SetTaskName(std::string_view name) { g_taskName = name; }
const std::string& TaskName() { return g_taskName; }

bool LogLevelAbove(int threshold) {
  return threshold < 0 || Variables().logLevel > static_cast<unsigned>(threshold);
}

void SetSystemWarningSender(SystemWarningSender sender) { g_warningSender = sender; }

void OpenTaskLogFile(std::string_view fileName) {
  Platform* p = ProcessPlatform();
  AppendToLogFile(p, fileName, "\n===================== [" + DateTimeText(p) + "]\n");
}

void LogMessage(uint32_t targets, uint16_t journalType, const char* format, uint32_t status, ...) {
  Platform* p = ProcessPlatform();
  if (p == nullptr || format == nullptr) return;
  va_list args;
  va_start(args, status);
  std::string message = ComposeMessage(p, format, status, args);
  va_end(args);
  const ServerVariables& v = Variables();
  if ((targets & LOG_FILE) && v.logFileFlag != 0) WriteFileLine(p, message);
  if ((targets & LOG_CONSOLE) && v.logConsole != 0) WriteConsoleLine(p, message);
  if (targets & LOG_ADMIN) SendSystemWarning(message);
  if (targets & LOG_JOURNAL) {
    notesapi::Status written = WriteJournalRecord(v.statDatabase, journalType, message);
    // Without the journal target the report cannot recurse.
    if (written != kNoError) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalTaskFault, "%s", written, MessageText(Msg::JournalRecordFailed));
    }
  }
}

}  // namespace zul
