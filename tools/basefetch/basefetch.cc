// basefetch: the update utility the updater runs. It brings a new set of
// anti-virus bases into the bases folder, keeping the set it replaces as the
// backup, and can roll back to that backup. Its result goes into
// "basefetch.txt" in the working folder: 0 new bases installed (or rolled
// back), 10 nothing newer, anything else a failure.
//
//   basefetch -u|-r -P PRODUCT [-tf LOGFILE] [-tl LEVEL] [-c CONFIG]
//
// The configuration ("basefetch.conf" in the working folder, else beside the
// program, or -c) names the bases folder and the source of new sets:
//   Bases=/path/to/bases
//   Mirror=/path/to/mirror          a folder holding a bases set and its signed master.xml
//   Source=freshclam                or: run freshclam into a staging folder
// A new set is staged beside the bases folder and swapped in with one atomic
// exchange, so the bases folder is never half-written, even when the
// utility is killed.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "notesapi/host/host_platform.h"
#include "tools/common/guarded_main.h"

namespace fs = std::filesystem;

namespace {

constexpr int kInstalled = 0;
constexpr int kNothingNewer = 10;
constexpr int kBadUsage = 1;
constexpr int kBadConfiguration = 2;
constexpr int kSourceFailed = 3;
constexpr int kNoBackup = 4;
constexpr int kInstallFailed = 5;

std::string g_logFile;

// One line to the log file, never through a link planted in its place; a
// line break or other control character from an argument cannot start a
// line of its own there.
void Log(std::string line) {
  if (g_logFile.empty()) return;
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  std::time_t now = std::time(nullptr);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%d.%m.%Y %H:%M:%S", std::localtime(&now));
  std::string text = std::string(stamp) + "  basefetch: " + line + "\n";
  int fd = ::open(g_logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) return;
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::cerr << "basefetch: cannot write the log file " << g_logFile << "\n";
  }
  ::close(fd);
}

int Finish(int code, const std::string& why) {
  Log(why + " (code " + std::to_string(code) + ")");
  std::cout << why << "\n";
  // Never written through a link planted in the working folder.
  int fd = ::open("basefetch.txt", O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd >= 0) {
    std::string text = std::to_string(code) + "\n";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) Log("cannot write basefetch.txt");
    ::close(fd);
  }
  return code;
}

std::map<std::string, std::string> ReadConfiguration(const std::string& path) {
  std::map<std::string, std::string> values;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::string FindConfiguration(const std::string& given) {
  if (!given.empty()) return given;
  if (fs::exists("basefetch.conf")) return "basefetch.conf";
  char self[4096];
  ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    fs::path beside = fs::path(std::string(self, static_cast<size_t>(length))).parent_path() / "basefetch.conf";
    if (fs::exists(beside)) return beside.string();
  }
  return {};
}

constexpr size_t kLargestIndex = 16 << 20;

// A regular file read through one descriptor opened without following a
// link, at most `limit` bytes; false for anything else.
bool ReadRegularFile(const fs::path& path, size_t limit, std::string* text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  bool read = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<size_t>(info.st_size) <= limit;
  char buffer[65536];
  while (read && text->size() <= limit) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      read = got == 0;
      break;
    }
    text->append(buffer, static_cast<size_t>(got));
  }
  if (fd >= 0) ::close(fd);
  return read && text->size() <= limit;
}

// "DDMMYYYY HHMM" of the index as a sortable YYYYMMDDHHMM, or -1.
long long IndexDate(const fs::path& index) {
  std::string text;
  if (!ReadRegularFile(index, kLargestIndex, &text)) return -1;
  size_t at = text.find("UpdateDate=\"");
  if (at == std::string::npos) return -1;
  unsigned day = 0, month = 0, year = 0, hour = 0, minute = 0;
  if (std::sscanf(text.c_str() + at + 12, "%2u%2u%4u %2u%2u", &day, &month, &year, &hour, &minute) != 5) return -1;
  return (((static_cast<long long>(year) * 100 + month) * 100 + day) * 100 + hour) * 100 + minute;
}

// What an entry that is no regular file is, for the line that refuses it.
std::string KindOf(fs::file_status status) {
  if (fs::is_symlink(status)) return "a link";
  if (fs::is_directory(status)) return "a folder";
  return "a device or other special file";
}

// Copies one regular file into the staging folder. The source is opened
// without following a link and must still be a plain file once open; the
// copy is a file of its own, new in the staging folder, on disk when this
// returns.
bool CopyFile(const fs::path& from, const fs::path& to, std::string* error) {
  int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  if (in < 0 || ::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = "refused " + from.string() + ": not a regular file (" + std::strerror(in < 0 ? errno : EINVAL) +
             "); nothing was installed";
    if (in >= 0) ::close(in);
    return false;
  }
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  bool copied = out >= 0;
  char buffer[65536];
  while (copied) {
    ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      copied = got == 0;
      break;
    }
    for (ssize_t done = 0; copied && done < got;) {
      ssize_t wrote = ::write(out, buffer + done, static_cast<size_t>(got - done));
      if (wrote < 0 && errno == EINTR) continue;
      copied = wrote > 0;
      done += wrote > 0 ? wrote : 0;
    }
  }
  if (copied) copied = ::fsync(out) == 0;  // on disk before it is swapped in
  int why = errno;
  ::close(in);
  if (out >= 0 && ::close(out) != 0) copied = false;
  if (!copied) *error = "cannot copy " + from.string() + " to " + to.string() + ": " + std::strerror(why);
  return copied;
}

// Copies a bases set, regular files only: a link, a folder or a device
// among them is refused by name, since following one could bring any file
// of this machine into the bases. Names come from the folder itself, so
// nothing is written outside `to`.
bool CopySet(const fs::path& from, const fs::path& to, std::string* error) {
  std::error_code ec;
  fs::remove_all(to, ec);  // a link in its place goes, not what it names
  if (::mkdir(to.c_str(), 0750) != 0) {
    *error = "cannot create " + to.string() + ": " + std::strerror(errno);
    return false;
  }
  for (const auto& entry : fs::directory_iterator(from, ec)) {
    fs::file_status status = entry.symlink_status(ec);
    if (ec) break;
    if (!fs::is_regular_file(status)) {
      *error = "refused " + entry.path().string() + ": " + KindOf(status) + " where a file is expected; nothing was installed";
      return false;
    }
    if (!CopyFile(entry.path(), to / entry.path().filename(), error)) return false;
  }
  if (ec) {
    *error = "cannot read " + from.string() + ": " + ec.message();
    return false;
  }
  int folder = ::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    (void)::fsync(folder);  // the names too
    ::close(folder);
  }
  return true;
}

// Swaps two folders in one step: each name then holds the other's contents.
bool Exchange(const fs::path& a, const fs::path& b) {
  return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
}

int Install(const fs::path& staging, const fs::path& bases, const fs::path& backup) {
  std::error_code ec;
  if (!fs::exists(bases)) {
    if (::rename(staging.c_str(), bases.c_str()) != 0) return Finish(kInstallFailed, "cannot install the new set");
    return Finish(kInstalled, "new bases installed in " + bases.string());
  }
  if (!Exchange(staging, bases)) {
    return Finish(kInstallFailed, std::string("cannot swap in the new set: ") + std::strerror(errno));
  }
  // The staging name now holds the previous set: it becomes the backup.
  fs::remove_all(backup, ec);
  if (::rename(staging.c_str(), backup.c_str()) != 0) Log("the previous set stays in " + staging.string());
  return Finish(kInstalled, "new bases installed in " + bases.string() + "; previous set kept as backup");
}

int UpdateFromMirror(const fs::path& mirror, const fs::path& bases, const fs::path& staging, const fs::path& backup) {
  long long offered = IndexDate(mirror / "master.xml");
  if (offered < 0) return Finish(kSourceFailed, "the mirror " + mirror.string() + " has no readable master.xml");
  long long installed = IndexDate(bases / "master.xml");
  if (installed >= offered) return Finish(kNothingNewer, "the mirror offers nothing newer");
  std::string error;
  if (!CopySet(mirror, staging, &error)) return Finish(kSourceFailed, error);
  return Install(staging, bases, backup);
}

int UpdateWithFreshclam(const std::map<std::string, std::string>& config, const fs::path& bases,
                        const fs::path& staging, const fs::path& backup) {
  std::string error;
  if (fs::exists(bases) && !CopySet(bases, staging, &error)) return Finish(kSourceFailed, error);
  std::error_code ec;
  fs::create_directories(staging, ec);
  std::string command = "freshclam --quiet --datadir='" + staging.string() + "'";
  auto it = config.find("FreshclamConfig");
  if (it != config.end()) command += " --config-file='" + it->second + "'";
  int status = std::system(command.c_str());
  if (status != 0) return Finish(kSourceFailed, "freshclam failed (" + std::to_string(status) + ")");
  return Install(staging, bases, backup);
}

int Rollback(const fs::path& bases, const fs::path& backup) {
  if (!fs::exists(backup)) return Finish(kNoBackup, "no backup to roll back to");
  if (!Exchange(backup, bases)) {
    return Finish(kInstallFailed, std::string("cannot swap the backup in: ") + std::strerror(errno));
  }
  std::error_code ec;
  fs::path rejected = fs::path(bases.string() + ".rejected");
  fs::remove_all(rejected, ec);
  if (::rename(backup.c_str(), rejected.c_str()) != 0) Log("the rejected set stays in " + backup.string());
  return Finish(kInstalled, "bases rolled back; the rejected set is in " + rejected.string());
}

// Run by root, the utility works as the user the bases belong to, so the
// sets it leaves are that user's; anyone else works as themselves.
bool ActAsOwnerOf(const fs::path& bases) {
  notesapi::RestrictNewFileModes();
  if (::geteuid() != 0) return true;
  std::error_code ec;
  fs::path owned = fs::exists(bases, ec) ? bases : bases.parent_path();
  std::string owner;
  return notesapi::AdoptServerOwner(owned.string(), &owner) == notesapi::kNoError;
}

// The updater builds its paths the Windows way; here "\\" separates folders too.
std::string LocalPath(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

}  // namespace

int Run(int argc, char** argv) {
  char mode = 0;
  std::string product;
  std::string configPath;
  std::string logFile;  // written only once the utility works as the bases' owner
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << "usage: basefetch -u|-r -P PRODUCT [-tf LOGFILE] [-tl LEVEL] [-c CONFIG]\n"
                   "  -u  fetch new bases into the bases folder (the previous set becomes the backup)\n"
                   "  -r  roll back to the backup\n"
                   "Configuration (basefetch.conf in the working folder or beside the program):\n"
                   "  Bases=FOLDER  Mirror=FOLDER | Source=freshclam [FreshclamConfig=FILE]\n"
                   "The result code goes to basefetch.txt: 0 installed, 10 nothing newer, other: failure.\n";
      return 0;
    }
    if (arg == "-u" || arg == "-r") {
      mode = arg[1];
    } else if (arg == "-P" && i + 1 < argc) {
      product = argv[++i];
    } else if (arg == "-tf" && i + 1 < argc) {
      logFile = LocalPath(argv[++i]);
    } else if (arg == "-tl" && i + 1 < argc) {
      ++i;  // one level of detail only
    } else if (arg == "-c" && i + 1 < argc) {
      configPath = LocalPath(argv[++i]);
    } else {
      return Finish(kBadUsage, "unknown argument " + arg);
    }
  }
  if (mode == 0) return Finish(kBadUsage, "neither -u nor -r given");
  std::string found = FindConfiguration(configPath);
  std::map<std::string, std::string> config = ReadConfiguration(found);
  if (found.empty() || config["Bases"].empty()) return Finish(kBadConfiguration, "no basefetch.conf naming Bases=");
  fs::path bases = fs::path(config["Bases"]).lexically_normal();
  if (bases.has_filename() == false) bases = bases.parent_path();
  if (!ActAsOwnerOf(bases)) return Finish(kBadConfiguration, "cannot take the user who owns " + bases.string());
  g_logFile = logFile;
  Log(std::string(mode == 'u' ? "update" : "rollback") + " for " + (product.empty() ? "(no product)" : product));
  fs::path staging = bases.string() + ".staging";
  fs::path backup = bases.string() + ".backup";
  if (mode == 'r') return Rollback(bases, backup);
  if (config["Source"] == "freshclam") return UpdateWithFreshclam(config, bases, staging, backup);
  if (config["Mirror"].empty()) return Finish(kBadConfiguration, "basefetch.conf names neither Mirror= nor Source=freshclam");
  return UpdateFromMirror(config["Mirror"], bases, staging, backup);
}

// Whatever happens, the updater gets an exit code and a line, not an abort.
int main(int argc, char** argv) { return tools::GuardedMain("basefetch", Run, argc, argv, 2); }
