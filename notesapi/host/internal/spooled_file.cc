#include "notesapi/host/internal/spooled_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <vector>

namespace notesapi::host {

namespace {

constexpr char kPrefix[] = "object-";
constexpr char kSuffix[] = ".spool";
constexpr size_t kPiece = size_t{1} << 20;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string NewSpoolPath(const std::string& runFolder) {
  static std::atomic<uint64_t> next{0};
  return runFolder + "/" + kPrefix + std::to_string(::getpid()) + "-" + std::to_string(++next) + kSuffix;
}

// Copies `size` bytes; the kernel copies where the file system lets it,
// through a buffer elsewhere.
bool CopyAll(int from, int to, uint64_t size) {
  uint64_t done = 0;
  while (done < size) {
    ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, static_cast<size_t>(size - done), 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied <= 0) break;
    done += static_cast<uint64_t>(copied);
  }
  if (done == size) return true;
  if (::lseek(from, static_cast<off_t>(done), SEEK_SET) < 0 || ::lseek(to, static_cast<off_t>(done), SEEK_SET) < 0) {
    return false;
  }
  std::vector<char> buffer(kPiece);
  while (done < size) {
    ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    for (ssize_t written = 0; written < got;) {
      ssize_t n = ::write(to, buffer.data() + written, static_cast<size_t>(got - written));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      written += n;
    }
    done += static_cast<uint64_t>(got);
  }
  return done == size;
}

}  // namespace

SpooledFile::~SpooledFile() { ::unlink(path_.c_str()); }

Status SpooledFile::Read(uint64_t at, size_t length, char* into) const {
  if (at > size_ || size_ - at < length) return kBadArgument;
  Fd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return kFileError;
  size_t done = 0;
  while (done < length) {
    ssize_t got = ::pread(fd.get(), into + done, length - done, static_cast<off_t>(at + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return kFileError;
    done += static_cast<size_t>(got);
  }
  return kNoError;
}

Status SpooledFile::AppendTo(std::string* data) const {
  size_t at = data->size();
  // A little room beyond, as for objects read from the database: what
  // follows a part's content must not make a large string double.
  if (data->capacity() < at + size_) data->reserve(at + size_ + 4096);
  data->resize(at + size_);
  Status s = Read(0, size_, data->data() + at);
  if (s != kNoError) data->resize(at);
  return s;
}

Status SpooledFile::WriteTo(const std::string& path) const {
  Fd from(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  Fd to(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
  struct stat info {};
  if (from.get() < 0 || to.get() < 0) return kFileError;
  if (::fstat(to.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink > 1 || ::ftruncate(to.get(), 0) != 0) {
    return kFileError;
  }
  return CopyAll(from.get(), to.get(), size_) ? kNoError : kFileError;
}

Status SpoolCopy(const std::string& runFolder, const std::string& source, std::shared_ptr<const SpooledFile>* spooled) {
  Fd from(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (from.get() < 0) return errno == ENOENT || errno == ENOTDIR ? kFileNotFound : kFileError;
  struct stat info {};
  if (::fstat(from.get(), &info) != 0 || !S_ISREG(info.st_mode)) return kFileError;
  std::string path = NewSpoolPath(runFolder);
  Fd to(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (to.get() < 0) return kFileError;
  // Owned from here: removed on every way out.
  auto copy = std::make_shared<const SpooledFile>(path, static_cast<uint64_t>(info.st_size));
  if (!CopyAll(from.get(), to.get(), copy->size())) return kFileError;
  *spooled = std::move(copy);
  return kNoError;
}

Status SpoolData(const std::string& runFolder, std::string_view data, std::shared_ptr<const SpooledFile>* spooled) {
  std::string path = NewSpoolPath(runFolder);
  Fd to(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (to.get() < 0) return kFileError;
  auto copy = std::make_shared<const SpooledFile>(path, data.size());
  for (size_t done = 0; done < data.size();) {
    ssize_t wrote = ::write(to.get(), data.data() + done, std::min(data.size() - done, kPiece));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return kFileError;
    done += static_cast<size_t>(wrote);
  }
  *spooled = std::move(copy);
  return kNoError;
}

void RemoveLeftoverSpools(const std::string& runFolder) {
  DIR* folder = ::opendir(runFolder.c_str());
  if (folder == nullptr) return;
  const std::string prefix = kPrefix;
  const std::string suffix = kSuffix;
  while (dirent* entry = ::readdir(folder)) {
    std::string name = entry->d_name;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    // A process that still runs (or a number now used by another) keeps its copies.
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      ::unlink((runFolder + "/" + name).c_str());
    }
  }
  ::closedir(folder);
}

}  // namespace notesapi::host
