#include "notesapi/stored_structures.h"

#include "notesapi/item_values.h"

namespace notesapi {

namespace {

bool Get8(std::string_view bytes, size_t at, uint8_t* value) {
  if (at >= bytes.size()) return false;
  *value = static_cast<uint8_t>(bytes[at]);
  return true;
}

bool GetTime(std::string_view bytes, size_t at, TimeDate* value) {
  return GetLe32(bytes, at, &value->innards[0]) && GetLe32(bytes, at + 4, &value->innards[1]);
}

}  // namespace

size_t StructureSize(uint16_t type) {
  switch (type) {
    case kStructObjectDescriptor:
      return 6;
    case kStructFileObject:
      return 36;
    case kStructOleObjectInfo:
      return 48;
    case kStructMimePart:
      return 20;
    default:
      return 0;
  }
}

Status ParseObjectDescriptor(std::string_view m, ObjectDescriptor* out) {
  ObjectDescriptor d;
  if (!GetLe16(m, 0, &d.objectType) || !GetLe32(m, 2, &d.rrv)) return kValueTooShort;
  *out = d;
  return kNoError;
}

Status AttachmentName(std::string_view itemValue, FileObject* object, std::string_view* name) {
  constexpr size_t kTypeBytes = 2;
  if (itemValue.size() < kTypeBytes) return kValueTooShort;
  std::string_view body = itemValue.substr(kTypeBytes);
  if (Status s = ParseFileObject(body, object); s != kNoError) return s;
  size_t fixed = StructureSize(kStructFileObject);
  if (body.size() - fixed < object->fileNameLength) return kValueTooShort;
  *name = body.substr(fixed, object->fileNameLength);
  return kNoError;
}

Status ParseFileObject(std::string_view m, FileObject* out) {
  FileObject f;
  if (m.size() < StructureSize(kStructFileObject)) return kValueTooShort;
  (void)ParseObjectDescriptor(m, &f.header);  // in range: checked above
  (void)GetLe16(m, 6, &f.fileNameLength);
  (void)GetLe16(m, 8, &f.hostType);
  (void)GetLe16(m, 10, &f.compressionType);
  (void)GetLe16(m, 12, &f.fileAttributes);
  (void)GetLe16(m, 14, &f.flags);
  (void)GetLe32(m, 16, &f.fileSize);
  (void)GetTime(m, 20, &f.fileCreated);
  (void)GetTime(m, 28, &f.fileModified);
  *out = f;
  return kNoError;
}

Status ParseOleObjectInfo(std::string_view m, OleObjectInfo* out) {
  OleObjectInfo o;
  if (m.size() < StructureSize(kStructOleObjectInfo)) return kValueTooShort;
  (void)GetLe16(m, 0, &o.signature);  // all in range: checked above
  (void)GetLe16(m, 2, &o.length);
  (void)GetLe16(m, 4, &o.fileObjectNameLength);
  (void)GetLe16(m, 6, &o.descriptionLength);
  (void)GetLe16(m, 8, &o.fieldNameLength);
  (void)GetLe16(m, 10, &o.textIndexNameLength);
  for (size_t i = 0; i < 16; ++i) o.classId[i] = static_cast<uint8_t>(m[12 + i]);
  (void)GetLe16(m, 28, &o.storageFormat);
  (void)GetLe16(m, 30, &o.displayFormat);
  (void)GetLe32(m, 32, &o.flags);
  *out = o;
  return kNoError;
}

Status ParseMimePartHeader(std::string_view m, MimePartHeader* out) {
  MimePartHeader h;
  if (m.size() < StructureSize(kStructMimePart)) return kValueTooShort;
  (void)GetLe16(m, 0, &h.version);  // all in range: checked above
  (void)GetLe32(m, 2, &h.flags);
  (void)Get8(m, 6, &h.partType);
  (void)GetLe16(m, 8, &h.byteCount);
  (void)GetLe16(m, 10, &h.boundaryLength);
  (void)GetLe16(m, 12, &h.headersLength);
  *out = h;
  return kNoError;
}

std::string EncodeFileObject(const FileObject& f) {
  std::string out;
  PutLe16(&out, f.header.objectType);
  PutLe32(&out, f.header.rrv);
  PutLe16(&out, f.fileNameLength);
  PutLe16(&out, f.hostType);
  PutLe16(&out, f.compressionType);
  PutLe16(&out, f.fileAttributes);
  PutLe16(&out, f.flags);
  PutLe32(&out, f.fileSize);
  PutLe32(&out, f.fileCreated.innards[0]);
  PutLe32(&out, f.fileCreated.innards[1]);
  PutLe32(&out, f.fileModified.innards[0]);
  PutLe32(&out, f.fileModified.innards[1]);
  return out;
}

std::string EncodeOleObjectInfo(const OleObjectInfo& o) {
  std::string out;
  PutLe16(&out, o.signature);
  PutLe16(&out, o.length);
  PutLe16(&out, o.fileObjectNameLength);
  PutLe16(&out, o.descriptionLength);
  PutLe16(&out, o.fieldNameLength);
  PutLe16(&out, o.textIndexNameLength);
  for (uint8_t byte : o.classId) out.push_back(static_cast<char>(byte));
  PutLe16(&out, o.storageFormat);
  PutLe16(&out, o.displayFormat);
  PutLe32(&out, o.flags);
  out.append(StructureSize(kStructOleObjectInfo) - out.size(), '\0');  // the remaining reserved fields
  return out;
}

}  // namespace notesapi
