// Value types shared by the platform interface and everything above it:
// handles, note and universal IDs, time values, item data types and flags.
#ifndef NOTESAPI_TYPES_H_
#define NOTESAPI_TYPES_H_

#include <array>
#include <cstdint>
#include <string>

namespace notesapi {

// Handles are small numbers handed out by the platform; 0 is "no handle".
// A handle stays valid until the matching close call, and a closed or made-up
// handle gives kInvalidHandle instead of touching anything.
using DbHandle = uint32_t;
using NoteHandle = uint32_t;
using QueueHandle = uint32_t;
using MemHandle = uint32_t;
using LibraryHandle = uint32_t;
using StatusLineHandle = uint32_t;
using ModuleHandle = uint32_t;
using CompoundTextHandle = uint32_t;
inline constexpr uint32_t kNullHandle = 0;

// Note IDs are unique within one database and never reused; a note that has
// not been saved yet has note ID 0.
using NoteId = uint32_t;

// An 8-byte time value in universal time. innards[0] holds hundredths of a
// second since midnight; the low 24 bits of innards[1] hold the Julian day,
// the high 8 bits the zone of the writer and its daylight-saving flag.
struct TimeDate {
  std::array<uint32_t, 2> innards{0, 0};
  friend bool operator==(const TimeDate&, const TimeDate&) = default;
};

// Julian day number of 1970-01-01.
inline constexpr uint32_t kJulianDayOfUnixEpoch = 2440588;
inline constexpr uint32_t kAllDay = 0xFFFFFFFF;  // innards[0]: no time of day
inline constexpr uint32_t kAnyDay = 0x00FFFFFF;  // low 24 bits of innards[1]: no date

// Which constant TimeConstant gives.
enum class TimeConstantKind : uint16_t { kMinimum = 0, kMaximum = 1, kWildcard = 2 };

// A time value in local broken-down form. month 1-12, day 1-31 (0 and values
// past the month's end are normalised when converted back), weekday 1-7 from
// Sunday, zone in hours west of universal time.
struct LocalTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int weekday = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int hundredth = 0;
  bool dst = false;
  int zone = 0;
  TimeDate gm;
};

// A universal note ID: the database part and the note part, 16 bytes.
struct Unid {
  TimeDate file;
  TimeDate note;
  friend bool operator==(const Unid&, const Unid&) = default;
};

// Identifies an item, or an item's value, inside an open note. Valid while
// the note stays open and the item is not deleted.
struct BlockId {
  uint32_t pool = 0;
  uint16_t block = 0;
  bool IsNull() const { return pool == 0; }
  friend bool operator==(const BlockId&, const BlockId&) = default;
};

// Item data types: the first 16 bits of every stored value.
inline constexpr uint16_t TYPE_ERROR = 0x0000;
inline constexpr uint16_t TYPE_COMPOSITE = 0x0001;
inline constexpr uint16_t TYPE_OBJECT = 0x0003;
inline constexpr uint16_t TYPE_LSOBJECT = 0x0014;
inline constexpr uint16_t TYPE_MIME_PART = 0x0019;
inline constexpr uint16_t TYPE_NUMBER = 0x0300;
inline constexpr uint16_t TYPE_TIME = 0x0400;
inline constexpr uint16_t TYPE_TEXT = 0x0500;
inline constexpr uint16_t TYPE_TEXT_LIST = 0x0501;
inline constexpr uint16_t TYPE_RFC822_TEXT = 0x0502;

// Item flags.
inline constexpr uint16_t ITEM_SIGN = 0x0001;
inline constexpr uint16_t ITEM_SEAL = 0x0002;
inline constexpr uint16_t ITEM_SUMMARY = 0x0004;
inline constexpr uint16_t ITEM_READWRITERS = 0x0020;
inline constexpr uint16_t ITEM_NAMES = 0x0040;
inline constexpr uint16_t ITEM_PLACEHOLDER = 0x0100;
inline constexpr uint16_t ITEM_PROTECTED = 0x0200;
inline constexpr uint16_t ITEM_READERS = 0x0400;

// Note classes.
inline constexpr uint16_t NOTE_CLASS_DOCUMENT = 0x0001;
inline constexpr uint16_t NOTE_CLASS_INFO = 0x0002;
inline constexpr uint16_t NOTE_CLASS_FORM = 0x0004;
inline constexpr uint16_t NOTE_CLASS_PROFILE = 0x0001;  // profiles are documents found by name

// Note open flags. kOpenRawMime keeps MIME content as raw MIME parts.
inline constexpr uint32_t kOpenRawMime = 0x03000000;

// Note update flags. Without kUpdateForce a save fails with kNoteConflict
// when another writer saved the note since it was opened.
inline constexpr uint16_t kUpdateForce = 0x0001;
inline constexpr uint16_t kUpdateNoCommit = 0x0004;
inline constexpr uint16_t kUpdateRelease = 0x0025;
// A MIME note opened converted is saved as its readers see it (a memo of
// rich text and attachments). Without this flag the changes made to the
// converted note are written back into the stored message instead, and
// everything else of the message stays as it came.
inline constexpr uint16_t kUpdateAsConverted = 0x0200;

// Database options, by bit number. A database without transaction logging
// makes its saves durable when its log is folded in, not at every save: a
// power loss can take its last saves (a crash of the process cannot). For
// records that a lost line harms no more than a lost line of a log file.
inline constexpr int kDbOptionNoTransactionLogging = 45;

// Queue open options and limits.
inline constexpr uint16_t kQueueOpenExisting = 0;
inline constexpr uint16_t kQueueCreate = 1;
inline constexpr size_t kMaxQueueNameLength = 63;
inline constexpr size_t kMaxQueueMessageSize = 65326;

// Character-set translation modes.
inline constexpr uint16_t kTranslateNativeToLmbcs = 0;
inline constexpr uint16_t kTranslateLmbcsToNative = 1;
inline constexpr uint16_t kTranslateLmbcsToUnicode = 20;
inline constexpr uint16_t kTranslateLmbcsToUtf8 = 22;
inline constexpr uint16_t kTranslateUnicodeToLmbcs = 23;
inline constexpr uint16_t kTranslateUtf8ToLmbcs = 24;

// What NoteGetInfo reports about an open note.
struct NoteInfo {
  DbHandle db = kNullHandle;
  NoteId noteId = 0;
  Unid unid;
  uint16_t noteClass = NOTE_CLASS_DOCUMENT;
  TimeDate created;
  TimeDate modified;
};

// What the item queries report. `item` names the item, `value` its value
// block, which starts with the 16-bit data type; valueLength counts it too.
struct ItemInfo {
  BlockId item;
  BlockId value;
  uint16_t type = TYPE_ERROR;
  uint16_t flags = 0;
  uint32_t valueLength = 0;
  std::string name;  // LMBCS
};

// A child process to run and wait for. Paths and the command line are UTF-16.
// With an empty outputPath the child's standard output and error go nowhere.
// With a timeout, a child still running then is ended and the run gives
// kProcessTimedOut; 0 waits without a limit.
struct ChildProcess {
  std::u16string application;
  std::u16string commandLine;
  std::u16string outputPath;
  uint32_t timeoutSeconds = 0;
};

// One entry of a folder as it stands: a link is a link, never what it names.
enum class FolderEntryKind : uint8_t { kFile, kFolder, kLink, kOther };
struct FolderEntry {
  std::u16string name;
  FolderEntryKind kind = FolderEntryKind::kOther;
  uint64_t size = 0;  // of a file; 0 for the rest
  // Which file the name holds, and when it last changed in any way (its
  // content, its name, its modes): a stamp that no one can set back, so two
  // listings alike in both saw the same files.
  uint64_t identity = 0;
  uint64_t changed = 0;
};

}  // namespace notesapi

#endif  // NOTESAPI_TYPES_H_
