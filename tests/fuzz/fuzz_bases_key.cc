// The site's bases key file, the signature blocks of a bases index and the
// file listing inside it, read and written back as "zulctl bases sign" does.
#include <cstddef>
#include <cstdint>
#include <string>

#include "settings/bases_date.h"
#include "settings/bases_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  zul::BasesKey key;
  (void)zul::ParseBasesKey(text, &key);
  size_t unsignedLength = zul::UnsignedLength(text);
  if (unsignedLength > size) __builtin_trap();
  zul::BasesListing listing;
  if (zul::ReadBasesListing(text.substr(0, unsignedLength), &listing)) {
    for (const auto& [name, file] : listing) {
      if (name.empty() || file.sha256.size() != 64) __builtin_trap();
    }
  }
  std::string rewritten;
  std::string dropped;
  zul::BasesListing files{{"a.hdb", zul::ListedFile{1, std::string(64, 'a')}}};
  if (zul::WriteBasesListing(text.substr(0, unsignedLength), files, &rewritten, &dropped)) {
    zul::BasesListing back;
    if (!zul::ReadBasesListing(rewritten, &back) || back.size() != 1) __builtin_trap();
  }
  return 0;
}
