#include "notesapi/host/internal/ole_role.h"

#include <cstdio>
#include <vector>

#include "notesapi/item_values.h"
#include "notesapi/rich_text.h"

namespace notesapi::host {

namespace {

// The known class identifiers of embedded objects and their program
// identifiers, as a Windows registry would answer.
constexpr std::pair<const char*, const char*> kProgIds[] = {
    {"00020906-0000-0000-C000-000000000046", "Word.Document.8"},
    {"00020900-0000-0000-C000-000000000046", "Word.Document.6"},
    {"00020820-0000-0000-C000-000000000046", "Excel.Sheet.8"},
    {"00020810-0000-0000-C000-000000000046", "Excel.Sheet.5"},
    {"64818D10-4F9B-11CF-86EA-00AA00B929E8", "PowerPoint.Show.8"},
    {"0003000C-0000-0000-C000-000000000046", "Package"},
    {"00022602-0000-0000-C000-000000000046", "Package"},
    {"F20DA720-C02F-11CE-927B-0800095AE340", "Package"},
};

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" of a class identifier as stored
// (first three fields little-endian).
std::string ClassIdText(const std::array<uint8_t, 16>& id) {
  char text[40];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id[3], id[2],
                id[1], id[0], id[5], id[4], id[7], id[6], id[8], id[9], id[10], id[11], id[12], id[13], id[14], id[15]);
  return text;
}

void PutLe16At(std::string* bytes, size_t at, uint16_t value) {
  if (at + 2 > bytes->size()) return;
  (*bytes)[at] = static_cast<char>(value & 0xFF);
  (*bytes)[at + 1] = static_cast<char>(value >> 8);
}

}  // namespace

Status OleRole::OleInsertObject(NoteHandle note, std::u16string_view storagePath, std::string_view objectName,
                                const std::array<uint8_t, 16>& classId, std::string_view description,
                                std::string_view fieldName) {
  if (s_.FindNote(note) == nullptr) return kInvalidHandle;
  if (objectName.empty() || objectName.size() + description.size() + fieldName.size() > 0xF000) return kBadArgument;
  std::string data;
  if (Status st = s_.platform->FileRead(storagePath, &data); st != kNoError) return st;
  BlockId storage;
  if (Status st = AttachData(s_, note, data, objectName, 0, false, &storage); st != kNoError) return st;
  // The storage is OLE data, not a file for the attachment scanners.
  PutLe16At(&s_.FindItemByBlock(storage)->value, 2 + 8, HOST_CDSTORAGE);
  OleObjectInfo info;
  info.signature = SIG_CD_OLEOBJINFO;
  info.fileObjectNameLength = static_cast<uint16_t>(objectName.size());
  info.descriptionLength = static_cast<uint16_t>(description.size());
  info.fieldNameLength = static_cast<uint16_t>(fieldName.size());
  info.classId = classId;
  info.storageFormat = 1;  // structured storage
  size_t length = StructureSize(kStructOleObjectInfo) + objectName.size() + description.size() + fieldName.size();
  info.length = static_cast<uint16_t>(length);
  std::string value;
  PutLe16(&value, TYPE_COMPOSITE);
  value += EncodeOleObjectInfo(info);
  value.append(objectName).append(description).append(fieldName);
  if (value.size() % 2 != 0) value.push_back('\0');
  if (Status st = AppendItem(s_, note, ITEM_SUMMARY, "$OLEOBJINFO", std::move(value), nullptr); st != kNoError) {
    return st;
  }
  // The object's place in its rich-text field.
  std::string progId;
  (void)ClassToProgId(ClassIdText(classId), &progId);  // an unknown class shows no program name
  std::string records;
  AppendParagraph(&records);
  AppendOleObject(&records, objectName, progId);
  std::string field;
  PutLe16(&field, TYPE_COMPOSITE);
  field += records;
  return AppendItem(s_, note, ITEM_SIGN, fieldName.empty() ? std::string_view("Body") : fieldName, std::move(field),
                    nullptr);
}

Status OleRole::OleWriteObject(NoteHandle note, std::string_view objectName, std::u16string_view path) {
  BlockId storage;
  if (Status st = FindAttachmentItem(s_, note, objectName, &storage); st != kNoError) return st;
  return s_.platform->ExtractFile(note, storage, path);
}

Status OleRole::OleRemoveObject(NoteHandle note, std::string_view objectName) {
  OpenNote* open = s_.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  BlockId storage;
  if (Status st = FindAttachmentItem(s_, note, objectName, &storage); st != kNoError) return st;
  std::vector<uint16_t> infos;
  for (const auto& item : open->note.items) {
    if (!SameName(item.name, "$OLEOBJINFO")) continue;
    OleObjectInfo info;
    std::string_view body = std::string_view(item.value).substr(std::min<size_t>(2, item.value.size()));
    size_t fixed = StructureSize(kStructOleObjectInfo);
    if (ParseOleObjectInfo(body, &info) != kNoError || body.size() - fixed < info.fileObjectNameLength) continue;
    if (body.substr(fixed, info.fileObjectNameLength) == objectName) infos.push_back(item.block);
  }
  for (uint16_t block : infos) (void)s_.platform->ItemDeleteByBlock(note, BlockId{note, block});  // found just above
  return s_.platform->DetachFile(note, storage);
}

Status OleRole::ClassToProgId(std::string_view classId, std::string* progId) {
  std::string_view bare = classId;
  if (bare.size() >= 2 && bare.front() == '{' && bare.back() == '}') bare = bare.substr(1, bare.size() - 2);
  for (const auto& [known, name] : kProgIds) {
    if (SameName(bare, known)) {
      *progId = name;
      return kNoError;
    }
  }
  return kClassNotRegistered;
}

}  // namespace notesapi::host
