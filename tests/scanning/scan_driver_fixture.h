// The running monitor on a fresh server for the scan driver's tests: real
// start-up, kernel and demo bases, mail made by the host's own import and
// memos made through the mail services, and what they left behind.
#ifndef TESTS_SCANNING_SCAN_DRIVER_FIXTURE_H_
#define TESTS_SCANNING_SCAN_DRIVER_FIXTURE_H_

#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <map>

#include "mailmonitor/mail_monitor_task.h"
#include "mailmonitor/queue_handlers.h"
#include "mailmonitor/service_queues.h"
#include "notesapi/host/mime_import.h"
#include "notesapi/stored_structures.h"
#include "scanning/object_scanners.h"
#include "scanning/scan_kernel.h"
#include "settings/settings_records.h"
#include "tests/scanning/zip_builder.h"
#include "tests/settings/settings_database_builder.h"
#include "tests/settings/signed_bases.h"
#include "tests/task_fixture.h"
#include "tools/zulctl/settings_setup.h"

namespace zul::testing {

using namespace notesapi;

inline const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

struct Attachment {
  std::string name;  // UTF-8
  std::string data;
};

class ScanDriverTest : public TaskTest {
 protected:
  void SetUp() override {
    SetKernelScanFunction(nullptr);
    ResetSettingsRecords();
    SetIni("ZulMailMonitorLogConsole", "1");
    SetIni("ZulMailMonitorLogFileFlag", "0");
    SetIni("ZulMailMonitorLogLevel", "3");
    std::string bases = server_.directory() + "/bases";
    std::filesystem::create_directories(bases);
    std::filesystem::copy(DEMO_BASES_DIR, bases, std::filesystem::copy_options::recursive);
    std::string error;
    ASSERT_EQ(zulctl::CreateSettingsDatabases(host_.get(), server_.directory(), bases, &error), kNoError) << error;
    ASSERT_EQ(host_->DbCreate("mail.box", "Mail box"), kNoError);
  }
  void TearDown() override {
    SetKernelScanFunction(nullptr);
  }

  void Change(const std::string& form, const std::vector<std::pair<std::string, std::string>>& items) {
    std::string error;
    ASSERT_EQ(zulctl::ChangeSettings(host_.get(), form, items, &error), kNoError) << error;
  }
  std::u16string Wide(const std::string& path) { return std::u16string(path.begin(), path.end()); }
  void Post(NoteId id, const std::string& path = "mail.box") {
    char text[64];
    std::snprintf(text, sizeof text, "%08x|%08x|%08x|%s", 0u, id, 0u, path.c_str());
    PostText(text);
  }
  void PostText(const std::string& text) {
    ScopedQueue queue(host_.get());
    ASSERT_EQ(host_->QueueOpen(kHookQueue, kQueueCreate, queue.put()), kNoError);
    ASSERT_EQ(host_->QueuePut(queue.get(), 1, text), kNoError);
  }
  NoteId SubmitMime(const std::string& message) {
    ScopedDb box(host_.get());
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ImportedMessage imported;
    EXPECT_EQ(ImportMimeMessage(host_.get(), box.get(), message, true, Wide(server_.directory()), &imported), kNoError);
    Post(imported.noteId);
    return imported.noteId;
  }
  // A held Notes memo with attachments; `build` adds what else it holds.
  NoteId SubmitMemo(const std::vector<Attachment>& attachments,
                    const std::function<void(NoteHandle)>& build = nullptr) {
    ScopedDb box(host_.get());
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ScopedNote memo(host_.get());
    EXPECT_EQ(host_->MailCreateMessage(box.get(), memo.put()), kNoError);
    EXPECT_EQ(host_->ItemSetText(memo.get(), "From", "CN=Ivan/O=Tervala"), kNoError);
    EXPECT_EQ(host_->ItemCreateTextList(memo.get(), "Recipients", "CN=Anna/O=Tervala"), kNoError);
    EXPECT_EQ(host_->ItemSetText(memo.get(), "Subject", "files"), kNoError);
    EXPECT_EQ(host_->ItemSetText(memo.get(), "RoutingState", "HOLD"), kNoError);
    int n = 0;
    for (const Attachment& a : attachments) {
      std::string path = server_.directory() + "/attach" + std::to_string(++n);
      std::ofstream(path, std::ios::binary) << a.data;
      EXPECT_EQ(host_->AttachFile(memo.get(), Wide(path), Lmbcs(a.name), 1, false, nullptr), kNoError);
    }
    if (build) build(memo.get());
    EXPECT_EQ(host_->NoteUpdate(memo.get(), kUpdateForce), kNoError);
    NoteInfo info;
    EXPECT_EQ(host_->NoteGetInfo(memo.get(), &info), kNoError);
    Post(info.noteId);
    return info.noteId;
  }
  Status Run(int passes = 2) {
    platform_->idleCalls = 0;
    platform_->stopAtIdleCall = passes;
    return MailMonitorTaskMain(host_->ResourceModule(), 0, nullptr);
  }
  // The stored note as it leaves the server.
  std::string Exported(NoteId id) {
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    std::string message;
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    EXPECT_EQ(host_->NoteOpen(box.get(), id, kOpenRawMime, note.put()), kNoError);
    EXPECT_EQ(ExportMimeMessage(host_.get(), note.get(), Wide(server_.directory()), &message), kNoError);
    return message;
  }
  std::string Joined() {
    std::string all;
    for (const std::string& line : Lines()) all += line + "\n";
    return all;
  }
  bool Held(NoteId id, const char* db = "mail.box") {
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    EXPECT_EQ(host_->DbOpen(db, box.put()), kNoError);
    EXPECT_EQ(host_->NoteOpen(box.get(), id, kOpenRawMime, note.put()), kNoError);
    ItemInfo item;
    return host_->ItemInfoByName(note.get(), "RoutingState", &item) == kNoError;
  }
  // The attachments of the stored note, by shown name (UTF-8).
  std::vector<Attachment> Files(NoteId id, const char* db = "mail.box") { return FilesOf(db, id, kOpenRawMime); }
  std::vector<Attachment> ConvertedFiles(const char* db, NoteId id) { return FilesOf(db, id, 0); }
  std::vector<Attachment> FilesOf(const char* db, NoteId id, uint32_t flags) {
    std::vector<Attachment> files;
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    EXPECT_EQ(host_->DbOpen(db, box.put()), kNoError);
    EXPECT_EQ(host_->NoteOpen(box.get(), id, flags, note.put()), kNoError);
    ItemInfo item;
    for (notesapi::Status s = host_->ItemInfoByName(note.get(), "$FILE", &item); s == kNoError;
         s = host_->ItemInfoNext(note.get(), item.item, "$FILE", &item)) {
      std::string value;
      EXPECT_EQ(host_->ItemValue(item.value, &value), kNoError);
      FileObject file;
      EXPECT_EQ(ParseFileObject(value.substr(2), &file), kNoError);
      if (file.flags & kFileFlagWholeMessage) continue;  // the engine's reading of the message as sent
      std::string out = server_.directory() + "/extracted";
      EXPECT_EQ(host_->ExtractFile(note.get(), item.item, Wide(out)), kNoError);
      std::string utf8;
      EXPECT_EQ(host_->Translate(kTranslateLmbcsToUtf8, value.substr(38, file.fileNameLength), &utf8), kNoError);
      files.push_back({utf8, ReadFile(out)});
    }
    return files;
  }
  std::map<std::string, std::string> FilesByName(NoteId id) {
    std::map<std::string, std::string> files;
    for (const Attachment& a : Files(id)) files[a.name] = a.data;
    return files;
  }
  std::string BodyText(NoteId id) {
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    EXPECT_EQ(host_->NoteOpen(box.get(), id, 0, note.put()), kNoError);
    ItemInfo item;
    std::string text;
    for (notesapi::Status s = host_->ItemInfoByName(note.get(), "Body", &item); s == kNoError;
         s = host_->ItemInfoNext(note.get(), item.item, "Body", &item)) {
      MemHandle block = kNullHandle;
      uint32_t length = 0;
      if (host_->ConvertRichTextToText(item.value, "\n", 0, &block, &length) != kNoError) continue;
      text.append(reinterpret_cast<char*>(host_->MemLock(block)), length);
      host_->MemUnlock(block);
      (void)host_->MemFree(block);
    }
    std::string utf8;
    EXPECT_EQ(host_->Translate(kTranslateLmbcsToUtf8, text, &utf8), kNoError);
    return utf8;
  }
  // The position of the first item of that name in the stored note.
  uint32_t ItemIndex(NoteId id, const char* name) {
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    EXPECT_EQ(host_->NoteOpen(box.get(), id, kOpenRawMime, note.put()), kNoError);
    uint32_t index = 0;
    ItemInfo item;
    for (notesapi::Status s = host_->ItemInfoFirst(note.get(), &item); s == kNoError;
         s = host_->ItemInfoNext(note.get(), item.item, {}, &item), ++index) {
      if (item.name == name) return index;
    }
    return index;
  }
  size_t NoteCount(const char* db) {
    ScopedDb handle(host_.get());
    EXPECT_EQ(host_->DbOpen(db, handle.put()), kNoError);
    std::vector<NoteId> ids;
    EXPECT_EQ(host_->DbNoteIds(handle.get(), &ids), kNoError);
    return ids.size();
  }
  // What the scan left in the work folder besides the kernel's own folders.
  std::vector<std::string> LeftOver() {
    std::vector<std::string> files;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(server_.directory() + "/tmp/zulmailmonitor", ignored)) {
      if (entry.is_regular_file()) files.push_back(entry.path().filename().string());
    }
    return files;
  }
  // What Python's email package, as referee, finds wrong in what was
  // delivered of `sent` (empty: nothing); mail_referee.py says what it checks.
  std::string RefereeFaults(const std::string& sent, const std::string& delivered) {
    std::string sentPath = server_.directory() + "/sent.eml";
    std::string gotPath = server_.directory() + "/got.eml";
    std::ofstream(sentPath, std::ios::binary | std::ios::trunc) << sent;
    std::ofstream(gotPath, std::ios::binary | std::ios::trunc) << delivered;
    std::string verdict;
    int code = RunCommand("/usr/bin/python3 " MAIL_REFEREE " " + sentPath + " " + gotPath + " " + server_.directory() +
                              "/program/zuldummy.txt",
                          &verdict);
    return code == 0 ? std::string() : verdict;
  }
  // Runs a command line (the tools by path) and gives its output, standard
  // error included, and its exit code.
  static int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    output->clear();
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output->append(buffer, n);
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The test's bases also find the test string anywhere, as a body pattern
  // does: text, HTML and archive members are found by what they hold.
  void AddEicarPattern() {
    std::string hex;
    for (unsigned char c : kEicar) {
      char pair[3];
      std::snprintf(pair, sizeof pair, "%02x", c);
      hex += pair;
    }
    std::string bases = server_.directory() + "/bases";
    std::ofstream(bases + "/pattern.ndb") << "Test.Eicar.Pattern:0:*:" << hex << "\n";
    SignBasesFolder(bases);
  }

  const std::string placeholder_ = ReadFile(server_.directory() + "/program/zuldummy.txt");
};

inline const char kMimeWithEicar[] =
    "From: Ivan <ivan@example.com>\nTo: anna@example.com\nSubject: report\nMIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"b\"\n\n"
    "--b\nContent-Type: text/plain; charset=utf-8\n\nsee the files\n"
    "--b\nContent-Type: application/octet-stream; name=\"=?UTF-8?B?0L7RgtGH0ZHRgi5jb20=?=\"\n"
    "Content-Transfer-Encoding: base64\n\n"
    "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\nLUZJTEUhJEgrSCo=\n"
    "--b\nContent-Type: application/octet-stream; name=\"notes.bin\"\n\nclean bytes\r\nkept as sent\n--b--\n";

// Data as base64 in lines of 76 with CRLF, as mail programs write it.
inline std::string Base64Lines(const std::string& data) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(data[i]) << 16;
    if (i + 1 < data.size()) n |= static_cast<uint8_t>(data[i + 1]) << 8;
    if (i + 2 < data.size()) n |= static_cast<uint8_t>(data[i + 2]);
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += i + 1 < data.size() ? kAlphabet[n >> 6 & 63] : '=';
    out += i + 2 < data.size() ? kAlphabet[n & 63] : '=';
    if ((i / 3 + 1) % 19 == 0) out += "\r\n";
  }
  return out + "\r\n";
}

// A kernel that finds the test pattern anywhere, as a pattern signature would.
inline ScanResult PatternKernel(std::u16string_view scanCopy, std::string* description) {
  std::string data;
  if (ProcessPlatform()->FileRead(scanCopy, &data) != kNoError) return ResultFailed;
  if (data.find("EICAR-STANDARD-ANTIVIRUS-TEST-FILE") == std::string::npos) return ResultClean;
  *description = "Eicar-Test-Signature";
  return ResultInfected;
}

}  // namespace zul::testing

#endif  // TESTS_SCANNING_SCAN_DRIVER_FIXTURE_H_
