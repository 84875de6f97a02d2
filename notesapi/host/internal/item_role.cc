#include "notesapi/host/internal/item_role.h"

#include <algorithm>

#include "notesapi/item_values.h"
#include "notesapi/stored_structures.h"

namespace notesapi::host {

Status ItemRole::ItemInfoNext(NoteHandle note, BlockId previous, std::string_view name, ItemInfo* info) {
  OpenNote* open = s_.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  auto& items = open->note.items;
  auto it = items.begin();
  if (!previous.IsNull()) {
    if (previous.pool != note) return kInvalidHandle;
    it = FindItem(open, previous.block);
    if (it == items.end()) return kInvalidHandle;
    ++it;
  }
  for (; it != items.end(); ++it) {
    if (name.empty() || SameName(it->name, name)) {
      Describe(note, *it, info);
      return kNoError;
    }
  }
  return kItemNotFound;
}

Status ItemRole::ItemQuery(BlockId item, ItemInfo* info) {
  const StoredItem* found = s_.FindItemByBlock(item);
  if (found == nullptr) return kInvalidHandle;
  Describe(item.pool, *found, info);
  return kNoError;
}

Status ItemRole::ItemValue(BlockId value, std::string* bytes) {
  const StoredItem* found = s_.FindItemByBlock(value);
  if (found == nullptr) return kInvalidHandle;
  *bytes = found->value;
  return kNoError;
}

Status ItemRole::ItemDelete(NoteHandle note, std::string_view name) {
  OpenNote* open = s_.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  auto& items = open->note.items;
  auto removed = std::remove_if(items.begin(), items.end(), [&](const auto& i) { return SameName(i.name, name); });
  if (removed == items.end()) return kItemNotFound;
  items.erase(removed, items.end());
  return kNoError;
}

Status ItemRole::ItemDeleteByBlock(NoteHandle note, BlockId item) {
  OpenNote* open = s_.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  if (item.pool != note) return kInvalidHandle;
  auto it = FindItem(open, item.block);
  if (it == open->note.items.end()) return kInvalidHandle;
  open->note.items.erase(it);
  return kNoError;
}

Status ItemRole::ItemCopy(NoteHandle target, BlockId item) {
  const StoredItem* found = s_.FindItemByBlock(item);
  if (found == nullptr || s_.FindNote(target) == nullptr) return kInvalidHandle;
  StoredItem copy = *found;  // copied before the target may grow
  if (Status st = CopyObjectData(item.pool, target, &copy); st != kNoError) return st;
  return AppendItem(s_, target, copy.flags, copy.name, std::move(copy.value), nullptr);
}

// An attachment's data lives in an object of its database: the copy gets an
// object of its own, so it stays readable in another database and outlives
// the original's removal.
Status ItemRole::CopyObjectData(NoteHandle source, NoteHandle target, StoredItem* copy) {
  uint16_t type = 0;
  FileObject file;
  if (ValueType(copy->value, &type) != kNoError || type != TYPE_OBJECT ||
      ParseFileObject(std::string_view(copy->value).substr(2), &file) != kNoError || file.header.objectType != 0) {
    return kNoError;  // no object behind it
  }
  OpenNote* from = s_.FindNote(source);
  OpenNote* to = s_.FindNote(target);
  OpenDatabase* fromDb = from == nullptr ? nullptr : s_.FindDb(from->db);
  OpenDatabase* toDb = to == nullptr ? nullptr : s_.FindDb(to->db);
  if (fromDb == nullptr || toDb == nullptr) return kInvalidHandle;
  std::string data;
  uint32_t flags = 0;
  if (Status st = ReadNoteObject(s_, source, file.header.rrv, &data, &flags); st != kNoError) return st;
  uint32_t objectId = AddPendingObject(to, std::move(data), flags);
  for (int i = 0; i < 4; ++i) copy->value[2 + 2 + i] = static_cast<char>(objectId >> (8 * i) & 0xFF);
  return kNoError;
}

Status ItemRole::ItemAppend(NoteHandle note, uint16_t flags, std::string_view name, std::string_view value,
                            BlockId* item) {
  return AppendItem(s_, note, flags, name, std::string(value), item);
}

Status ItemRole::ItemAppendFromMemory(NoteHandle note, uint16_t flags, std::string_view name, MemHandle block,
                                      size_t length) {
  auto it = s_.memory.find(block);
  if (it == s_.memory.end()) return kInvalidHandle;
  if (length > it->second.size()) return kValueTooShort;
  return AppendItem(s_, note, flags, name, std::string(it->second.begin(), it->second.begin() + length), nullptr);
}

Status ItemRole::ItemGetText(NoteHandle note, std::string_view name, size_t maxLength, std::string* text) {
  const StoredItem* item = nullptr;
  if (Status st = FirstItem(s_, note, name, &item); st != kNoError) return st;
  std::string result;
  uint16_t type = 0;
  if (Status st = ValueType(item->value, &type); st != kNoError) return st;
  if (type == TYPE_TEXT_LIST) {
    std::vector<std::string> entries;
    if (Status st = DecodeTextListValue(item->value, &entries); st != kNoError) return st;
    if (!entries.empty()) result = entries[0];
  } else if (Status st = DecodeTextValue(item->value, &result); st != kNoError) {
    return st;
  }
  result.resize(std::min(result.size(), maxLength));
  *text = std::move(result);
  return kNoError;
}

double ItemRole::ItemGetNumber(NoteHandle note, std::string_view name, double defaultValue) {
  const StoredItem* item = nullptr;
  double number = 0;
  if (FirstItem(s_, note, name, &item) != kNoError || DecodeNumberValue(item->value, &number) != kNoError) {
    return defaultValue;
  }
  return number;
}

bool ItemRole::ItemGetTime(NoteHandle note, std::string_view name, TimeDate* value) {
  const StoredItem* item = nullptr;
  return FirstItem(s_, note, name, &item) == kNoError && DecodeTimeValue(item->value, value) == kNoError;
}

uint16_t ItemRole::ItemTextListCount(NoteHandle note, std::string_view name) {
  std::vector<std::string> entries;
  if (TextList(note, name, &entries) != kNoError) return 0;
  return static_cast<uint16_t>(entries.size());
}

Status ItemRole::ItemTextListEntry(NoteHandle note, std::string_view name, uint16_t index, std::string* text) {
  std::vector<std::string> entries;
  if (Status st = TextList(note, name, &entries); st != kNoError) return st;
  if (index >= entries.size()) return kBadArgument;
  *text = entries[index];
  return kNoError;
}

Status ItemRole::ItemSetText(NoteHandle note, std::string_view name, std::string_view text) {
  return ReplaceItem(s_, note, name, EncodeTextValue(text));
}

Status ItemRole::ItemSetNumber(NoteHandle note, std::string_view name, double value) {
  return ReplaceItem(s_, note, name, EncodeNumberValue(value));
}

Status ItemRole::ItemSetTime(NoteHandle note, std::string_view name, const TimeDate& value) {
  return ReplaceItem(s_, note, name, EncodeTimeValue(value));
}

Status ItemRole::ItemCreateTextList(NoteHandle note, std::string_view name, std::string_view firstEntry) {
  std::string value;
  if (Status st = EncodeTextListValue({std::string(firstEntry)}, &value); st != kNoError) return st;
  return ReplaceItem(s_, note, name, std::move(value));
}

Status ItemRole::ItemAppendTextList(NoteHandle note, std::string_view name, std::string_view entry,
                                    bool allowDuplicates) {
  std::vector<std::string> entries;
  Status st = TextList(note, name, &entries);
  if (st != kNoError && st != kItemNotFound) return st;
  if (!allowDuplicates && std::find(entries.begin(), entries.end(), entry) != entries.end()) return kNoError;
  entries.emplace_back(entry);
  std::string value;
  if (st = EncodeTextListValue(entries, &value); st != kNoError) return st;
  return ReplaceItem(s_, note, name, std::move(value));
}

// A text list too long for one item is stored as several list items of one
// name, read as one list in their order.
Status ItemRole::TextList(NoteHandle note, std::string_view name, std::vector<std::string>* entries) {
  const StoredItem* first = nullptr;
  if (Status st = FirstItem(s_, note, name, &first); st != kNoError) return st;
  uint16_t type = 0;
  if (Status st = ValueType(first->value, &type); st != kNoError) return st;
  if (type == TYPE_TEXT) {
    std::string text;
    (void)DecodeTextValue(first->value, &text);  // the type was checked just above
    *entries = {text};
    return kNoError;
  }
  std::vector<std::string> all;
  for (const StoredItem& item : s_.FindNote(note)->note.items) {
    if (!SameName(item.name, name) || ValueType(item.value, &type) != kNoError || type != TYPE_TEXT_LIST) continue;
    std::vector<std::string> part;
    if (Status st = DecodeTextListValue(item.value, &part); st != kNoError) return st;
    all.insert(all.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
  }
  *entries = std::move(all);
  return kNoError;
}

}  // namespace notesapi::host
