// The site's bases key file and the signature blocks of a bases index.
#include <cstddef>
#include <cstdint>
#include <string>

#include "settings/bases_date.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  zul::BasesKey key;
  (void)zul::ParseBasesKey(text, &key);
  if (zul::UnsignedLength(text) > size) __builtin_trap();
  return 0;
}
