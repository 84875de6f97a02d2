// The steps every object scanner takes: reading its item, writing its scan
// copy, the kernel call, and the log lines and results of each. Shared by
// the scanners of attachments, OLE objects, rich text and MIME parts.
#ifndef SCANNING_SCAN_STEPS_H_
#define SCANNING_SCAN_STEPS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/message_text.h"
#include "base/task_log.h"
#include "notesapi/status.h"
#include "scanning/object_record.h"

namespace zul {

inline constexpr uint32_t kTargets = LOG_FILE | LOG_CONSOLE;

// A name in the Notes character set as native text, for the log.
std::string Native(std::string_view notes);
void LogWriteError(Msg message, notesapi::Status status, const ObjectRecord& record);
void Trace(int level, Msg message);
// A copy that could not be written: the object is not processed.
void CommonWriteFailure(ObjectRecord* record);
// The kernel's verdict on the record's scan copy.
void CommonScanStep(ObjectRecord* record, Msg closing);
// The kernel call itself (or the tests' double in its place); once the
// mail's clock has run out, result 10 without a call.
ScanResult KernelScan(std::u16string_view scanCopy, std::string* description);
inline constexpr char kMailTimeLimitName[] = "Heuristics.Limits.Exceeded.MailTimeLimit";

// The time one mail's objects may take together (the platform's clock).
void StartMailClock(double limitSeconds);
void StopMailClock();

// The messages of one kind of scan copy: it could not be written, it was
// written (none for a copy not traced), it was scanned.
struct CopyMessages {
  Msg writeFailed;
  std::optional<Msg> written;
  Msg scanned;
};

// Writes `content` as the record's scan copy and scans it. A copy that
// cannot be written (or content that could not be read, `readable` false)
// leaves the object not processed, never clean; false then.
bool WriteAndScan(ObjectRecord* record, std::string_view content, const CopyMessages& messages, bool readable = true);

// The item's value without its data type, or false when it cannot be read.
bool ItemBytes(const ObjectRecord& record, std::string* bytes);
// Text that ends `length` bytes after `offset`, or false when the value is shorter.
bool TextAt(std::string_view bytes, size_t* offset, size_t length, std::string* text);

}  // namespace zul

#endif  // SCANNING_SCAN_STEPS_H_
