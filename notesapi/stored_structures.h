// The stored structures the tasks read out of item values: object
// descriptors, file objects (attachments), OLE object information and MIME
// part headers. Stored little-endian and packed; Platform::ReadStructure
// gives their in-memory form, whose fields these readers take apart with
// every offset checked.
#ifndef NOTESAPI_STORED_STRUCTURES_H_
#define NOTESAPI_STORED_STRUCTURES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "notesapi/status.h"
#include "notesapi/types.h"

namespace notesapi {

inline constexpr uint16_t kStructObjectDescriptor = 27;
inline constexpr uint16_t kStructFileObject = 58;
inline constexpr uint16_t kStructOleObjectInfo = 379;
inline constexpr uint16_t kStructMimePart = 639;

// Size of each structure's fixed part; 0 for an unknown type.
size_t StructureSize(uint16_t type);

inline constexpr uint16_t kObjectFile = 0;  // object type of an attached file

// Host types of attached files (bits 0x0F00).
inline constexpr uint16_t HOST_MSDOS = 0x0000;
inline constexpr uint16_t HOST_OLE = 0x0100;
inline constexpr uint16_t HOST_MAC = 0x0200;
inline constexpr uint16_t HOST_UNKNOWN = 0x0300;
inline constexpr uint16_t HOST_HPFS = 0x0400;
inline constexpr uint16_t HOST_OLELIB = 0x0500;
inline constexpr uint16_t HOST_BYTEARRAY_EXT = 0x0600;
inline constexpr uint16_t HOST_BYTEARRAY_PAGE = 0x0700;
inline constexpr uint16_t HOST_CDSTORAGE = 0x0800;
inline constexpr uint16_t HOST_STREAM = 0x0900;

struct ObjectDescriptor {  // 27: 6 bytes
  uint16_t objectType = 0;
  uint32_t rrv = 0;  // which object of the database holds the data
};

// The host's own flag of a file object: the content of a message part the
// MIME reader could not split further (nested past its depth limit), which
// nothing has read as what it is.
inline constexpr uint16_t kFileFlagUnsplit = 0x0100;
// The source of an HTML part of the mail's own body, as a browser gets it:
// the body, not an attachment; a finding in it takes the body.
inline constexpr uint16_t kFileFlagBodySource = 0x0200;
// Content sent encrypted (an S/MIME enveloped message): no scanner can read
// it, so it is protected content, whatever bytes it holds.
inline constexpr uint16_t kFileFlagEncryptedContent = 0x0400;
// The whole message as it was sent, for the scan engine's own mail reader:
// a second reading of everything, independent of the view's.
inline constexpr uint16_t kFileFlagWholeMessage = 0x0800;

// A text-list item of the converted view of MIME mail: one entry per file
// the message gives a second name (Content-Type "name" beside the
// Content-Disposition "filename"), the file's "$FILE" name, a tab, the
// other name. A client may show either, so the name filter sees both.
inline constexpr char kOtherFileNamesItem[] = "$ZulFileNames";

struct FileObject {  // 58: 36 bytes, followed by the file name
  ObjectDescriptor header;
  uint16_t fileNameLength = 0;
  uint16_t hostType = 0;
  uint16_t compressionType = 0;
  uint16_t fileAttributes = 0;
  uint16_t flags = 0;
  uint32_t fileSize = 0;
  TimeDate fileCreated;
  TimeDate fileModified;
};

struct OleObjectInfo {  // 379: 48 bytes, followed by the storage name, description and field name
  uint16_t signature = 0;
  uint16_t length = 0;
  uint16_t fileObjectNameLength = 0;
  uint16_t descriptionLength = 0;
  uint16_t fieldNameLength = 0;
  uint16_t textIndexNameLength = 0;
  std::array<uint8_t, 16> classId{};
  uint16_t storageFormat = 0;
  uint16_t displayFormat = 0;
  uint32_t flags = 0;
};

struct MimePartHeader {  // 639: 20 bytes, followed by boundary, headers and data
  uint16_t version = 0;
  uint32_t flags = 0;
  uint8_t partType = 0;
  uint16_t byteCount = 0;
  uint16_t boundaryLength = 0;
  uint16_t headersLength = 0;
};

// MIME part types and flags of the part header.
inline constexpr uint8_t kMimePartProlog = 1;
inline constexpr uint8_t kMimePartBody = 2;
inline constexpr uint8_t kMimePartEpilog = 3;
inline constexpr uint8_t kMimePartMessage = 5;
inline constexpr uint32_t kMimePartHasBoundary = 0x1;
inline constexpr uint32_t kMimePartHasHeaders = 0x2;
// The part's data is in an attachment object of the note, whose file name
// is the part's stored data.
inline constexpr uint32_t kMimePartBodyInDbObject = 0x4;
// With kMimePartBodyInDbObject: the object holds the delimiter line and the
// headers too (the part's lengths of them are 0).
inline constexpr uint32_t kMimePartHeadersInDbObject = 0x8;

// Each reads the in-memory form of its structure; kValueTooShort when the
// bytes are fewer than the structure.
[[nodiscard]] Status ParseObjectDescriptor(std::string_view memory, ObjectDescriptor* out);
[[nodiscard]] Status ParseFileObject(std::string_view memory, FileObject* out);
[[nodiscard]] Status ParseOleObjectInfo(std::string_view memory, OleObjectInfo* out);
[[nodiscard]] Status ParseMimePartHeader(std::string_view memory, MimePartHeader* out);

// The value of a "$FILE" item (its two type bytes, the file object, then the
// file's name): the object and the name, which points into `itemValue`.
// kValueTooShort when the value ends before the name does.
[[nodiscard]] Status AttachmentName(std::string_view itemValue, FileObject* object, std::string_view* name);

// The stored forms the host writes.
std::string EncodeFileObject(const FileObject& object);
std::string EncodeOleObjectInfo(const OleObjectInfo& info);

inline constexpr uint16_t SIG_CD_OLEOBJINFO = 193 | 0xFF00;

}  // namespace notesapi

#endif  // NOTESAPI_STORED_STRUCTURES_H_
