// The message library reader: a resource file a site installs.
#include <cstddef>
#include <cstdint>
#include <string>

#include "notesapi/host/internal/pe_string_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  notesapi::host::PeStringTable table;
  if (table.Load(std::string(reinterpret_cast<const char*>(data), size)) != notesapi::kNoError) return 0;
  std::u16string text;
  for (uint32_t id : {0u, 1u, 15u, 16u, 1002u, 1512u, 65535u}) (void)table.Find(id, &text);
  return 0;
}
