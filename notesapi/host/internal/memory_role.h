// Memory blocks handed out by handle, as the server's memory manager does.
#ifndef NOTESAPI_HOST_INTERNAL_MEMORY_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_MEMORY_ROLE_H_

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class MemoryRole {
 public:
  explicit MemoryRole(HostState& state) : s_(state) {}
  Status MemAlloc(size_t size, MemHandle* block);
  uint8_t* MemLock(MemHandle block);
  size_t MemSize(MemHandle block);
  Status MemFree(MemHandle block);

 private:
  static constexpr size_t kMaxMemoryBlock = 256u * 1024 * 1024;
  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_MEMORY_ROLE_H_
