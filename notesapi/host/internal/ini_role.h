// notes.ini of the server, read afresh at every call so a change made by
// another process is seen at once.
#ifndef NOTESAPI_HOST_INTERNAL_INI_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_INI_ROLE_H_

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class IniRole {
 public:
  explicit IniRole(HostState& state) : s_(state) {}
  int32_t IniGetNumber(std::string_view name);
  bool IniGetText(std::string_view name, size_t maxLength, std::string* value);
  Status IniSetText(std::string_view name, std::string_view value);

 private:
  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_INI_ROLE_H_
