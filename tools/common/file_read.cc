#include "tools/common/file_read.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace tools {

bool ReadWholeFile(const std::string& path, std::string* data, std::string* why) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    *why = "is a folder, not a file";
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *why = std::string("cannot be opened: ") + std::strerror(errno);
    return false;
  }
  std::string content;
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *why = "cannot be read";
    return false;
  }
  *data = std::move(content);
  return true;
}

}  // namespace tools
