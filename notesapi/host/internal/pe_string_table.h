// Reads string tables (RT_STRING) out of a Windows resource library, so one
// message library file serves every platform. Every offset in the file is
// checked against its size; a damaged file gives kLibraryBadFormat.
#ifndef NOTESAPI_HOST_INTERNAL_PE_STRING_TABLE_H_
#define NOTESAPI_HOST_INTERNAL_PE_STRING_TABLE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "notesapi/status.h"

namespace notesapi::host {

class PeStringTable {
 public:
  // Takes the whole file; checks the headers and finds the resource section.
  [[nodiscard]] Status Load(std::string image);
  // The UTF-16 string of that id; kLibraryStringNotFound when the table has
  // none (an empty string counts as none, as Windows treats it).
  [[nodiscard]] Status Find(uint32_t id, std::u16string* text) const;

 private:
  bool RvaToOffset(uint32_t rva, uint32_t size, uint32_t* offset) const;
  // The entry of a resource directory with that id; its offset field.
  bool FindEntry(uint32_t directory, uint32_t id, bool firstAny, uint32_t* target) const;
  bool Read16(uint64_t offset, uint16_t* value) const;
  bool Read32(uint64_t offset, uint32_t* value) const;

  std::string image_;
  uint32_t sectionTable_ = 0;
  uint16_t sectionCount_ = 0;
  uint32_t resourceOffset_ = 0;  // file offset of the resource directory
  uint32_t resourceSize_ = 0;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_PE_STRING_TABLE_H_
