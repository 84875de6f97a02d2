#include "scanning/scan_steps.h"

#include "notesapi/process_platform.h"
#include "base/text_conversions.h"
#include "scanning/object_scanners.h"
#include "scanning/scan_kernel.h"
#include "settings/settings_records.h"
#include "settings/temporary_paths.h"

namespace zul {

using namespace notesapi;

namespace {

KernelScanFunction g_kernelScan = nullptr;

// The time one mail may take, counted from the start of its scan.
struct MailClock {
  bool running = false;
  TimeDate started;
  double limitSeconds = 0;
};
MailClock g_mailClock;

// Catalogue texts give UTF-16 names as "%S"; the log takes native text.
std::string WithNativeNames(const char* format) {
  std::string text(format);
  for (size_t at = text.find("%S"); at != std::string::npos; at = text.find("%S", at + 2)) text[at + 1] = 's';
  return text;
}

}  // namespace

std::string Native(std::string_view notes) { return std::string(NotesToNative(notes)); }

void LogWriteError(Msg message, notesapi::Status status, const ObjectRecord& record) {
  LogMessage(kTargets, JournalError, WithNativeNames(MessageText(message)).c_str(), status,
             Native(record.objectName).c_str());
}

void Trace(int level, Msg message) {
  if (LogLevelAbove(level)) LogMessage(kTargets, JournalInformation, "%s", 0, MessageText(message));
}

void CommonWriteFailure(ObjectRecord* record) {
  record->result = ResultNotProcessed;
  record->description = MessageText(Msg::FileWriteFailed);
}

void StartMailClock(double limitSeconds) {
  g_mailClock = MailClock{true, ProcessPlatform()->TimeNow(), limitSeconds};
}

void StopMailClock() { g_mailClock.running = false; }

ScanResult KernelScan(std::u16string_view scanCopy, std::string* description) {
  Platform* p = ProcessPlatform();
  // Past the mail's time the objects left are not looked at: each is a scan
  // that did not finish, and the mail behind this one does not wait longer.
  if (g_mailClock.running && p->TimeDifferenceSeconds(p->TimeNow(), g_mailClock.started) > g_mailClock.limitSeconds) {
    *description = kMailTimeLimitName;
    return ResultIncomplete;
  }
  if (g_kernelScan != nullptr) return g_kernelScan(scanCopy, description);
  ScanKernel* kernel = ProcessKernel();
  return kernel != nullptr ? kernel->ScanFile(scanCopy, description) : ResultFailed;  // no kernel: no verdict
}

void CommonScanStep(ObjectRecord* record, Msg closing) {
  record->description.clear();
  record->result = KernelScan(PathForFiles(record->scanCopyPath), &record->description);
  if (record->description.empty()) record->description = Native(record->objectName);
  if (LogLevelAbove(kLogFromLevel4)) LogMessage(kTargets, JournalInformation, MessageText(closing), 0, record->result);
}

// Writes `content` as the record's scan copy and scans it. A copy that
// cannot be written (or content that could not be read, `readable` false)
// leaves the object not processed, never clean; false then.
bool WriteAndScan(ObjectRecord* record, std::string_view content, const CopyMessages& messages, bool readable) {
  if (!readable || WriteBufferToFile(PathForFiles(record->scanCopyPath), content) != 0) {
    LogWriteError(messages.writeFailed, 0, *record);
    CommonWriteFailure(record);
    return false;
  }
  if (messages.written) Trace(kLogFromLevel4, *messages.written);
  CommonScanStep(record, messages.scanned);
  return true;
}

// The item's value without its data type, or false when it cannot be read.
bool ItemBytes(const ObjectRecord& record, std::string* bytes) {
  std::string value;
  if (ProcessPlatform()->ItemValue(record.value, &value) != kNoError || value.size() < 2) return false;
  *bytes = value.substr(2);
  return true;
}

// Text that ends `length` bytes after `offset`, or false when the value is shorter.
bool TextAt(std::string_view bytes, size_t* offset, size_t length, std::string* text) {
  if (*offset > bytes.size() || bytes.size() - *offset < length) return false;
  text->assign(bytes.substr(*offset, length));
  *offset += length;
  return true;
}

void SetKernelScanFunction(KernelScanFunction scan) { g_kernelScan = scan; }

}  // namespace zul
