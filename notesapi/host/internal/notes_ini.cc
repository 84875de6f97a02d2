#include "notesapi/host/internal/notes_ini.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace notesapi::host {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// The name of a "Name=Value" line, or empty for comments and other lines.
std::string_view LineName(std::string_view line) {
  std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#' || trimmed[0] == '[') return {};
  size_t eq = trimmed.find('=');
  if (eq == std::string_view::npos) return {};
  return Trim(trimmed.substr(0, eq));
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

}  // namespace

int32_t ParseIniNumber(std::string_view text) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint64_t>(c - '0');  // wraps: only the low 32 bits count
  }
  if (negative) value = ~value + 1;
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

std::vector<std::string> NotesIni::Lines() const {
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0) return {};
  int64_t modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  std::lock_guard<std::mutex> lock(mutex_);
  if (snapshot_.inode != info.st_ino || snapshot_.modifiedNanos != modified || snapshot_.size != info.st_size) {
    snapshot_ = Snapshot{info.st_ino, modified, static_cast<int64_t>(info.st_size), ReadLines(path_)};
  }
  return snapshot_.lines;
}

std::optional<std::string> NotesIni::Get(std::string_view name) const {
  for (const std::string& line : Lines()) {
    if (!SameName(LineName(line), name)) continue;
    std::string_view value(line);
    value.remove_prefix(value.find('=') + 1);
    if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
    return std::string(value);
  }
  return std::nullopt;
}

Status NotesIni::Set(std::string_view name, std::string_view value) const {
  std::string_view trimmedName = Trim(name);
  bool badName = trimmedName.empty() || trimmedName.find_first_of("=\r\n;#[") != std::string_view::npos;
  if (badName || value.find_first_of("\r\n") != std::string_view::npos) return kBadArgument;
  std::vector<std::string> lines = ReadLines(path_);
  std::string entry = std::string(trimmedName) + "=" + std::string(value);
  bool replaced = false;
  for (std::string& line : lines) {
    if (SameName(LineName(line), trimmedName)) {
      line = entry;
      replaced = true;
      break;
    }
  }
  if (!replaced) lines.push_back(entry);
  // Written to a side file and renamed, so a reader never sees half a file.
  std::string temporary = path_ + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
    if (!out.flush()) return kFileError;
  }
  if (std::rename(temporary.c_str(), path_.c_str()) != 0) return kFileError;
  return kNoError;
}

}  // namespace notesapi::host
