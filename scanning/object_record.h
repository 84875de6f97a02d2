// The working record of one object of a mail document while it is scanned,
// and the codes it carries. The driver owns one; the scanners and the
// reactions read and write it.
#ifndef SCANNING_OBJECT_RECORD_H_
#define SCANNING_OBJECT_RECORD_H_

#include <array>
#include <cstdint>
#include <string>

#include "notesapi/types.h"
#include "scanning/scan_result.h"

namespace zul {

enum ObjectKind : int32_t {
  KindAttachment = 0,
  KindOle = 1,
  KindText = 2,
  KindMimePart = 3,
  KindScript = 5,
  KindOther = 6,
};

// The monitored-objects mask.
inline constexpr uint8_t MonitorAttachments = 0x01;
inline constexpr uint8_t MonitorBody = 0x02;
inline constexpr uint8_t MonitorOle = 0x04;
inline constexpr uint8_t MonitorScripts = 0x08;

// Bounds of the record's texts, the terminating zero not counted.
inline constexpr size_t kMaxObjectName = 255;
inline constexpr size_t kMaxReportText = 1022;
inline constexpr size_t kMaxOleText = 1023;

struct ObjectRecord {
  int32_t quarantine = 0;
  int32_t kind = KindOther;
  int32_t action = 0;
  notesapi::NoteHandle note = notesapi::kNullHandle;
  notesapi::BlockId item;
  notesapi::BlockId value;
  notesapi::DbHandle db = notesapi::kNullHandle;
  uint32_t valueLength = 0;
  std::string objectName;    // Notes character set
  std::string scanCopyPath;  // Notes character set
  std::string reportText;  // Notes character set, ends with a line feed once filled
  std::array<uint8_t, 16> oleClass{};
  std::string oleFieldName;
  std::string oleDescription;
  int32_t result = ResultClean;
  std::string description;  // native code page
  // An attachment of the converted view that is the body's own source (an
  // HTML body as a browser gets it): a finding in it takes the body.
  bool bodySource = false;
  // The whole message as sent, read by the engine as mail: a second
  // reading, judged after every other object.
  bool wholeMessage = false;
  // What the engine found in an object the filters took without a scan
  // (its name, its type): the engine's reading of the whole message then
  // finds nothing new in it.
  std::string threatInside;
};

}  // namespace zul

#endif  // SCANNING_OBJECT_RECORD_H_
