// Stored structures and rich-text records as items of a mail carry them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "notesapi/rich_text.h"
#include "notesapi/stored_structures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  notesapi::ObjectDescriptor descriptor;
  notesapi::FileObject file;
  notesapi::OleObjectInfo ole;
  notesapi::MimePartHeader part;
  (void)notesapi::ParseObjectDescriptor(bytes, &descriptor);
  (void)notesapi::ParseFileObject(bytes, &file);
  (void)notesapi::ParseOleObjectInfo(bytes, &ole);
  (void)notesapi::ParseMimePartHeader(bytes, &part);
  std::string_view name;
  if (notesapi::AttachmentName(bytes, &file, &name) == notesapi::kNoError &&
      (name.data() < bytes.data() || name.data() + name.size() > bytes.data() + bytes.size())) {
    __builtin_trap();  // a name outside the value
  }
  size_t seen = 0;
  (void)notesapi::ForEachCdRecord(bytes, [&](const notesapi::CdRecord& record) {
    if (record.body.data() < bytes.data() || record.body.data() + record.body.size() > bytes.data() + bytes.size()) {
      __builtin_trap();  // a record outside the value
    }
    seen += record.body.size();
  });
  return 0;
}
