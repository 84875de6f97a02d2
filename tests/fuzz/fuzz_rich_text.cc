// Rich text from mail turned into the plain text the scanner reads, and the
// stored structures read the platform's way.
#include <cstddef>
#include <cstdint>
#include <string>

#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"
#include "tests/fuzz/fuzz_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  notesapi::Platform* p = zul::fuzzing::FuzzPlatform();
  static notesapi::DbHandle db = [p] {
    notesapi::DbHandle handle = notesapi::kNullHandle;
    (void)p->DbCreate("fuzz.nsf", "Fuzz");
    if (p->DbOpen("fuzz.nsf", &handle) != notesapi::kNoError) __builtin_trap();
    return handle;
  }();
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  notesapi::ScopedNote note(p);
  if (p->NoteCreate(db, note.put()) != notesapi::kNoError) __builtin_trap();
  std::string value = std::string("\x01\x00", 2) + std::string(bytes);  // TYPE_COMPOSITE first
  notesapi::BlockId item;
  if (p->ItemAppend(note.get(), 0, "Body", value, &item) == notesapi::kNoError) {
    notesapi::ItemInfo info;
    if (p->ItemQuery(item, &info) == notesapi::kNoError) {
      notesapi::MemHandle text = notesapi::kNullHandle;
      uint32_t length = 0;
      if (p->ConvertRichTextToText(info.value, "\n", 65535, &text, &length) == notesapi::kNoError) {
        if (length > p->MemSize(text)) __builtin_trap();
        (void)p->MemFree(text);
      }
    }
  }
  for (uint16_t type : {notesapi::kStructObjectDescriptor, notesapi::kStructFileObject, notesapi::kStructOleObjectInfo,
                        notesapi::kStructMimePart}) {
    size_t offset = 0;
    std::string memory;
    if (p->ReadStructure(type, bytes, &offset, &memory) == notesapi::kNoError && offset > size) __builtin_trap();
  }
  return 0;
}
