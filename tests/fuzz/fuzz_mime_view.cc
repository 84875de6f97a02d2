// MIME structure and the converted view of a message: mail is hostile.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "notesapi/host/internal/charsets.h"
#include "notesapi/host/internal/mime_conversion.h"
#include "notesapi/host/internal/mime_structure.h"

namespace {

notesapi::host::Charsets& SharedCharsets() {
  static std::unique_ptr<notesapi::host::Charsets> charsets = [] {
    std::unique_ptr<notesapi::host::Charsets> created;
    if (notesapi::host::Charsets::Create("windows-1251", &created) != notesapi::kNoError) __builtin_trap();
    return created;
  }();
  return *charsets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view message(reinterpret_cast<const char*>(data), size);
  notesapi::host::MimeStructure structure;
  notesapi::host::ParseMimeStructure(message, "windows-1251", &structure);
  // The stored segments tile the message exactly: nothing lost, nothing twice.
  size_t at = 0;
  for (const notesapi::host::MimeSegment& segment : notesapi::host::MimeSegments(structure)) {
    if (segment.start != at || segment.end < segment.start) __builtin_trap();
    at = segment.end;
  }
  if (size > 0 && at != size && !structure.entities.empty()) __builtin_trap();
  notesapi::host::ConvertedMessage converted;
  notesapi::host::ConvertMimeMessage(message, SharedCharsets(), &converted);
  return 0;
}
