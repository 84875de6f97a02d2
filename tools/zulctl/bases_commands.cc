#include "tools/zulctl/bases_commands.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>

#include "base/server_variables.h"
#include "notesapi/host/host_platform.h"
#include "base/text_conversions.h"
#include "scanning/bases_proof.h"
#include "scanning/scan_kernel.h"
#include "settings/settings_reader.h"
#include "tools/common/file_read.h"
#include "tools/zulctl/value_format.h"
#include "settings/bases_date.h"
#include "settings/bases_index.h"

namespace zulctl {

using namespace zul;

namespace {

constexpr const char* kResultNames[] = {"clean",          "cured",          "infected",          "suspicious",
                                        "protected",      "not processed",  "failed",            "too large",
                                        "filtered (type)", "filtered (name)", "incomplete"};

Status ReadWholeFile(const std::string& path, std::string* data) {
  std::string why;
  if (tools::ReadWholeFile(path, data, &why)) return Status::OK();
  return Status::NotFound(path + " " + why);
}


std::string DefaultBasesFolder(notesapi::Platform* platform) {
  std::string program;
  if (!platform->IniGetText("NotesProgram", 1024, &program) || program.empty()) program = ".";
  return program + "/bases";
}

std::string NativeToUtf8(notesapi::Platform* platform, const std::string& native) {
  std::string utf8;
  if (platform->Translate(notesapi::kTranslateLmbcsToUtf8, NativeToNotes(native), &utf8) != notesapi::kNoError) {
    return native;
  }
  return utf8;
}

std::string ToUtf8Path(notesapi::Platform* platform, const std::u16string& path) {
  std::string lmbcs;
  std::string utf8;
  std::string utf16(reinterpret_cast<const char*>(path.data()), path.size() * 2);
  if (platform->Translate(notesapi::kTranslateUnicodeToLmbcs, utf16, &lmbcs) != notesapi::kNoError ||
      platform->Translate(notesapi::kTranslateLmbcsToUtf8, lmbcs, &utf8) != notesapi::kNoError) {
    return "?";
  }
  return utf8;
}

// A temporary folder of the tool's own for the scan engine, removed at exit.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zulctl-scan.XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The kernel as the mail monitor runs it: its settings database's bases
// folder and kernel settings, so a scan here agrees with the monitor.
Status ReadMonitorKernelSettings() {
  if (!ReadServerVariables(TaskKind::kMailMonitor)) {
    return Status::InvalidArgument("notes.ini lacks the databases of the mail monitor");
  }
  if (!ReadAllSettings(TaskKind::kMailMonitor).ok()) {
    return Status::InvalidArgument("the settings database cannot be read (zulctl settings init makes one)");
  }
  return Status::OK();
}

Status OpenKernelOn(notesapi::Platform* platform, const std::string& bases, const std::string& clamd,
                    std::unique_ptr<ScanKernel>* kernel) {
  static ScratchFolder scratch;
  KernelSettingsRecord settings = KernelSettings();
  bool monitorSettings = bases.empty();
  if (!monitorSettings) settings.basesFolder = WideUtf8(platform, std::filesystem::absolute(bases).string());
  // The kernel's temporary folder; its test object goes into the folder above.
  std::error_code error;
  if (!scratch.path().empty() && std::filesystem::create_directories(scratch.path() + "/work/ftemp", error)) {
    settings.tempFolder = WideUtf8(platform, scratch.path() + "/work/ftemp");
  }
  if (!monitorSettings) {
    settings.scanFlags = 0x7E;  // every kind of content
    settings.depthLimitEnabled = platform->IniGetNumber("ZulScanDepthLimitEnabled");
    settings.depthLimit = platform->IniGetNumber("ZulScanDepthLimit");
    settings.queueSizeLimit = platform->IniGetNumber("ZulQueueSizeLimit");
  }
  std::string engine = clamd.empty() ? ConfiguredKernelEngine(platform) : "clamd:" + clamd;
  return ScanKernel::Open({engine, settings}, platform, kernel);
}

void PrintDate(const std::optional<BasesDate>& date) {
  if (!date) {
    std::printf("date        none (index missing, unsigned or altered)\n");
    return;
  }
  std::printf("date        %04d-%02d-%02d %02d:%02d\n", date->year + 1900, date->month + 1, date->day, date->hour,
              date->minute);
}

// A name the tasks would read as another file than the engine loads (a
// separator in it), or one that hides in a listing: never signed.
bool AllowedName(const std::string& name) {
  return name != "." && name != ".." && std::none_of(name.begin(), name.end(), [](char c) {
           return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
         });
}

// Size and SHA-256 of a regular file, read through one descriptor that was
// opened without following a link.
bool HashFile(const std::filesystem::path& path, ListedFile* file) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  Sha256 sha;
  std::vector<char> buffer(1 << 20);
  ssize_t got = 0;
  file->size = 0;
  while ((got = ::read(fd, buffer.data(), buffer.size())) > 0 || (got < 0 && errno == EINTR)) {
    if (got <= 0) continue;
    sha.Update(std::string_view(buffer.data(), static_cast<size_t>(got)));
    file->size += static_cast<uint64_t>(got);
  }
  ::close(fd);
  file->sha256 = sha.Finish();
  return got == 0 && !file->sha256.empty();
}

// Size and SHA-256 of every file beside the index, which the signature then
// covers. A link, folder or device there is refused: the engine would load
// whatever it names.
Status ListFolder(const std::filesystem::path& index, BasesListing* listing) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path folder = index.has_parent_path() ? index.parent_path() : fs::path(".");
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    std::string name = entry.path().filename().string();
    if (name == index.filename().string()) continue;
    if (!AllowedName(name)) {
      return Status::InvalidArgument(folder.string() +
                                     " holds a file whose name has a slash or a control character;"
                                     " the tasks refuse such a folder");
    }
    ListedFile file;
    if (!fs::is_regular_file(entry.symlink_status(error)) || !HashFile(entry.path(), &file)) {
      return Status::InvalidArgument(entry.path().string() +
                                     " is not a regular file (a link, a folder or a device) or cannot be read;"
                                     " a signed bases folder holds regular files only");
    }
    (*listing)[name] = std::move(file);
  }
  if (error) return Status::Failed("cannot read the folder " + folder.string() + ": " + error.message());
  return Status::OK();
}

// Replaces the index in one step, so a reader never sees half of it, from
// a file of its own that nothing else could have named beforehand. The
// index keeps the modes it had: the tasks must go on reading it.
bool ReplaceFile(const std::string& file, const std::string& content) {
  struct stat old {};
  mode_t mode = ::stat(file.c_str(), &old) == 0 ? (old.st_mode & 0777) : 0644;
  std::string building = file + ".XXXXXX";
  int fd = ::mkstemp(building.data());
  if (fd < 0) return false;
  bool written = ::fchmod(fd, mode) == 0;
  for (size_t done = 0; written && done < content.size();) {
    ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    written = wrote > 0;
    done += wrote > 0 ? static_cast<size_t>(wrote) : 0;
  }
  written = written && ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  if (written && ::rename(building.c_str(), file.c_str()) == 0) return true;
  ::unlink(building.c_str());
  return false;
}

}  // namespace

Status SignBases(const BasesArguments& bases) {
  const std::string& file = bases.file;
  const std::string& keyFile = bases.keyFile;
  // Root signs as the user the bases belong to: the index it leaves is
  // theirs, and nothing they planted in the folder is written through.
  std::filesystem::path folder = std::filesystem::path(file).has_parent_path() ? std::filesystem::path(file).parent_path()
                                                                                : std::filesystem::path(".");
  std::string owner;
  if (::geteuid() == 0 && notesapi::AdoptServerOwner(folder.string(), &owner) != notesapi::kNoError) {
    return Status::Failed("cannot take the user " + owner + ", who owns " + folder.string());
  }
  BasesKey key = BuiltInBasesKey();
  if (!keyFile.empty()) {
    std::string text;
    if (Status read = ReadWholeFile(keyFile, &text); !read.ok()) return read;
    if (!ParseBasesKey(text, &key)) {
      return Status::InvalidArgument(keyFile + " is not a key file (lines KeyId=... and Secret=<hex>)");
    }
  }
  std::string content;
  if (Status read = ReadWholeFile(file, &content); !read.ok()) return read;
  BasesListing listing;
  if (Status listed = ListFolder(file, &listing); !listed.ok()) return listed;
  size_t unsignedLength = UnsignedLength(content);
  std::string index;
  std::string dropped;
  if (!WriteBasesListing(std::string_view(content).substr(0, unsignedLength), listing, &index, &dropped)) {
    return Status::InvalidArgument(file + " is no bases index (an XML document with the root UpdateFiles)");
  }
  for (size_t start = 0, end; (end = dropped.find('\n', start)) != std::string::npos; start = end + 1) {
    std::cout << "dropped from the index: " << dropped.substr(start, end - start) << " (no such file)\n";
  }
  // Blocks of other keys stay while they still sign the same content.
  std::string blocks = content.substr(unsignedLength);
  if (index != std::string_view(content).substr(0, unsignedLength) && !blocks.empty()) {
    std::cout << "the listing changed: the earlier signature blocks no longer hold and are removed\n";
    blocks.clear();
  }
  if (!ReplaceFile(file, index + blocks + MakeSignatureBlock(index, key))) {
    return Status::Failed("cannot write " + file);
  }
  std::cout << "signed " << file << " with key " << key.keyId << ": " << listing.size() << " file(s) listed\n";
  return Status::OK();
}

Status BasesInfo(notesapi::Platform* platform, const std::string& folder) {
  std::u16string wide = WideUtf8(platform, std::filesystem::absolute(folder).string());
  BasesProof proof = BasesProof::kSignedIndex;
  Status proven = ProveBasesFolder(wide, &proof);
  std::unique_ptr<ScanKernel> kernel;
  Status loaded = proven.ok() ? OpenKernelOn(platform, folder, "", &kernel) : proven;
  uint32_t count = 0;
  std::optional<BasesDate> date;
  if (loaded.ok()) loaded = kernel->BasesInfo(&count, &date);
  std::string index;
  size_t signedLength = 0;
  int32_t verified = ReadWholeFile(folder + "/master.xml", &index).ok() ? VerifySignedContent(index, &signedLength) : 1;
  std::printf("bases       %s\n", folder.c_str());
  if (loaded.ok()) {
    std::printf("signatures  %u\n", count);
  } else {
    std::printf("signatures  not loaded (0x%08X)\n", static_cast<unsigned>(loaded.hresult()));
  }
  PrintDate(date);
  const char* verdict = verified == 0                    ? "verified"
                        : verified == 1                  ? "missing"
                        : verified == kSignatureMismatch ? "ALTERED: the signature does not match"
                                                         : "not signed with a known key";
  std::printf("index       master.xml %s\n", verdict);
  if (!proven.ok()) {
    std::printf("proof       REFUSED: %s; the tasks do not load this folder\n",
                NativeToUtf8(platform, proven.message()).c_str());
  } else if (proof == BasesProof::kUnsignedAllowed) {
    std::printf("proof       NONE: notes.ini ZulBasesUnsigned=1 loads every file unchecked\n");
  } else {
    std::printf("proof       %s\n", proof == BasesProof::kSignedIndex
                                        ? "every file is listed in the signed index with its size and SHA-256"
                                        : "no index: ClamAV's signed containers (.cvd, .cld) only");
  }
  // Said above, line by line.
  return loaded.ok() ? Status::OK() : Status::Failed("");
}

Status ScanFiles(notesapi::Platform* platform, const ScanArguments& scan, bool* found) {
  std::string bases = scan.bases;
  const std::string& clamd = scan.clamd;
  const std::vector<std::string>& paths = scan.paths;
  std::string shown = bases;
  if (bases.empty() && clamd.empty()) {
    if (Status read = ReadMonitorKernelSettings(); !read.ok()) {
      return Status::InvalidArgument(read.message() + "; give the bases with --bases DIR");
    }
    shown = "the mail monitor's bases folder " + ToUtf8Path(platform, KernelSettings().basesFolder);
  } else if (bases.empty()) {
    bases = DefaultBasesFolder(platform);
  }
  std::unique_ptr<ScanKernel> kernel;
  if (Status opened = OpenKernelOn(platform, bases, clamd, &kernel); !opened.ok()) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(opened.hresult()));
    return Status::Failed(std::string("the scan kernel did not start (") + code + ") with " +
                          (clamd.empty() ? shown : clamd));
  }
  std::vector<std::string> files;
  for (const std::string& path : paths) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(path, error)) {
        if (entry.is_regular_file(error)) files.push_back(entry.path().string());
      }
    } else {
      files.push_back(path);
    }
  }
  *found = false;
  for (const std::string& file : files) {
    std::string description;
    ScanResult result = kernel->ScanFile(WideUtf8(platform, std::filesystem::absolute(file).string()), &description);
    *found = *found || result != ResultClean;
    std::printf("%s\t%s\t%d\t%s\n", file.c_str(), kResultNames[result], static_cast<int>(result), description.c_str());
  }
  return Status::OK();
}

}  // namespace zulctl
