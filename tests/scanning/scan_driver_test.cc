// Held mail through the running monitor: the hook request, the walk, the
// reactions and the release, on mail made by the host's own import and
// memos made through the mail services, with the real kernel and bases.
#include <sys/stat.h>

#include <filesystem>
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
#include "tests/task_fixture.h"
#include "tools/zulctl/settings_setup.h"

namespace zul::testing {
namespace {

using namespace notesapi;

const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

struct Attachment {
  std::string name;  // UTF-8
  std::string data;
};

class ScanDriverTest : public TaskTest {
 protected:
  void SetUp() override {
    (void)StopKernel();
    SelectKernelEngine("");
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
    (void)StopKernel();
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
  // A held Notes memo with a rich-text body and attachments.
  NoteId SubmitMemo(const std::vector<Attachment>& attachments) {
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
    for (Status s = host_->ItemInfoByName(note.get(), "$FILE", &item); s == kNoError;
         s = host_->ItemInfoNext(note.get(), item.item, "$FILE", &item)) {
      std::string value;
      EXPECT_EQ(host_->ItemValue(item.value, &value), kNoError);
      FileObject file;
      EXPECT_EQ(ParseFileObject(value.substr(2), &file), kNoError);
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
    for (Status s = host_->ItemInfoByName(note.get(), "Body", &item); s == kNoError;
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
    for (Status s = host_->ItemInfoFirst(note.get(), &item); s == kNoError;
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
  const std::string placeholder_ = ReadFile(server_.directory() + "/program/zuldummy.txt");
};

const char kMimeWithEicar[] =
    "From: Ivan <ivan@example.com>\nTo: anna@example.com\nSubject: report\nMIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"b\"\n\n"
    "--b\nContent-Type: text/plain; charset=utf-8\n\nsee the files\n"
    "--b\nContent-Type: application/octet-stream; name=\"=?UTF-8?B?0L7RgtGH0ZHRgi5jb20=?=\"\n"
    "Content-Transfer-Encoding: base64\n\n"
    "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\nLUZJTEUhJEgrSCo=\n"
    "--b\nContent-Type: application/octet-stream; name=\"notes.bin\"\n\nclean bytes\r\nkept as sent\n--b--\n";

// A kernel that finds the test pattern anywhere, as a pattern signature would.
ScanResult PatternKernel(std::u16string_view scanCopy, std::u16string_view, std::string* description, bool) {
  std::string data;
  if (ProcessPlatform()->FileRead(scanCopy, &data) != kNoError) return ResultFailed;
  if (data.find("EICAR-STANDARD-ANTIVIRUS-TEST-FILE") == std::string::npos) return ResultClean;
  *description = "Eicar-Test-Signature";
  return ResultInfected;
}

TEST_F(ScanDriverTest, InfectedMimeMailIsCleanedReportedQuarantinedAndReleased) {
  NoteId id = SubmitMime(kMimeWithEicar);
  ASSERT_EQ(Run(), kNoError);
  EXPECT_FALSE(Held(id)) << "released after the scan";
  std::map<std::string, std::string> files;
  for (const Attachment& a : ConvertedFiles("mail.box", id)) files[a.name] = a.data;
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files["отчёт.com"], placeholder_) << "the infected object is replaced under its own name";
  EXPECT_EQ(files["notes.bin"], "clean bytes\r\nkept as sent") << "clean objects byte for byte";
  std::string body = BodyText(id);
  EXPECT_NE(body.find("Tervala Anti-Virus Report"), std::string::npos) << body;
  EXPECT_NE(body.find("отчёт.com"), std::string::npos) << body;
  EXPECT_LT(body.find("Tervala Anti-Virus Report"), body.find("see the files")) << "the report comes first";
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 1u);
  EXPECT_GE(NoteCount("zulstat.nsf"), 1u);

  // What leaves the server: a well-formed message with the report, the
  // text, the clean attachment as sent and the placeholder under the name.
  std::string exported = Exported(id);
  EXPECT_NE(exported.find("Tervala Anti-Virus Report"), std::string::npos) << exported;
  EXPECT_NE(exported.find("see the files"), std::string::npos);
  ASSERT_EQ(host_->DbCreate("mail/anna.nsf", "Anna"), kNoError);
  ScopedDb anna(host_.get());
  ASSERT_EQ(host_->DbOpen("mail/anna.nsf", anna.put()), kNoError);
  ImportedMessage delivered;
  ASSERT_EQ(ImportMimeMessage(host_.get(), anna.get(), exported, false, Wide(server_.directory()), &delivered), kNoError);
  std::map<std::string, std::string> received;
  for (const Attachment& a : ConvertedFiles("mail/anna.nsf", delivered.noteId)) received[a.name] = a.data;
  EXPECT_EQ(received["отчёт.com"], placeholder_);
  EXPECT_EQ(received["notes.bin"], "clean bytes\r\nkept as sent");
  EXPECT_TRUE(LeftOver().empty());
  EXPECT_TRUE(Logged("Документ 0x08f8 обработан.")) << Lines().back();
}

// Infected mail of everyday shapes: what the recipient gets keeps every
// header field, the MIME tree and every clean part; only the infected part
// holds the placeholder, and the report is in the text. Python's email
// package is the referee.
TEST_F(ScanDriverTest, AChangedMailKeepsEverythingButWhatWasRemoved) {
  const std::string eicar64 = "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\nLUZJTEUhJEgrSCo=\n";
  const std::string headers =
      "Received: from mx.example.com (mx.example.com [192.0.2.1])\n\tby relay.example.org; Tue, 8 Dec 2026 10:00:00 +0300\n"
      "DKIM-Signature: v=1; a=rsa-sha256; d=example.com; s=sel;\n\tbh=abc=; b=def\n"
      "Date: Tue, 8 Dec 2026 10:00:00 +0300\nMessage-ID: <m1@example.com>\nIn-Reply-To: <m0@example.com>\n"
      "References: <m0@example.com>\nReply-To: list@example.com\nList-Id: <team.example.com>\nX-Mailer: Thunderbird\n"
      "From: =?UTF-8?B?0JjQstCw0L0=?= <ivan@example.com>\nTo: anna@example.com\n"
      "Subject: =?utf-8?b?0JTQstCwIA==?= =?utf-8?b?0J7QtNC40L0g?=\nMIME-Version: 1.0\n";
  const std::string attachment = "--b\nContent-Type: application/x-msdownload; name=\"setup.com\"\n"
                                 "Content-Disposition: attachment; filename=\"setup.com\"\nContent-Transfer-Encoding: base64\n\n" +
                                 eicar64;
  const std::string pdf = "--b\nContent-Type: application/pdf; name=\"report.pdf\"\nContent-Transfer-Encoding: base64\n\n"
                          "JVBERi0xLjQKJcfsj6IKMSAwIG9iago8PC9UeXBlL0NhdGFsb2c+PgplbmRvYmoK\n";
  std::vector<std::string> shapes = {
      // plain text and attachments
      headers + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain; charset=utf-8\n\n"
                "Привет, see the files.\n" + attachment + pdf + "--b--\n",
      // alternative text and HTML, with CRLF line ends
      [&] {
        std::string m = headers + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\n"
                        "Content-Type: multipart/alternative; boundary=\"a\"\n\n--a\nContent-Type: text/plain; charset=koi8-r\n"
                        "Content-Transfer-Encoding: base64\n\n8NLJ18XUIQo=\n--a\nContent-Type: text/html; charset=utf-8\n"
                        "Content-Transfer-Encoding: quoted-printable\n\n<html><body><p>=D0=9F=D1=80=D0=B8=D0=B2=D0=B5=D1=82</p></body></html>\n"
                        "--a--\n" + attachment + "--b--\n";
        std::string crlf;
        for (char c : m) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return crlf;
      }(),
      // HTML with an inline image
      headers + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: multipart/related; boundary=\"r\"\n\n"
                "--r\nContent-Type: text/html; charset=us-ascii\n\n<html><body><img src=\"cid:logo@x\"></body></html>\n"
                "--r\nContent-Type: image/png\nContent-ID: <logo@x>\nContent-Transfer-Encoding: base64\n\niVBORw0KGgo=\n--r--\n" +
                attachment + "--b--\n",
      // a forwarded message that carries the virus
      headers + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nforwarded below\n"
                "--b\nContent-Type: message/rfc822\n\nFrom: x@example.com\nSubject: old\nMIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=\"in\"\n\n--in\nContent-Type: text/plain\n\nold text\n"
                "--in\nContent-Type: application/octet-stream; name=\"old.com\"\nContent-Transfer-Encoding: base64\n\n" +
                eicar64 + "--in--\n\n--b--\n",
      // a uuencoded payload inside quoted-printable text
      headers + "Content-Type: text/plain; charset=us-ascii\nContent-Transfer-Encoding: quoted-printable\n\n"
                "Here it is:\n\nbegin 644 eicar.com\nM6#5/(5`E0$%06S1<4%I8-30H4%XI-T-#*3=])$5)0T%2+5-404Y$05)$+4%.\n"
                "C5$E625)54RU415-4+49)3$4A)$@K2\"H`\n`\nend\n\nregards\n",
      // signed: the signature part stays as it came
      headers + "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha-256; boundary=\"s\"\n\n"
                "--s\nContent-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain; charset=utf-8\n\n"
                "signed text\n" + attachment + "--b--\n\n--s\nContent-Type: application/pkcs7-signature; name=\"smime.p7s\"\n"
                "Content-Transfer-Encoding: base64\n\nMIAGCSqGSIb3DQEHAqCAMIACAQEx\n--s--\n",
      // an invitation, and undeclared 8-bit Cyrillic text, and an RFC 2231 name
      headers + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n"
                "Content-Transfer-Encoding: 8bit\n\n\xcf\xf0\xe8\xe2\xe5\xf2\n--b\nContent-Type: text/calendar; method=REQUEST\n\n"
                "BEGIN:VCALENDAR\nEND:VCALENDAR\n--b\nContent-Type: application/octet-stream\n"
                "Content-Disposition: attachment; filename*=utf-8''%D0%BE%D1%82%D1%87%D1%91%D1%82.com\n"
                "Content-Transfer-Encoding: base64\n\n" + eicar64 + "--b--\n",
      // a single attachment and no text at all
      "From: copier@example.com\nTo: anna@example.com\nSubject: scan\nDate: Tue, 8 Dec 2026 10:00:00 +0300\n"
      "MIME-Version: 1.0\nContent-Type: application/octet-stream; name=\"scan.com\"\nContent-Transfer-Encoding: base64\n\n" +
          eicar64,
  };
  for (size_t i = 0; i < shapes.size(); ++i) {
    NoteId id = SubmitMime(shapes[i]);
    ASSERT_EQ(Run(), kNoError);
    EXPECT_FALSE(Held(id)) << i;
    std::string exported = Exported(id);
    std::string sent = server_.directory() + "/sent.eml";
    std::string got = server_.directory() + "/got.eml";
    std::ofstream(sent, std::ios::binary) << shapes[i];
    std::ofstream(got, std::ios::binary) << exported;
    std::string command = "python3 " MAIL_REFEREE " " + sent + " " + got + " " + server_.directory() +
                          "/program/zuldummy.txt 2>&1";
    std::string verdict;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) verdict.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0) << "shape " << i << ":\n" << verdict << "\n" << exported;
    if (std::getenv("SHOW_SHAPES")) std::cerr << exported << "\n=====\n";
  }
}

// A browser gets HTML as its source: a payload hidden in an HTML-only body
// (quoted-printable, so the text a reader sees does not show it whole) is
// found, and the body goes.
ScanResult Utf8PatternKernel(std::u16string_view scanCopy, std::u16string_view, std::string* description, bool) {
  std::string data;
  if (ProcessPlatform()->FileRead(scanCopy, &data) != kNoError) return ResultFailed;
  if (data.find("EICAR-\xD0\x92\xD0\x98\xD0\xA0\xD0\xA3\xD0\xA1") == std::string::npos) return ResultClean;
  *description = "Test.Utf8.Pattern";
  return ResultInfected;
}

TEST_F(ScanDriverTest, HtmlBodiesAreScannedAsTheBrowserGetsThem) {
  // The pattern is UTF-8 bytes, which the body's text holds in another
  // character set: only the source finds it.
  const std::string html =
      "From: a@example.com\nTo: b@example.com\nSubject: news\nMIME-Version: 1.0\n"
      "Content-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n"
      "<html><body><p>Hello</p><!-- EICAR-=D0=92=D0=98=D0=A0=D0=A3=D0=A1 --></body></html>\n";
  const std::string clean =
      "From: a@example.com\nTo: b@example.com\nSubject: news\nMIME-Version: 1.0\n"
      "Content-Type: text/html; charset=utf-8\n\n<html><body><p>Hello</p></body></html>\n";
  NoteId infected = SubmitMime(html);
  NoteId harmless = SubmitMime(clean);
  SetKernelScanFunction(Utf8PatternKernel);
  ASSERT_EQ(Run(), kNoError);
  SetKernelScanFunction(nullptr);
  EXPECT_FALSE(Held(infected));
  EXPECT_FALSE(Held(harmless));
  std::string delivered = Exported(infected);
  EXPECT_EQ(delivered.find("EICAR-=D0=92"), std::string::npos) << delivered;
  EXPECT_NE(delivered.find("Subject: news\nMIME-Version: 1.0\n"), std::string::npos) << "the header stays";
  EXPECT_NE(delivered.find("Tervala Anti-Virus Report"), std::string::npos) << delivered;
  EXPECT_EQ(Exported(harmless), clean);
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 1u);
}

TEST_F(ScanDriverTest, WithoutAConvertedViewTheStoredPartsAreScannedDecoded) {
  NoteId id = SubmitMime(kMimeWithEicar);
  {
    ScopedDb box(host_.get());
    ScopedNote raw(host_.get());
    ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ASSERT_EQ(host_->NoteOpen(box.get(), id, kOpenRawMime, raw.put()), kNoError);
    std::string damaged = std::string("\x19\x00", 2) + "\x01\x02";  // too short for a part header
    ASSERT_EQ(host_->ItemAppend(raw.get(), 0, "Body", damaged, nullptr), kNoError);
    ASSERT_EQ(host_->NoteUpdate(raw.get(), kUpdateForce), kNoError);
  }
  ASSERT_EQ(Run(), kNoError);
  EXPECT_TRUE(LoggedStart("ERROR CD-CONVERT NOTE(3)"));
  EXPECT_FALSE(Held(id)) << Joined();
  std::map<std::string, std::string> files = FilesByName(id);
  EXPECT_EQ(files.count("Body"), 1u) << "parts removed: the base64 payload was found once decoded";
  EXPECT_TRUE(Logged("MIME PART NAMED Body"));
  std::string exported;
  {
    ScopedDb box(host_.get());
    ScopedNote raw(host_.get());
    ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ASSERT_EQ(host_->NoteOpen(box.get(), id, kOpenRawMime, raw.put()), kNoError);
    (void)ExportMimeMessage(host_.get(), raw.get(), Wide(server_.directory()), &exported);
  }
  EXPECT_EQ(exported.find("WDVPIVAlQEFQWzRcUFpYNTQo"), std::string::npos) << "the payload is gone";
  EXPECT_TRUE(LeftOver().empty());
}

TEST_F(ScanDriverTest, CleanMailIsReleasedExactlyAsItCame) {
  const std::string message = "From: a@example.com\nTo: b@example.com\nSubject: hi\n\nhello\r\n";
  NoteId id = SubmitMime(message);
  ASSERT_EQ(Run(), kNoError);
  EXPECT_FALSE(Held(id));
  ScopedDb box(host_.get());
  ScopedNote note(host_.get());
  ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
  ASSERT_EQ(host_->NoteOpen(box.get(), id, kOpenRawMime, note.put()), kNoError);
  std::string exported;
  ASSERT_EQ(ExportMimeMessage(host_.get(), note.get(), Wide(server_.directory()), &exported), kNoError);
  EXPECT_EQ(exported, message);
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 0u);
}

// Mail whose body converts to no text at all is clean, and leaves as it came.
TEST_F(ScanDriverTest, MailWithAnEmptyBodyPassesUntouched) {
  const std::vector<std::string> shapes = {
      "From: a@example.com\nTo: b@example.com\nSubject: headers only\n",
      "From: a@example.com\nTo: b@example.com\nSubject: blank\n\n",
      "From: a@example.com\nTo: b@example.com\nSubject: blank lines\n\n\r\n\r\n \n",
      "From: a@example.com\nTo: b@example.com\nSubject: empty part\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\n\n--b--\n",
      "From: copier@example.com\nTo: b@example.com\nSubject: scan\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: application/pdf; name=\"scan.pdf\"\n"
      "Content-Transfer-Encoding: base64\n\nJVBERi0xLjQKJcfsj6IK\n--b--\n",
      "From: a@example.com\nTo: b@example.com\nSubject: signed\nMIME-Version: 1.0\n"
      "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha-256; boundary=\"s\"\n\n"
      "--s\nContent-Type: text/plain; charset=utf-8\n\n\n--s\nContent-Type: application/pkcs7-signature; name=\"smime.p7s\"\n"
      "Content-Transfer-Encoding: base64\n\nMIAGCSqGSIb3DQEHAqCAMIACAQEx\n--s--\n",
      "From: a@example.com\nTo: b@example.com\nSubject: a photo\nMIME-Version: 1.0\nContent-Type: image/jpeg\n"
      "Content-Transfer-Encoding: base64\n\n/9j/4AAQSkZJRgABAQ==\n",
  };
  std::vector<NoteId> ids;
  for (const std::string& shape : shapes) ids.push_back(SubmitMime(shape));
  ASSERT_EQ(Run(), kNoError);
  for (size_t i = 0; i < shapes.size(); ++i) {
    EXPECT_FALSE(Held(ids[i])) << shapes[i];
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ASSERT_EQ(host_->NoteOpen(box.get(), ids[i], kOpenRawMime, note.put()), kNoError);
    std::string exported;
    ASSERT_EQ(ExportMimeMessage(host_.get(), note.get(), Wide(server_.directory()), &exported), kNoError);
    EXPECT_EQ(exported, shapes[i]);
  }
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 0u) << Joined();
  EXPECT_EQ(NoteCount("mail.box"), shapes.size()) << "no memo about clean mail";
}

TEST_F(ScanDriverTest, FiltersActInOrderSizeTypeName) {
  Change("formMonitorSettings", {{"msSizeValue", "1"}, {"msTypeEnabled", "0"}});
  std::string big = "MZ" + std::string(1022, 'x');  // exactly the limit: passes the size test
  NoteId id = SubmitMemo({{"limit.dat", big},
                          {"large.exe", big + "y"},
                          {"program.txt", "MZ rest"},
                          {"gif87.exe", "GIF87a..."},
                          {"photo.gif", "GIF89a..."}});
  ASSERT_EQ(Run(), kNoError);
  EXPECT_FALSE(Held(id));
  std::map<std::string, std::string> files = FilesByName(id);
  ASSERT_EQ(files.size(), 5u);
  EXPECT_EQ(files["limit.dat"], placeholder_) << "at the limit it is tested further: an executable by its content";
  EXPECT_EQ(files["large.exe"], big + "y") << "too large decides first: reported, kept (the default passes it)";
  EXPECT_EQ(files["program.txt"], placeholder_) << "an executable whatever its name";
  EXPECT_EQ(files["gif87.exe"], placeholder_) << "GIF87a is of unknown type, but the name filter takes *.EXE";
  EXPECT_EQ(files["photo.gif"], "GIF89a...") << "images are not excluded";
  EXPECT_TRUE(Logged("Объект отфильтрован по типу."));
  EXPECT_TRUE(Logged("Объект отфильтрован по имени."));
  EXPECT_TRUE(Logged("Размер объекта больше разрешенного."));
  EXPECT_TRUE(LeftOver().empty());
}

TEST_F(ScanDriverTest, AWorkFolderOthersCanWriteIntoRefusesTheStart) {
  NoteId id = SubmitMemo({{"a.txt", "clean"}});
  ASSERT_EQ(Run(), kNoError);  // made for the monitor alone
  std::string work = server_.directory() + "/tmp/zulmailmonitor";
  ASSERT_EQ(::chmod(work.c_str(), 0777), 0);
  platform_->lines.clear();
  NoteId next = SubmitMemo({{"b.txt", "clean"}});
  EXPECT_NE(Run(), kNoError);
  EXPECT_TRUE(Held(next)) << "nothing is scanned in a folder others can plant links in";
  EXPECT_FALSE(Held(id));
  EXPECT_TRUE(LoggedStart("Рабочая папка ")) << Joined();
}

// What the MIME reader cannot split (nesting past its limit) was never read
// as mail: it is an object that could not be checked, and goes.
TEST_F(ScanDriverTest, PartsNestedPastTheLimitAreNotPassedUnchecked) {
  std::string message = "From: a@example.com\nTo: b@example.com\nSubject: deep\nMIME-Version: 1.0\n"
                        "Content-Type: multipart/mixed; boundary=\"d0\"\n\n";
  for (int level = 1; level < 70; ++level) {
    message += "--d" + std::to_string(level - 1) + "\nContent-Type: multipart/mixed; boundary=\"d" +
               std::to_string(level) + "\"\n\n";
  }
  message += "--d69\nContent-Type: application/octet-stream; name=\"deep.com\"\nContent-Transfer-Encoding: base64\n\n"
             "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\nLUZJTEUhJEgrSCo=\n";
  for (int level = 69; level >= 0; --level) message += "--d" + std::to_string(level) + "--\n";
  NoteId id = SubmitMime(message);
  ASSERT_EQ(Run(), kNoError);
  EXPECT_FALSE(Held(id));
  std::string exported = Exported(id);
  EXPECT_EQ(exported.find("WDVPIVAlQEFQWzRcUFpYNTQo"), std::string::npos) << "the payload does not reach the recipient";
  EXPECT_NE(exported.find("вложенность частей письма больше допустимой"), std::string::npos) << "the report says why";
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 1u);
}

TEST_F(ScanDriverTest, AScanThatDidNotFinishIsNoCleanScan) {
  std::string nested = kEicar;
  for (int level = 0; level < 20; ++level) nested = BuildZip({{"level" + std::to_string(level) + ".zip", nested}});
  NoteId id = SubmitMemo({{"deep.zip", nested}});
  ASSERT_EQ(Run(), kNoError);
  EXPECT_FALSE(Held(id));
  EXPECT_EQ(Files(id)[0].data, placeholder_) << "by default an incomplete scan removes the object";
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 1u) << "and keeps it in quarantine";
  EXPECT_NE(BodyText(id).find("проверка не завершена"), std::string::npos) << BodyText(id);
}

TEST_F(ScanDriverTest, TheNameFilterSeesTheNameWindowsRuns) {
  const std::string longName = std::string(300, 'B') + ".exe";
  NoteId id = SubmitMemo({{longName, "harmless"}, {"evil.exe.", "harmless"}, {"evil.exe ", "harmless"},
                          {"evil.exe. .", "harmless"}, {"notes.exe.txt", "harmless"}});
  ASSERT_EQ(Run(), kNoError);
  EXPECT_FALSE(Held(id));
  std::vector<Attachment> files = Files(id);
  ASSERT_EQ(files.size(), 5u);
  for (const Attachment& file : files) {
    if (file.name == "notes.exe.txt") {
      EXPECT_EQ(file.data, "harmless") << "a name that only contains .exe is not filtered";
    } else {
      EXPECT_EQ(file.data, placeholder_) << file.name.substr(0, 20) << " passed the filter";
    }
  }
}

// A client may show the file under either name a part gives it: the
// filter sees both.
TEST_F(ScanDriverTest, TheNameFilterSeesEveryNameAPartGives) {
  auto mail = [](const std::string& type, const std::string& disposition) {
    return "From: a@example.com\nTo: b@example.com\nSubject: names\nMIME-Version: 1.0\n"
           "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nsee attached\n"
           "--b\nContent-Type: application/octet-stream; name=\"" + type + "\"\n"
           "Content-Disposition: attachment; filename=\"" + disposition + "\"\n\nharmless bytes\n--b--\n";
  };
  const std::string hiddenInType = mail("evil.exe", "readme.txt");
  const std::string hiddenInDisposition = mail("readme.txt", "evil.exe");
  const std::string harmless = mail("notes.txt", "readme.txt");
  NoteId first = SubmitMime(hiddenInType);
  NoteId second = SubmitMime(hiddenInDisposition);
  NoteId third = SubmitMime(harmless);
  ASSERT_EQ(Run(), kNoError);
  for (NoteId id : {first, second}) {
    EXPECT_FALSE(Held(id));
    std::string delivered = Exported(id);
    EXPECT_EQ(delivered.find("harmless bytes"), std::string::npos) << delivered;
    EXPECT_NE(delivered.find("name=\"evil.exe\""), std::string::npos) << "the part keeps its headers";
  }
  EXPECT_EQ(Exported(third), harmless) << "two harmless names: untouched";
}

TEST_F(ScanDriverTest, EveryOneOfThreeHundredInfectedObjectsIsRemoved) {
  std::vector<Attachment> many;
  for (int i = 0; i < 300; ++i) many.push_back({"e" + std::to_string(i) + ".txt", kEicar});
  NoteId id = SubmitMemo(many);
  ASSERT_EQ(Run(), kNoError);
  EXPECT_FALSE(Held(id));
  std::vector<Attachment> files = Files(id);
  ASSERT_EQ(files.size(), 300u);
  for (const Attachment& file : files) EXPECT_EQ(file.data, placeholder_) << file.name;
  EXPECT_TRUE(LeftOver().empty());
}

ScanResult CuringKernel(std::u16string_view, std::u16string_view cureCopy, std::string* description, bool) {
  *description = "Test.Cured";
  (void)ProcessPlatform()->FileWrite(cureCopy, "cured content");
  return ResultCured;
}

TEST_F(ScanDriverTest, CuredObjectsReplaceTheOriginals) {
  NoteId id = SubmitMemo({{"doc.bin", "infected but curable"}});
  SetKernelScanFunction(CuringKernel);
  ASSERT_EQ(Run(), kNoError);
  std::vector<Attachment> files = Files(id);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name, "doc.bin");
  EXPECT_EQ(files[0].data, "cured content");
  EXPECT_TRUE(LeftOver().empty()) << "the cure copy goes once it is attached";
}

TEST_F(ScanDriverTest, ScanningOffReleasesUnscanned) {
  Change("formMonitorSettings", {{"msDisableTask", "0"}});
  NoteId id = SubmitMemo({{"e.com", kEicar}});
  ASSERT_EQ(Run(), kNoError);
  EXPECT_FALSE(Held(id));
  EXPECT_EQ(Files(id)[0].data, kEicar) << "switched off by the administrator";
  EXPECT_TRUE(Logged("Документ 0x08f8 обработан."));
}

TEST_F(ScanDriverTest, FailuresKeepTheMailHeld) {
  NoteId first = SubmitMemo({{"e.com", kEicar}});
  // The start's information document, the statistics record and the
  // quarantine document are saved before the mail.
  platform_->FailCall("NoteUpdate", 4, kDatabaseLocked, 0);
  ASSERT_EQ(Run(), kNoError);
  EXPECT_TRUE(Held(first)) << "a cleaned note that could not be saved is not released";
  EXPECT_EQ(Files(first)[0].data, kEicar) << "and the stored note still has the object: it must stay held";
  EXPECT_TRUE(LoggedStart("Ошибка отправки документа 0x")) << Joined();
  EXPECT_TRUE(LoggedStart("Ошибка антивирусной проверки документа 0x08f8."));
  platform_->ClearFaults();
  platform_->lines.clear();

  NoteId second = SubmitMemo({{"a.txt", "clean"}, {"e.com", kEicar}});
  // The walk fails on the item after the first attachment, once that one is scanned.
  platform_->FailCall("ItemInfoNext", platform_->CallCount("ItemInfoNext") + ItemIndex(second, "$FILE") + 1,
                      kDatabaseCorrupt);
  ASSERT_EQ(Run(), kNoError);
  EXPECT_TRUE(Held(second)) << "a walk that stopped half way is no scan";
  EXPECT_TRUE(LoggedStart("Ошибка доступа к элементу..")) << ::testing::PrintToString(Lines());
  EXPECT_TRUE(LeftOver().empty());
}

TEST_F(ScanDriverTest, HeldMailIsRetriedByTheMonitorItself) {
  NoteId id = SubmitMemo({{"e.com", kEicar}});
  platform_->FailCall("ItemDeleteByBlock", 1, kDatabaseLocked);
  ASSERT_EQ(Run(), kNoError);
  ASSERT_TRUE(Held(id));
  EXPECT_EQ(Files(id)[0].data, kEicar);
  platform_->lines.clear();
  // No request waits for it now; the monitor's own sweep posts one once
  // the document has been held for the retry delay.
  platform_->onIdle = [this](int) { clock_->AdvanceSeconds(20); };
  ASSERT_EQ(Run(3), kNoError);
  EXPECT_TRUE(Held(id)) << "not before the delay";
  ASSERT_EQ(Run(6), kNoError);
  EXPECT_FALSE(Held(id)) << Joined();
  EXPECT_EQ(Files(id)[0].data, placeholder_);
  EXPECT_EQ(Count("Получен запрос от перехватчика: '00000000|000008f8|00000000|mail.box'"), 1);
}

TEST_F(ScanDriverTest, RetriesBackOffAndEndInOneWarning) {
  SetIni("ZulMailMonitorRetryDelay", "10");
  NoteId id = SubmitMemo({{"e.com", kEicar}});
  platform_->FailCall("ItemDeleteByBlock", 1, kDatabaseLocked, 0);
  platform_->onIdle = [this](int) { clock_->AdvanceSeconds(10); };
  // Tries at 10, 30, 70, 150 and 310 s of age; the warning at 630 s.
  ASSERT_EQ(Run(100), kNoError);
  EXPECT_TRUE(Held(id));
  EXPECT_EQ(Count("Получен запрос от перехватчика: '00000000|000008f8|00000000|mail.box'"), 6) << Joined();
  EXPECT_EQ(Count("Документ 0x08f8 задержан: 5 попыток проверки не удались; повторите запрос: zulctl mail requeue."), 1);
}

TEST_F(ScanDriverTest, AnObjectThatCouldNotBeWrittenOutIsKeptInQuarantine) {
  std::string clean(3 << 20, 'c');
  NoteId id = SubmitMemo({{"scan.pdf", clean}});
  platform_->FailCall("ExtractFile", 1, kFileError, 0);  // the work folder is full
  ASSERT_EQ(Run(), kNoError);
  EXPECT_FALSE(Held(id));
  EXPECT_EQ(FilesByName(id)["scan.pdf"], placeholder_) << "not checked: not delivered";
  platform_->ClearFaults();
  ASSERT_EQ(NoteCount("zulquarantine.nsf"), 1u);
  std::vector<Attachment> kept = Files(0x8f8, "zulquarantine.nsf");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].name, "scan.pdf");
  EXPECT_TRUE(kept[0].data == clean) << "the original, byte for byte";
  EXPECT_NE(BodyText(id).find("Вложение \"scan.pdf\": объект не обработан"), std::string::npos) << BodyText(id);
}

TEST_F(ScanDriverTest, NoRemovalWithoutTheQuarantineCopyItPromises) {
  std::filesystem::resize_file(server_.directory() + "/data/zulquarantine.nsf", 0);  // damaged: empty
  NoteId id = SubmitMemo({{"e.com", kEicar}});
  ASSERT_EQ(Run(), kNoError);
  EXPECT_TRUE(Held(id)) << Joined();
  EXPECT_EQ(Files(id)[0].data, kEicar) << "nothing removed";
  EXPECT_TRUE(LoggedStart("Копия в карантин (zulquarantine.nsf) не создана; документ 0x08f8 задержан."));
  EXPECT_TRUE(LoggedStart("Ошибка антивирусной проверки документа 0x08f8."));
  EXPECT_EQ(NoteCount("mail.box"), 2u) << "the administrators' warning memo";
}

TEST_F(ScanDriverTest, OleObjectsRichTextBodiesAndEncryptedAttachmentsAreChecked) {
  auto submit = [this](const std::function<void(NoteHandle)>& build) {
    ScopedDb box(host_.get());
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ScopedNote memo(host_.get());
    EXPECT_EQ(host_->MailCreateMessage(box.get(), memo.put()), kNoError);
    EXPECT_EQ(host_->ItemCreateTextList(memo.get(), "Recipients", "CN=Anna/O=Tervala"), kNoError);
    EXPECT_EQ(host_->ItemSetText(memo.get(), "RoutingState", "HOLD"), kNoError);
    build(memo.get());
    EXPECT_EQ(host_->NoteUpdate(memo.get(), kUpdateForce), kNoError);
    NoteInfo info;
    EXPECT_EQ(host_->NoteGetInfo(memo.get(), &info), kNoError);
    Post(info.noteId);
    return info.noteId;
  };
  std::string storage = server_.directory() + "/storage";
  std::ofstream(storage, std::ios::binary) << kEicar;
  NoteId ole = submit([&](NoteHandle memo) {
    std::array<uint8_t, 16> wordClass{};
    ASSERT_EQ(host_->OleInsertObject(memo, Wide(storage), "ExtData1", wordClass, "Document", "Body"), kNoError);
  });
  NoteId body = submit([&](NoteHandle memo) {
    CompoundTextHandle rich = kNullHandle;
    ASSERT_EQ(host_->CompoundTextCreate(memo, "Body", &rich), kNoError);
    uint32_t style = 0;
    ASSERT_EQ(host_->CompoundTextDefineStyle(rich, "Normal", &style), kNoError);
    ASSERT_EQ(host_->CompoundTextAddText(rich, style, 0, "see below\r\n" + kEicar, "\r\n"), kNoError);
    MemHandle buffer = kNullHandle;
    uint32_t length = 0;
    std::u16string file;
    ASSERT_EQ(host_->CompoundTextClose(rich, &buffer, &length, &file), kNoError);
  });
  auto encrypted = [&] {
    return submit([&](NoteHandle memo) {
      std::string path = server_.directory() + "/sealed";
      std::ofstream(path, std::ios::binary) << "sealed bytes";
      ASSERT_EQ(host_->AttachFile(memo, Wide(path), "sealed.doc", 1, true, nullptr), kNoError);
    });
  };
  NoteId sealed = encrypted();
  // A kernel that finds the test pattern anywhere, as a pattern signature would.
  SetKernelScanFunction(PatternKernel);
  ASSERT_EQ(Run(), kNoError);
  SetKernelScanFunction(nullptr);
  EXPECT_FALSE(Held(ole));
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 3u) << "the OLE object, the body and the sealed attachment";
  EXPECT_EQ(BodyText(body).find("EICAR"), std::string::npos) << "the infected body is removed";
  EXPECT_EQ(FilesByName(sealed)["sealed.doc"], placeholder_) << "an attachment that cannot be read is not checked";
  {
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ASSERT_EQ(host_->NoteOpen(box.get(), ole, 0, note.put()), kNoError);
    std::string out = server_.directory() + "/ole-out";
    EXPECT_NE(host_->OleWriteObject(note.get(), "ExtData1", Wide(out)), kNoError) << "the OLE object is removed";
  }
  // Only a site that accepts encrypted objects lets them pass.
  Change("formKernelSettings", {{"ksEncrypted", "1"}});
  NoteId accepted = encrypted();
  ASSERT_EQ(Run(), kNoError);
  EXPECT_FALSE(Held(accepted));
  ScopedDb box(host_.get());
  ScopedNote note(host_.get());
  ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
  ASSERT_EQ(host_->NoteOpen(box.get(), accepted, kOpenRawMime, note.put()), kNoError);
  ItemInfo item;
  ASSERT_EQ(host_->ItemInfoByName(note.get(), "$FILE", &item), kNoError);
  EXPECT_EQ(host_->ExtractFile(note.get(), item.item, Wide(server_.directory() + "/x")), kAttachmentEncrypted)
      << "passed as it came";
}

TEST_F(ScanDriverTest, ADamagedAttachmentDescriptorIsNotSkipped) {
  NoteId id = SubmitMemo({{"e.com", kEicar}});
  {
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ASSERT_EQ(host_->NoteOpen(box.get(), id, kOpenRawMime, note.put()), kNoError);
    ItemInfo item;
    ASSERT_EQ(host_->ItemInfoByName(note.get(), "$FILE", &item), kNoError);
    std::string value;
    ASSERT_EQ(host_->ItemValue(item.value, &value), kNoError);
    ASSERT_EQ(host_->ItemDeleteByBlock(note.get(), item.item), kNoError);
    ASSERT_EQ(host_->ItemAppend(note.get(), item.flags, "$FILE", value.substr(0, 20), nullptr), kNoError);
    ASSERT_EQ(host_->NoteUpdate(note.get(), kUpdateForce), kNoError);
  }
  ASSERT_EQ(Run(), kNoError);
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 1u) << "reported as not checked and kept";
  EXPECT_FALSE(Held(id));
  std::vector<Attachment> files = Files(id);
  ASSERT_EQ(files.size(), 1u) << "the damaged item is replaced";
  EXPECT_EQ(files[0].data, placeholder_);
}

// Every platform service the scan of a mail uses fails once, one service
// per run, at its first and at its last call of the scan: each mail is then
// held, or released with the infected object gone, never released with
// it, never changed without a report and never lost; and once the faults are gone the monitor's own
// retries release every held mail, clean.
TEST_F(ScanDriverTest, FaultSweepNeverReleasesInfectedMailNorLosesAny) {
  const std::string clean = "From: a@example.com\nTo: b@example.com\nSubject: hi\n\nhello\r\n";
  const std::string payload = "WDVPIVAlQEFQWzRcUFpYNTQo";
  std::map<std::string, uint32_t> atStart;
  std::map<std::string, uint32_t> used;
  auto counts = [this] {
    std::map<std::string, uint32_t> all;
    for (const std::string& service : platform_->Services()) all[service] = platform_->CallCount(service);
    return all;
  };
  // A run without faults tells which services the scan uses, and how often.
  platform_->onIdle = [&](int call) {
    if (call == 1) atStart = counts();
    if (call == 2) {
      for (auto [service, n] : counts()) {
        if (n > atStart[service]) used[service] = n - atStart[service];
      }
    }
  };
  std::vector<std::pair<NoteId, bool>> mails;  // note, infected
  mails.push_back({SubmitMime(kMimeWithEicar), true});
  mails.push_back({SubmitMime(clean), false});
  ASSERT_EQ(Run(), kNoError);
  ASSERT_GT(used.size(), 10u);
  auto checkEach = [&](const std::string& fault) {
    for (auto [id, infected] : mails) {
      if (Held(id)) continue;
      std::string message = Exported(id);  // fails when the mail was lost
      if (infected) {
        EXPECT_EQ(message.find(payload), std::string::npos) << fault << ": released with the infected object";
      } else if (message != clean) {
        // An object the fault kept from being checked gets the reaction of
        // an unchecked object, said in the report: never a silent change.
        EXPECT_NE(message.find("Tervala Anti-Virus Report"), std::string::npos) << fault << ": clean mail changed";
      }
    }
  };
  checkEach("no fault");
  int runs = 0;
  int heldRuns = 0;
  for (auto [service, n] : used) {
    if (service == "AddInIdle" || service == "AddInShouldTerminate") continue;  // the test's own stop
    for (uint32_t which : {1u, n}) {
      if (which == n && n == 1 && which != 1u) continue;
      size_t before = mails.size();
      mails.push_back({SubmitMime(kMimeWithEicar), true});
      mails.push_back({SubmitMime(clean), false});
      platform_->onIdle = [&, service = service, which](int call) {
        if (call == 1) platform_->FailCall(service, platform_->CallCount(service) + which, kDatabaseLocked);
      };
      ASSERT_EQ(Run(), kNoError);
      platform_->ClearFaults();
      ++runs;
      if (Held(mails[before].first) || Held(mails[before + 1].first)) ++heldRuns;
      checkEach(service + " #" + std::to_string(which));
      if (n == 1) break;
    }
  }
  std::printf("fault sweep: %zu services, %d runs, %d with a mail held\n", used.size(), runs, heldRuns);
  // No fault now: the sweep of held mail scans them again by itself.
  platform_->lines.clear();
  platform_->onIdle = [this](int) { clock_->AdvanceSeconds(30); };
  ASSERT_EQ(Run(8), kNoError);
  for (auto [id, infected] : mails) EXPECT_FALSE(Held(id)) << std::hex << id << " " << Joined();
  checkEach("after the retries");
}

TEST_F(ScanDriverTest, BadRequestsTouchNoDocument) {
  NoteId id = SubmitMemo({{"a.txt", "clean"}});
  PostText("garbage without fields");
  PostText("00000000|zz|00000000|mail.box");
  Post(id, "../outside.nsf");
  Post(0x4242);
  ASSERT_EQ(Run(3), kNoError);
  EXPECT_FALSE(Held(id)) << "the good request before them was served";
  EXPECT_TRUE(Logged("Запрос перехватчика отклонён: неверный формат 'garbage without fields'."));
  EXPECT_TRUE(Logged("Запрос перехватчика отклонён: неверный формат '00000000|zz|00000000|mail.box'."));
  EXPECT_TRUE(LoggedStart("Ошибка открытия базы ../outside.nsf."));
  EXPECT_TRUE(LoggedStart("Ошибка открытия документа 0x4242."));
  platform_->lines.clear();
  Post(id);
  ASSERT_EQ(Run(), kNoError);
  EXPECT_TRUE(Logged("Документ 0x08f8 не задержан; запрос пропущен."))
      << "a released note is not saved again" << ::testing::PrintToString(Lines());
}

TEST(HookRequestTest, ParsesExactlyTheHookFormat) {
  HookRequest request;
  ASSERT_TRUE(ParseHookRequest("00000001|000008f8|0000000a|mail.box trailing", &request));
  EXPECT_EQ(request.noteId, 0x8f8u);
  EXPECT_EQ(request.path, "mail.box") << "the path ends at white space";
  HookRequest kept = request;
  for (const char* bad : {"", "|||", "1|2|3|", "123456789|1|1|x", "1|2|x", "1 |2|3|mail.box"}) {
    EXPECT_FALSE(ParseHookRequest(bad, &request)) << bad;
    EXPECT_EQ(request.noteId, kept.noteId) << "nothing of a bad request is taken";
  }
}

}  // namespace
}  // namespace zul::testing
