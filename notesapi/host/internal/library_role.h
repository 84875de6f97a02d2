// Message libraries: resource files loaded as data, their string tables read
// by id and translated to the native code page.
#ifndef NOTESAPI_HOST_INTERNAL_LIBRARY_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_LIBRARY_ROLE_H_

#include <map>

#include "notesapi/host/internal/host_state.h"
#include "notesapi/host/internal/pe_string_table.h"

namespace notesapi::host {

class LibraryRole {
 public:
  explicit LibraryRole(HostState& state) : s_(state) {}
  Status LibraryLoad(std::u16string_view path, LibraryHandle* library);
  Status LibraryString(LibraryHandle library, uint32_t id, std::string* text);
  Status LibraryFree(LibraryHandle library);

 private:
  HostState& s_;
  std::map<LibraryHandle, PeStringTable> libraries_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_LIBRARY_ROLE_H_
