#include "notesapi/host/internal/library_role.h"

namespace notesapi::host {

Status LibraryRole::LibraryLoad(std::u16string_view path, LibraryHandle* library) {
  Platform* p = s_.platform;
  std::string image;
  Status st = kFileNotFound;
  // A bare file name is searched like a library: program directory first,
  // then the working folder.
  std::string programDirectory;
  bool bare = path.find_first_of(u"/\\") == std::u16string_view::npos;
  if (bare && p->IniGetText("NotesProgram", 1024, &programDirectory) && !programDirectory.empty()) {
    st = p->FileRead(s_.charsets->Utf8ToUtf16(programDirectory + "/") + std::u16string(path), &image);
  }
  if (st == kFileNotFound) st = p->FileRead(path, &image);
  if (st != kNoError) return st == kFileNotFound ? kLibraryNotFound : st;
  PeStringTable table;
  if (Status loaded = table.Load(std::move(image)); loaded != kNoError) return loaded;
  LibraryHandle handle = s_.NewHandle();
  libraries_[handle] = std::move(table);
  *library = handle;
  return kNoError;
}

Status LibraryRole::LibraryString(LibraryHandle library, uint32_t id, std::string* text) {
  auto it = libraries_.find(library);
  if (it == libraries_.end()) return kInvalidHandle;
  std::u16string unicode;
  if (Status st = it->second.Find(id, &unicode); st != kNoError) return st;
  std::string bytes(reinterpret_cast<const char*>(unicode.data()), unicode.size() * 2);
  return s_.charsets->Convert(Charset::kUtf16, Charset::kNative, bytes, text);
}

Status LibraryRole::LibraryFree(LibraryHandle library) {
  return libraries_.erase(library) ? kNoError : kInvalidHandle;
}

}  // namespace notesapi::host
