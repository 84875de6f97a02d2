// Text services: character-set translation between the native code page,
// LMBCS, UTF-16 and UTF-8, status texts, and the server console with its log.
#ifndef NOTESAPI_HOST_INTERNAL_TEXT_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_TEXT_ROLE_H_

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class TextRole {
 public:
  explicit TextRole(HostState& state) : s_(state) {}
  Status Translate(uint16_t mode, std::string_view in, std::string* out);
  std::string StatusText(Status status);
  void ConsoleLine(std::string_view text);

 private:
  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_TEXT_ROLE_H_
