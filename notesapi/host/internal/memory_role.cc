#include "notesapi/host/internal/memory_role.h"

namespace notesapi::host {

Status MemoryRole::MemAlloc(size_t size, MemHandle* block) {
  if (size > kMaxMemoryBlock) return kItemTooLarge;
  MemHandle handle = s_.NewHandle();
  s_.memory[handle].assign(size, 0);
  *block = handle;
  return kNoError;
}

uint8_t* MemoryRole::MemLock(MemHandle block) {
  auto it = s_.memory.find(block);
  return it == s_.memory.end() ? nullptr : it->second.data();
}

size_t MemoryRole::MemSize(MemHandle block) {
  auto it = s_.memory.find(block);
  return it == s_.memory.end() ? 0 : it->second.size();
}

Status MemoryRole::MemFree(MemHandle block) { return s_.memory.erase(block) ? kNoError : kInvalidHandle; }

}  // namespace notesapi::host
