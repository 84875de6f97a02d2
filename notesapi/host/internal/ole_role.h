// Embedded OLE objects: the storage kept as a "$FILE" object of host type
// HOST_CDSTORAGE, the "$OLEOBJINFO" item that describes it, its place in a
// rich-text field, and the class-to-program-identifier lookup a Windows
// registry would answer.
#ifndef NOTESAPI_HOST_INTERNAL_OLE_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_OLE_ROLE_H_

#include <array>

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class OleRole {
 public:
  explicit OleRole(HostState& state) : s_(state) {}
  Status OleInsertObject(NoteHandle note, std::u16string_view storagePath, std::string_view objectName,
                         const std::array<uint8_t, 16>& classId, std::string_view description,
                         std::string_view fieldName);
  Status OleWriteObject(NoteHandle note, std::string_view objectName, std::u16string_view path);
  Status OleRemoveObject(NoteHandle note, std::string_view objectName);
  Status ClassToProgId(std::string_view classId, std::string* progId);

 private:
  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_OLE_ROLE_H_
