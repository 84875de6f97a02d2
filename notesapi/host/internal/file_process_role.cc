#include "notesapi/host/internal/file_process_role.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "notesapi/host/internal/process_runner.h"

namespace notesapi::host {

namespace {

Status FileErrno(int error) { return error == ENOENT || error == ENOTDIR ? kFileNotFound : kFileError; }

// The folder of the running program: a utility shipped beside it is found there.
std::string ProgramFolder() {
  char path[4096];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  std::string self(path, static_cast<size_t>(length));
  size_t slash = self.rfind('/');
  return slash == std::string::npos ? std::string() : self.substr(0, slash);
}

}  // namespace

Status FileProcessRole::FileRead(std::u16string_view path, std::string* data) {
  std::string file = s_.LocalPath(path);
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FileErrno(errno);
  std::string result;
  // Sized once for what the file holds now, so a large file costs its size
  // in memory, not up to twice that while the string grows.
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    result.reserve(static_cast<size_t>(info.st_size));
  }
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return kFileError;
    }
    if (got == 0) break;
    result.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  *data = std::move(result);
  return kNoError;
}

Status FileProcessRole::FileWrite(std::u16string_view path, std::string_view data) {
  return WriteFileWith(path, data, O_TRUNC);
}

Status FileProcessRole::FileAppend(std::u16string_view path, std::string_view data) {
  return s_.appendFiles.Append(s_.LocalPath(path), data);
}

Status FileProcessRole::FileSize(std::u16string_view path, uint64_t* size) {
  struct stat info {};
  if (::stat(s_.LocalPath(path).c_str(), &info) != 0) return FileErrno(errno);
  *size = static_cast<uint64_t>(info.st_size);
  return kNoError;
}

Status FileProcessRole::FileDelete(std::u16string_view path) {
  return ::unlink(s_.LocalPath(path).c_str()) == 0 ? kNoError : FileErrno(errno);
}

Status FileProcessRole::FileReadPart(std::u16string_view path, uint64_t offset, size_t length, std::string* data) {
  int fd = ::open(s_.LocalPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FileErrno(errno);
  std::string part(length, '\0');
  size_t done = 0;
  while (done < length) {
    ssize_t got = ::pread(fd, part.data() + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return kFileError;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  ::close(fd);
  part.resize(done);
  *data = std::move(part);
  return kNoError;
}

Status FileProcessRole::FileCreateNew(std::u16string_view path) {
  int fd = ::open(s_.LocalPath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) return errno == EEXIST ? kFileExists : FileErrno(errno);
  return ::close(fd) == 0 ? kNoError : kFileError;
}

Status FileProcessRole::FolderList(std::u16string_view path, std::vector<FolderEntry>* entries) {
  std::string folder = s_.LocalPath(path);
  struct CloseDir {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };
  std::unique_ptr<DIR, CloseDir> dir(::opendir(folder.c_str()));
  if (!dir) return FileErrno(errno);
  std::vector<FolderEntry> found;
  errno = 0;
  while (struct dirent* entry = ::readdir(dir.get())) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info {};
    if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return FileErrno(errno);
    FolderEntry listed;
    listed.name = s_.charsets->Utf8ToUtf16(name);
    listed.identity = static_cast<uint64_t>(info.st_ino);
    listed.changed = static_cast<uint64_t>(info.st_ctim.tv_sec) * 1000000000u + static_cast<uint64_t>(info.st_ctim.tv_nsec);
    if (S_ISREG(info.st_mode)) {
      listed.kind = FolderEntryKind::kFile;
      listed.size = static_cast<uint64_t>(info.st_size);
    } else if (S_ISDIR(info.st_mode)) {
      listed.kind = FolderEntryKind::kFolder;
    } else if (S_ISLNK(info.st_mode)) {
      listed.kind = FolderEntryKind::kLink;
    }
    found.push_back(std::move(listed));
  }
  if (errno != 0) return kFileError;
  *entries = std::move(found);
  return kNoError;
}

Status FileProcessRole::FolderCreate(std::u16string_view path) {
  return MakeFolders(s_.LocalPath(path)) ? kNoError : kFileError;
}

Status FileProcessRole::FolderCreatePrivate(std::u16string_view path) {
  std::string local = s_.LocalPath(path);
  while (local.size() > 1 && local.back() == '/') local.pop_back();
  size_t slash = local.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(local.substr(0, slash))) return kFileError;
  if (::mkdir(local.c_str(), 0700) != 0 && errno != EEXIST) return FileErrno(errno);
  struct stat info {};
  if (::lstat(local.c_str(), &info) != 0) return FileErrno(errno);
  // Another user could plant links among the files written here, or read them.
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) return kFolderNotPrivate;
  if ((info.st_mode & 077) != 0 && ::chmod(local.c_str(), 0700) != 0) return FileErrno(errno);
  return kNoError;
}

Status FileProcessRole::LocalPath(std::u16string_view path, std::string* local) {
  *local = s_.LocalPath(path);
  return local->empty() && !path.empty() ? kCharsetError : kNoError;
}

uint32_t FileProcessRole::ProcessId() { return static_cast<uint32_t>(::getpid()); }

Status FileProcessRole::ProcessRun(const ChildProcess& child, int* exitCode) {
  std::vector<std::string> words = SplitCommandLine(s_.charsets->Utf16ToUtf8(child.commandLine));
  // Like CreateProcess, the first word of the command line is the program's
  // own name when an application is given; the rest are its arguments.
  std::string program = s_.LocalPath(child.application);
  if (program.empty()) {
    if (words.empty()) return kProcessNotStarted;
    program = words.front();
  }
  if (!words.empty()) words.erase(words.begin());
  std::vector<std::string> folders;
  std::string notesProgram;
  if (s_.platform->IniGetText("NotesProgram", 1024, &notesProgram)) folders.push_back(notesProgram);
  folders.push_back(ProgramFolder());
  std::string output = child.outputPath.empty() ? std::string() : s_.LocalPath(child.outputPath);
  return RunChild(program, words, output, folders, child.timeoutSeconds, exitCode);
}

Status FileProcessRole::WriteFileWith(std::u16string_view path, std::string_view data, int mode) {
  // Never written through a link planted in the file's place: a symbolic
  // link is refused at the open, a hard link once it is open.
  int append = mode & O_APPEND;
  int fd = ::open(s_.LocalPath(path).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | append, 0640);
  if (fd < 0) return FileErrno(errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink > 1 ||
      ((mode & O_TRUNC) && ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return kFileError;
  }
  size_t done = 0;
  while (done < data.size()) {
    ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      ::close(fd);
      return kFileError;
    }
    done += static_cast<size_t>(wrote);
  }
  return ::close(fd) == 0 ? kNoError : kFileError;
}

}  // namespace notesapi::host
