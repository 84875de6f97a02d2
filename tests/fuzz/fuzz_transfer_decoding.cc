// The lenient decoders of mail content.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mime/transfer_decoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (notesapi::DecodeBase64Leniently(text).size() > size) __builtin_trap();
  if (notesapi::DecodeQuotedPrintableLeniently(text).size() > size) __builtin_trap();
  for (const notesapi::EmbeddedFile& file : notesapi::FindEmbeddedFiles(text)) {
    if (file.data.size() > size) __builtin_trap();
  }
  return 0;
}
