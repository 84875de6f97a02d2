// Stored structures and attachments: the in-memory form of the structures
// in item values, and files attached to notes, whose data the database keeps
// as objects stored with the note's next save.
#ifndef NOTESAPI_HOST_INTERNAL_ATTACHMENT_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_ATTACHMENT_ROLE_H_

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class AttachmentRole {
 public:
  explicit AttachmentRole(HostState& state) : s_(state) {}
  Status ReadStructure(uint16_t type, std::string_view stored, size_t* offset, std::string* memory);
  Status AttachFile(NoteHandle note, std::u16string_view path, std::string_view name, uint16_t compression,
                    bool encrypted, BlockId* item);
  Status ExtractFile(NoteHandle note, BlockId item, std::u16string_view path);
  Status DetachFile(NoteHandle note, BlockId item);

 private:
  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_ATTACHMENT_ROLE_H_
