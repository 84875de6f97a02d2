// Items of open notes: found by name, position or block, read and written
// in their canonical value layout, copied between notes, deleted.
#ifndef NOTESAPI_HOST_INTERNAL_ITEM_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_ITEM_ROLE_H_

#include <vector>

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class ItemRole {
 public:
  explicit ItemRole(HostState& state) : s_(state) {}
  Status ItemInfoNext(NoteHandle note, BlockId previous, std::string_view name, ItemInfo* info);
  Status ItemQuery(BlockId item, ItemInfo* info);
  Status ItemValue(BlockId value, std::string* bytes);
  Status ItemDelete(NoteHandle note, std::string_view name);
  Status ItemDeleteByBlock(NoteHandle note, BlockId item);
  Status ItemCopy(NoteHandle target, BlockId item);
  Status ItemAppend(NoteHandle note, uint16_t flags, std::string_view name, std::string_view value, BlockId* item);
  Status ItemAppendFromMemory(NoteHandle note, uint16_t flags, std::string_view name, MemHandle block, size_t length);
  Status ItemGetText(NoteHandle note, std::string_view name, size_t maxLength, std::string* text);
  double ItemGetNumber(NoteHandle note, std::string_view name, double defaultValue);
  bool ItemGetTime(NoteHandle note, std::string_view name, TimeDate* value);
  uint16_t ItemTextListCount(NoteHandle note, std::string_view name);
  Status ItemTextListEntry(NoteHandle note, std::string_view name, uint16_t index, std::string* text);
  Status ItemSetText(NoteHandle note, std::string_view name, std::string_view text);
  Status ItemSetNumber(NoteHandle note, std::string_view name, double value);
  Status ItemSetTime(NoteHandle note, std::string_view name, const TimeDate& value);
  Status ItemCreateTextList(NoteHandle note, std::string_view name, std::string_view firstEntry);
  Status ItemAppendTextList(NoteHandle note, std::string_view name, std::string_view entry, bool allowDuplicates);

 private:
  Status CopyObjectData(NoteHandle source, NoteHandle target, StoredItem* copy);
  Status TextList(NoteHandle note, std::string_view name, std::vector<std::string>* entries);

  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_ITEM_ROLE_H_
