// Files and folders by UTF-16 path, the process id, and child processes run
// to their end (with a time limit when asked).
#ifndef NOTESAPI_HOST_INTERNAL_FILE_PROCESS_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_FILE_PROCESS_ROLE_H_

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class FileProcessRole {
 public:
  explicit FileProcessRole(HostState& state) : s_(state) {}
  Status FileRead(std::u16string_view path, std::string* data);
  Status FileWrite(std::u16string_view path, std::string_view data);
  Status FileAppend(std::u16string_view path, std::string_view data);
  Status FileSize(std::u16string_view path, uint64_t* size);
  Status FileDelete(std::u16string_view path);
  Status FileReadPart(std::u16string_view path, uint64_t offset, size_t length, std::string* data);
  Status FileCreateNew(std::u16string_view path);
  Status FolderList(std::u16string_view path, std::vector<FolderEntry>* entries);
  Status FolderCreate(std::u16string_view path);
  Status FolderCreatePrivate(std::u16string_view path);
  Status LocalPath(std::u16string_view path, std::string* local);
  uint32_t ProcessId();
  Status ProcessRun(const ChildProcess& child, int* exitCode);

 private:
  Status WriteFileWith(std::u16string_view path, std::string_view data, int mode);

  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_FILE_PROCESS_ROLE_H_
