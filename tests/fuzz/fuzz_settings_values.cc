// Settings values as stored: universal IDs and keyword lists.
#include <cstddef>
#include <cstdint>
#include <string>

#include "settings/settings_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  notesapi::Unid unid;
  if (zul::UnidFromText(text, &unid) && zul::UnidToText(unid).size() != 32) __builtin_trap();
  return 0;
}
