// notes.ini: "Name=Value" lines, names case-insensitive, comments starting
// with ';' or '#'. Read afresh on every call so that a value written by a tool
// is seen at once; written back whole, keeping comments and order.
#ifndef NOTESAPI_HOST_INTERNAL_NOTES_INI_H_
#define NOTESAPI_HOST_INTERNAL_NOTES_INI_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "notesapi/status.h"

namespace notesapi::host {

class NotesIni {
 public:
  explicit NotesIni(std::string path) : path_(std::move(path)) {}

  // The text of the variable, or nothing when it is not set.
  std::optional<std::string> Get(std::string_view name) const;
  // Sets or adds the variable; kBadArgument for a name or value that would
  // break the file (empty name, '=' in the name, a line break anywhere).
  [[nodiscard]] Status Set(std::string_view name, std::string_view value) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A notes.ini number: optional sign and leading decimal digits, wrapped to
// the low 32 bits; 0 when there are no digits.
int32_t ParseIniNumber(std::string_view text);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_NOTES_INI_H_
