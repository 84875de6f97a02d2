#include "notesapi/host/internal/ini_role.h"

namespace notesapi::host {

int32_t IniRole::IniGetNumber(std::string_view name) {
  std::optional<std::string> text = s_.ini.Get(name);
  return text ? ParseIniNumber(*text) : 0;
}

bool IniRole::IniGetText(std::string_view name, size_t maxLength, std::string* value) {
  std::optional<std::string> text = s_.ini.Get(name);
  if (!text) return false;
  *value = text->substr(0, maxLength);
  return true;
}

Status IniRole::IniSetText(std::string_view name, std::string_view value) { return s_.ini.Set(name, value); }

}  // namespace notesapi::host
