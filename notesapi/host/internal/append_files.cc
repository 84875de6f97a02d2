#include "notesapi/host/internal/append_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace notesapi::host {

AppendFiles::~AppendFiles() {
  for (auto& [path, file] : files_) ::close(file.fd);
}

void AppendFiles::Close(const std::string& path) {
  auto it = files_.find(path);
  if (it == files_.end()) return;
  ::close(it->second.fd);
  files_.erase(it);
}

Status AppendFiles::Append(const std::string& path, std::string_view data) {
  struct stat now {};
  bool exists = ::lstat(path.c_str(), &now) == 0;
  auto it = files_.find(path);
  if (it != files_.end() && (!exists || now.st_dev != it->second.device || now.st_ino != it->second.inode)) {
    Close(path);
    it = files_.end();
  }
  if (it == files_.end()) {
    if (files_.size() >= kMaxOpen) {
      for (auto& [name, file] : files_) ::close(file.fd);
      files_.clear();
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (fd < 0) return errno == ENOENT ? kFileNotFound : kFileError;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink > 1) {
      ::close(fd);
      return kFileError;
    }
    it = files_.emplace(path, OpenFile{fd, info.st_dev, info.st_ino}).first;
  }
  size_t done = 0;
  while (done < data.size()) {
    ssize_t wrote = ::write(it->second.fd, data.data() + done, data.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      Close(path);  // opened afresh next time
      return kFileError;
    }
    done += static_cast<size_t>(wrote);
  }
  return kNoError;
}

}  // namespace notesapi::host
