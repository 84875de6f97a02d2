// notes.ini: "Name=Value" lines, names case-insensitive, comments starting
// with ';' or '#'. Read again whenever the file changed (another inode, time
// or size), so that a value written by a tool is seen at once; written back
// whole, keeping comments and order. Safe to read from several threads.
#ifndef NOTESAPI_HOST_INTERNAL_NOTES_INI_H_
#define NOTESAPI_HOST_INTERNAL_NOTES_INI_H_

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "notesapi/status.h"

namespace notesapi::host {

class NotesIni {
 public:
  explicit NotesIni(std::string path) : path_(std::move(path)) {}
  NotesIni(const NotesIni& other) : path_(other.path_) {}

  // The text of the variable, or nothing when it is not set.
  std::optional<std::string> Get(std::string_view name) const;
  // Sets or adds the variable; kBadArgument for a name or value that would
  // break the file (empty name, '=' in the name, a line break anywhere).
  [[nodiscard]] Status Set(std::string_view name, std::string_view value) const;
  const std::string& path() const { return path_; }

 private:
  // The file's lines as last read, and what it looked like then.
  struct Snapshot {
    ino_t inode = 0;
    int64_t modifiedNanos = -1;
    int64_t size = -1;
    std::vector<std::string> lines;
  };
  std::vector<std::string> Lines() const;

  std::string path_;
  mutable std::mutex mutex_;
  mutable Snapshot snapshot_;
};

// A notes.ini number: optional sign and leading decimal digits, wrapped to
// the low 32 bits; 0 when there are no digits.
int32_t ParseIniNumber(std::string_view text);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_NOTES_INI_H_
