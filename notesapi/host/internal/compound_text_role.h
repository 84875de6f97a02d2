// Rich text: the plain text of a rich-text value, and compound texts built
// record by record, either on a note's item or free-standing with the result
// in a memory block (or a file when it is larger than one item holds).
#ifndef NOTESAPI_HOST_INTERNAL_COMPOUND_TEXT_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_COMPOUND_TEXT_ROLE_H_

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class CompoundTextRole {
 public:
  explicit CompoundTextRole(HostState& state) : s_(state) {}
  Status ConvertRichTextToText(BlockId value, std::string_view delimiter, uint16_t lineLength, MemHandle* text,
                               uint32_t* length);
  Status CompoundTextCreate(NoteHandle note, std::string_view itemName, CompoundTextHandle* text);
  Status CompoundTextDefineStyle(CompoundTextHandle text, std::string_view styleName, uint32_t* styleId);
  Status CompoundTextAddText(CompoundTextHandle text, uint32_t styleId, uint32_t fontId, std::string_view content,
                             std::string_view lineDelimiter);
  Status CompoundTextAssimilateItem(CompoundTextHandle text, NoteHandle note, std::string_view itemName);
  Status CompoundTextAssimilateFile(CompoundTextHandle text, std::u16string_view path);
  Status CompoundTextClose(CompoundTextHandle text, MemHandle* buffer, uint32_t* length, std::u16string* file);

 private:
  CompoundText* Find(CompoundTextHandle text);
  // A new memory block holding `bytes`.
  Status ToMemory(std::string_view bytes, MemHandle* block);

  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_COMPOUND_TEXT_ROLE_H_
