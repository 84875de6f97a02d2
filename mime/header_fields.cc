#include "mime/header_fields.h"

namespace mime {

namespace {

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t NextLine(std::string_view block, size_t at) {
  size_t feed = block.find('\n', at);
  return feed == std::string_view::npos ? block.size() : feed + 1;
}

}  // namespace

std::pair<size_t, size_t> FindHeaderField(std::string_view block, std::string_view name) {
  for (size_t at = 0; at < block.size();) {
    size_t next = NextLine(block, at);
    if (block.size() - at > name.size() && block[at + name.size()] == ':' &&
        SameLetters(block.substr(at, name.size()), name)) {
      size_t end = next;
      while (end < block.size() && IsBlank(block[end])) end = NextLine(block, end);
      return {at, end};
    }
    at = next;
  }
  return {std::string::npos, std::string::npos};
}

std::string HeaderFieldValue(std::string_view block, std::string_view name) {
  auto [start, end] = FindHeaderField(block, name);
  if (start == std::string::npos) return {};
  std::string_view field = block.substr(start + name.size() + 1, end - start - name.size() - 1);
  std::string value;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\r' || field[i] == '\n') {
      while (i + 1 < field.size() && (field[i + 1] == '\r' || field[i + 1] == '\n' || IsBlank(field[i + 1]))) ++i;
      value += ' ';
    } else {
      value += field[i];
    }
  }
  size_t first = value.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return value.substr(first, value.find_last_not_of(" \t") + 1 - first);
}

}  // namespace mime
