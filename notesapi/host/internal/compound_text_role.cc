#include "notesapi/host/internal/compound_text_role.h"

#include <algorithm>

#include "notesapi/item_values.h"
#include "notesapi/rich_text.h"

namespace notesapi::host {

CompoundText* CompoundTextRole::Find(CompoundTextHandle text) {
  auto it = s_.compoundTexts.find(text);
  return it == s_.compoundTexts.end() ? nullptr : &it->second;
}

Status CompoundTextRole::ToMemory(std::string_view bytes, MemHandle* block) {
  MemHandle handle = kNullHandle;
  if (Status st = s_.platform->MemAlloc(bytes.size(), &handle); st != kNoError) return st;
  std::copy(bytes.begin(), bytes.end(), s_.memory[handle].begin());
  *block = handle;
  return kNoError;
}

Status CompoundTextRole::ConvertRichTextToText(BlockId value, std::string_view delimiter, uint16_t lineLength,
                                               MemHandle* text, uint32_t* length) {
  const StoredItem* item = s_.FindItemByBlock(value);
  if (item == nullptr) return kInvalidHandle;
  uint16_t type = 0;
  if (Status st = ValueType(item->value, &type); st != kNoError) return st;
  if (type != TYPE_COMPOSITE) return kWrongItemType;
  std::string plain;
  if (Status st = RichTextToPlainText(std::string_view(item->value).substr(2), delimiter, lineLength, &plain);
      st != kNoError) {
    return st;
  }
  if (Status st = ToMemory(plain, text); st != kNoError) return st;
  *length = static_cast<uint32_t>(plain.size());
  return kNoError;
}

Status CompoundTextRole::CompoundTextCreate(NoteHandle note, std::string_view itemName, CompoundTextHandle* text) {
  if (note != kNullHandle && (s_.FindNote(note) == nullptr || itemName.empty())) {
    return s_.FindNote(note) == nullptr ? kInvalidHandle : kBadArgument;
  }
  CompoundTextHandle handle = s_.NewHandle();
  s_.compoundTexts[handle] = CompoundText{note, std::string(itemName), {}, {}};
  *text = handle;
  return kNoError;
}

Status CompoundTextRole::CompoundTextDefineStyle(CompoundTextHandle text, std::string_view styleName,
                                                 uint32_t* styleId) {
  CompoundText* compound = Find(text);
  if (compound == nullptr) return kInvalidHandle;
  auto [it, added] =
      compound->styles.try_emplace(std::string(styleName), static_cast<uint32_t>(compound->styles.size() + 1));
  if (added) AppendPabDefinition(&compound->records, static_cast<uint16_t>(it->second));
  *styleId = it->second;
  return kNoError;
}

Status CompoundTextRole::CompoundTextAddText(CompoundTextHandle text, uint32_t styleId, uint32_t fontId,
                                             std::string_view content, std::string_view lineDelimiter) {
  CompoundText* compound = Find(text);
  if (compound == nullptr) return kInvalidHandle;
  if (styleId == 0 || styleId > compound->styles.size()) return kBadArgument;
  for (;;) {
    size_t end = lineDelimiter.empty() ? std::string_view::npos : content.find(lineDelimiter);
    AppendParagraph(&compound->records);
    AppendPabReference(&compound->records, static_cast<uint16_t>(styleId));
    AppendText(&compound->records, fontId, content.substr(0, end));
    if (end == std::string_view::npos) break;
    content.remove_prefix(end + lineDelimiter.size());
  }
  return kNoError;
}

Status CompoundTextRole::CompoundTextAssimilateItem(CompoundTextHandle text, NoteHandle note,
                                                    std::string_view itemName) {
  CompoundText* compound = Find(text);
  OpenNote* open = s_.FindNote(note);
  if (compound == nullptr || open == nullptr) return kInvalidHandle;
  bool found = false;
  for (const auto& item : open->note.items) {
    if (!SameName(item.name, itemName)) continue;
    uint16_t type = 0;
    if (ValueType(item.value, &type) != kNoError || type != TYPE_COMPOSITE) continue;
    std::string_view records = std::string_view(item.value).substr(2);
    if (Status st = ForEachCdRecord(records, [](const CdRecord&) {}); st != kNoError) return st;  // checked before it is taken
    compound->records.append(records);
    found = true;
  }
  return found ? kNoError : kItemNotFound;
}

Status CompoundTextRole::CompoundTextAssimilateFile(CompoundTextHandle text, std::u16string_view path) {
  CompoundText* compound = Find(text);
  if (compound == nullptr) return kInvalidHandle;
  std::string records;
  if (Status st = s_.platform->FileRead(path, &records); st != kNoError) return st;
  if (Status st = ForEachCdRecord(records, [](const CdRecord&) {}); st != kNoError) return st;
  compound->records += records;
  return kNoError;
}

Status CompoundTextRole::CompoundTextClose(CompoundTextHandle text, MemHandle* buffer, uint32_t* length,
                                           std::u16string* file) {
  auto it = s_.compoundTexts.find(text);
  if (it == s_.compoundTexts.end()) return kInvalidHandle;
  CompoundText compound = std::move(it->second);
  s_.compoundTexts.erase(it);
  if (compound.note != kNullHandle) return WriteRichTextItems(s_, compound);
  if (compound.records.size() + 2 <= Platform::kMaxRichTextItemBytes) {
    std::string value;
    PutLe16(&value, TYPE_COMPOSITE);
    value += compound.records;
    if (Status st = ToMemory(value, buffer); st != kNoError) return st;
    *length = static_cast<uint32_t>(value.size());
    return kNoError;
  }
  std::string path = s_.serverDirectory + "/run/compound-" + std::to_string(s_.platform->ProcessId()) + "-" +
                     std::to_string(text) + ".cd";
  std::u16string wide = s_.charsets->Utf8ToUtf16(path);
  if (Status st = s_.platform->FileWrite(wide, compound.records); st != kNoError) return st;
  *file = wide;
  return kNoError;
}

}  // namespace notesapi::host
