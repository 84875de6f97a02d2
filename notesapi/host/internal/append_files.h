// Files written a line at a time (the task logs, the server log) stay open
// between lines: a line is one write, nothing is reopened for it. A file
// renamed or removed under its path (a log rotation) is opened anew at the
// next line; like every write of the host, none goes through a planted link.
#ifndef NOTESAPI_HOST_INTERNAL_APPEND_FILES_H_
#define NOTESAPI_HOST_INTERNAL_APPEND_FILES_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <string_view>

#include "notesapi/status.h"

namespace notesapi::host {

class AppendFiles {
 public:
  AppendFiles() = default;
  ~AppendFiles();
  AppendFiles(const AppendFiles&) = delete;
  AppendFiles& operator=(const AppendFiles&) = delete;

  [[nodiscard]] Status Append(const std::string& path, std::string_view data);

 private:
  struct OpenFile {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
  };
  static constexpr size_t kMaxOpen = 16;
  void Close(const std::string& path);

  std::map<std::string, OpenFile> files_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_APPEND_FILES_H_
