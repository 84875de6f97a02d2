#include "scanning/object_scanners.h"

#include <algorithm>
#include <string>

#include "mime/header_fields.h"
#include "notesapi/process_platform.h"
#include "notesapi/stored_structures.h"
#include "mime/transfer_decoding.h"
#include "scanning/scan_steps.h"
#include "settings/temporary_paths.h"

// The scanner of stored MIME parts: a part as stored, and its decoded
// content when its transfer encoding hides it.
namespace zul {

using namespace mime;

using namespace notesapi;

namespace {

// How much a result says about danger: a detection beats a failure, a
// failure beats clean, so a second look at an object can only add warnings.
int Weight(int32_t result) {
  switch (result) {
    case ResultInfected:
    case ResultSuspicious:
    case ResultProtected:
    case ResultIncomplete:
      return 2;
    case ResultClean:
      return 0;
    default:
      return 1;
  }
}

// The value of a header field, lower case, or "".
std::string HeaderValue(std::string_view headers, std::string_view name) {
  std::string value = HeaderFieldValue(headers, name);
  std::transform(value.begin(), value.end(), value.begin(), [](unsigned char c) { return std::tolower(c); });
  return value;
}

// The content of the attachment named `fileName`, for parts kept in objects.
notesapi::Status ReadPartObject(NoteHandle note, std::string_view fileName, std::u16string_view scratch, std::string* data) {
  Platform* p = ProcessPlatform();
  ItemInfo file;
  for (notesapi::Status s = p->ItemInfoByName(note, "$FILE", &file); s == kNoError; s = p->ItemInfoNext(note, file.item, "$FILE", &file)) {
    std::string value;
    FileObject object;
    std::string_view name;
    if (p->ItemValue(file.value, &value) != kNoError || AttachmentName(value, &object, &name) != kNoError ||
        name != fileName) {
      continue;
    }
    if (notesapi::Status s = p->ExtractFile(note, file.item, scratch); s != kNoError) return s;
    return p->FileRead(scratch, data);
  }
  return kItemNotFound;
}

// Scans the decoded form of a part as a second object and keeps the worse
// of the two results.
void ScanDecoded(ObjectRecord* record, const std::string& decoded) {
  ObjectRecord second = *record;
  second.scanCopyPath = DrawTemporaryPath(record->scanCopyPath);
  if (WriteBufferToFile(PathForFiles(second.scanCopyPath), decoded) != 0) {
    CommonWriteFailure(&second);
  } else {
    CommonScanStep(&second, Msg::MimePartScanned);
  }
  (void)ProcessPlatform()->FileDelete(PathForFiles(second.scanCopyPath));
  if (Weight(second.result) > Weight(record->result)) {
    record->result = second.result;
    record->description = second.description;
  }
}

// The stored part of the record as its item holds it: its delimiter,
// headers and content, or in place of a content kept in an object, the
// object's name.
notesapi::Status ReadStoredPartItem(ObjectRecord* record, std::string* data, MimePartHeader* header) {
  Platform* p = ProcessPlatform();
  std::string bytes;
  std::string memory;
  size_t offset = 0;
  notesapi::Status read = ItemBytes(*record, &bytes) ? p->ReadStructure(kStructMimePart, bytes, &offset, &memory) : kValueTooShort;
  if (read == kNoError) read = ParseMimePartHeader(memory, header);
  if (read == kNoError && !TextAt(bytes, &offset, header->byteCount, data)) read = kValueTooShort;
  size_t prefix = size_t{header->boundaryLength} + header->headersLength;
  if (read == kNoError && prefix > data->size()) read = kValueTooShort;
  return read;
}

// A content kept in an object read back in place of the object's name.
notesapi::Status ReadPartContent(ObjectRecord* record, const MimePartHeader& header, std::string* data) {
  if (!(header.flags & kMimePartBodyInDbObject)) return kNoError;
  size_t prefix = size_t{header.boundaryLength} + header.headersLength;
  std::string content;
  notesapi::Status read = ReadPartObject(record->note, std::string_view(*data).substr(prefix), PathForFiles(record->scanCopyPath),
                               &content);
  data->resize(prefix);
  data->append(content);
  return read;
}

// The stored part of the record: its delimiter, headers and content.
notesapi::Status ReadStoredPart(ObjectRecord* record, std::string* data, MimePartHeader* header) {
  notesapi::Status read = ReadStoredPartItem(record, data, header);
  if (read == kNoError) read = ReadPartContent(record, *header, data);
  return read;
}

}  // namespace

ScannerOutcome ScanMimePart(ObjectRecord* record) {
  std::string data;
  MimePartHeader header;
  notesapi::Status read = ReadStoredPart(record, &data, &header);
  if (read == kNoError && header.byteCount == 0) {
    // Nothing stored, nothing to scan: clean under its own name, never the
    // previous object's result.
    record->result = ResultClean;
    record->description = Native(record->objectName);
    return ScannerOutcome::kResult;
  }
  if (!WriteAndScan(record, data, {Msg::FileExtractFailed, Msg::MimePartWritten, Msg::MimePartScanned},
                    read == kNoError)) {
    return ScannerOutcome::kResult;
  }
  // Stored data "as is" hides a base64 or quoted-printable payload from the
  // kernel; the decoded body is scanned too.
  size_t prefix = size_t{header.boundaryLength} + header.headersLength;
  std::string_view headers = std::string_view(data).substr(header.boundaryLength, header.headersLength);
  std::string encoding = HeaderValue(headers, "content-transfer-encoding");
  std::string_view body = std::string_view(data).substr(prefix);
  std::string decoded = DecodeTransferEncoding(encoding, body);
  if (decoded != body) ScanDecoded(record, decoded);
  return ScannerOutcome::kResult;
}

}  // namespace zul
