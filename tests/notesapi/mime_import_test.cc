#include "notesapi/host/mime_import.h"

#include <gtest/gtest.h>

#include "notesapi/item_values.h"
#include "notesapi/rich_text.h"
#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"
#include "tests/notesapi/test_server.h"

namespace notesapi::testing {
namespace {

const char kMessage[] =
    "From: =?UTF-8?B?0JjQstCw0L0=?= <ivan@example.com>\n"
    "To: Anna <anna@example.com>\n"
    "Cc: bob@example.com\n"
    "Subject: =?UTF-8?B?0J7RgtGH0ZHRgg==?=\n"
    "Date: Mon, 07 Dec 2026 10:00:00 +0300\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\n"
    "\n"
    "--outer\n"
    "Content-Type: multipart/alternative; boundary=\"inner\"\n"
    "\n"
    "--inner\n"
    "Content-Type: text/plain; charset=utf-8\n"
    "\n"
    "plain body\n"
    "--inner\n"
    "Content-Type: text/html; charset=utf-8\n"
    "\n"
    "<p>html body</p>\n"
    "--inner--\n"
    "--outer\n"
    "Content-Type: application/octet-stream; name=\"=?UTF-8?B?0L7RgtGH0ZHRgi5leGU=?=\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "TVqQAAMAAAAEAAAA\n"
    "--outer\n"
    "Content-Type: text/plain; name=\"notes.txt\"\n"
    "\n"
    "second attachment\n"
    "--outer--\n";

class MimeImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(p->DbCreate("mail.box", "Mail box"), kNoError);
    ASSERT_EQ(p->DbOpen("mail.box", db.put()), kNoError);
  }
  std::u16string Scratch() { return std::u16string(server_.directory().begin(), server_.directory().end()); }
  std::vector<MimePartHeader> Parts(NoteHandle note) {
    std::vector<MimePartHeader> parts;
    ItemInfo item;
    for (Status s = p->ItemInfoByName(note, "Body", &item); s == kNoError; s = p->ItemInfoNext(note, item.item, "Body", &item)) {
      std::string value;
      EXPECT_EQ(p->ItemValue(item.value, &value), kNoError);
      EXPECT_EQ(item.type, TYPE_MIME_PART);
      size_t offset = 0;
      std::string memory;
      EXPECT_EQ(p->ReadStructure(kStructMimePart, value.substr(2), &offset, &memory), kNoError);
      MimePartHeader header;
      EXPECT_EQ(ParseMimePartHeader(memory, &header), kNoError);
      EXPECT_EQ(value.size(), 2 + 20 + header.byteCount) << "the byte count covers everything after the header";
      parts.push_back(header);
    }
    return parts;
  }
  std::string Lmbcs(const std::string& utf8) {
    std::string out;
    EXPECT_EQ(p->Translate(kTranslateUtf8ToLmbcs, utf8, &out), kNoError);
    return out;
  }
  std::string Utf8(const std::string& lmbcs) {
    std::string out;
    EXPECT_EQ(p->Translate(kTranslateLmbcsToUtf8, lmbcs, &out), kNoError);
    return out;
  }

  TestServer server_;
  std::unique_ptr<Platform> host_ = server_.OpenHost();
  Platform* p = host_.get();
  ScopedDb db{p};
};

TEST_F(MimeImportTest, MessageBecomesHeaderItemsAndRawParts) {
  ImportedMessage imported;
  ASSERT_EQ(ImportMimeMessage(p, db.get(), kMessage, true, Scratch(), &imported), kNoError);
  EXPECT_EQ(imported.recipients, (std::vector<std::string>{"anna@example.com", "bob@example.com"}));
  ScopedNote note(p);
  ASSERT_EQ(p->NoteOpen(db.get(), imported.noteId, kOpenRawMime, note.put()), kNoError);
  std::string text;
  ASSERT_EQ(p->ItemGetText(note.get(), "Subject", 255, &text), kNoError);
  EXPECT_EQ(Utf8(text), "Отчёт");
  ASSERT_EQ(p->ItemGetText(note.get(), "From", 255, &text), kNoError);
  EXPECT_EQ(Utf8(text), "Иван <ivan@example.com>");
  ASSERT_EQ(p->ItemGetText(note.get(), "SMTPOriginator", 255, &text), kNoError);
  EXPECT_EQ(text, "ivan@example.com");
  ASSERT_EQ(p->ItemGetText(note.get(), "RoutingState", 255, &text), kNoError);
  EXPECT_EQ(p->ItemTextListCount(note.get(), "Recipients"), 2);
  EXPECT_EQ(p->ItemTextListCount(note.get(), "CopyTo"), 1);
  TimeDate posted;
  ASSERT_TRUE(p->ItemGetTime(note.get(), "PostedDate", &posted));
  EXPECT_EQ(posted.innards[0], 7u * 360000) << "10:00 +0300 is 07:00 universal time";
  std::vector<MimePartHeader> parts = Parts(note.get());
  std::vector<int> types;
  for (const auto& part : parts) types.push_back(part.partType);
  // message, inner prolog (its delimiter and headers), plain, html, inner epilog, attachment, attachment,
  // outer epilog; the outer prolog is empty and not stored
  EXPECT_EQ(types, (std::vector<int>{5, 1, 2, 2, 3, 2, 2, 3}));

  std::string exported;
  ASSERT_EQ(ExportMimeMessage(p, note.get(), Scratch(), &exported), kNoError);
  EXPECT_NE(exported.find("Content-Transfer-Encoding: base64\n\nTVqQAAMAAAAEAAAA\n--outer\n"), std::string::npos) << exported;
  ImportedMessage again;
  ASSERT_EQ(ImportMimeMessage(p, db.get(), exported, false, Scratch(), &again), kNoError);
  ScopedNote second(p);
  ASSERT_EQ(p->NoteOpen(db.get(), again.noteId, kOpenRawMime, second.put()), kNoError);
  EXPECT_EQ(Parts(second.get()).size(), parts.size()) << "the exported message has the same structure";
  ItemInfo routing;
  EXPECT_EQ(p->ItemInfoByName(second.get(), "RoutingState", &routing), kItemNotFound) << "not held";
}

// Each encoded word is decoded on its own: the padding of one never ends
// the subject, and only the space between two encoded words goes.
TEST_F(MimeImportTest, SubjectsDecodeWordByWord) {
  std::string longSubject;
  std::string longExpected;
  for (int i = 0; i < 40; ++i) {
    longSubject += " =?utf-8?b?0KHQu9C+0LLQvi0=?=";  // "Слово-" with padding
    longExpected += "Слово-";
  }
  const std::pair<std::string, std::string> cases[] = {
      {"=?utf-8?b?0JTQstCwIA==?= =?utf-8?b?0J7QtNC40L0g?=", "Два Один "},
      {"=?utf-8?b?0JTQstCw?=\r\n =?utf-8?q?_=D0=9E=D0=B4=D0=B8=D0=BD?=", "Два Один"},
      {"Re: =?windows-1251?B?z/Do4uXy?= and more", "Re: Привет and more"},
      {"=?koi8-r?Q?=F0=D2=C9=D7=C5=D4?= world", "Привет world"},
      {"=?utf-8?b?broken word?= stays", "=?utf-8?b?broken word?= stays"},
      {"plain   spacing  kept", "plain   spacing  kept"},
      {"=?UTF-8*ru?B?0JTQsA==?=", "Да"},
      {longSubject.substr(1), longExpected},
  };
  for (const auto& [raw, expected] : cases) {
    ImportedMessage imported;
    std::string message = "From: a@example.com\nTo: b@example.com\nSubject: " + raw + "\n\nhi\n";
    ASSERT_EQ(ImportMimeMessage(p, db.get(), message, false, Scratch(), &imported), kNoError);
    ScopedNote note(p);
    ASSERT_EQ(p->NoteOpen(db.get(), imported.noteId, kOpenRawMime, note.put()), kNoError);
    std::string lmbcs, subject;
    ASSERT_EQ(p->ItemGetText(note.get(), "Subject", 65535, &lmbcs), kNoError);
    ASSERT_EQ(p->Translate(kTranslateLmbcsToUtf8, lmbcs, &subject), kNoError);
    EXPECT_EQ(subject, expected) << raw;
  }
}

TEST_F(MimeImportTest, ReadersSeeRichTextAndAttachments) {
  ImportedMessage imported;
  ASSERT_EQ(ImportMimeMessage(p, db.get(), kMessage, true, Scratch(), &imported), kNoError);
  ScopedNote note(p);
  ASSERT_EQ(p->NoteOpen(db.get(), imported.noteId, 0, note.put()), kNoError);
  ItemInfo item;
  EXPECT_EQ(p->ItemInfoByName(note.get(), "MIME_Version", &item), kItemNotFound);
  ASSERT_EQ(p->ItemInfoByName(note.get(), "Body", &item), kNoError);
  EXPECT_EQ(item.type, TYPE_COMPOSITE);
  MemHandle text = kNullHandle;
  uint32_t length = 0;
  ASSERT_EQ(p->ConvertRichTextToText(item.value, "\n", 0, &text, &length), kNoError);
  ScopedMem owner(p, text);
  std::string body(reinterpret_cast<char*>(p->MemLock(text)), length);
  EXPECT_NE(body.find("plain body"), std::string::npos) << body;
  std::string bodyValue;
  ASSERT_EQ(p->ItemValue(item.value, &bodyValue), kNoError);
  std::vector<std::string> hotspots;
  ASSERT_EQ(ForEachCdRecord(bodyValue.substr(2), [&](const CdRecord& r) {
              if (r.signature == SIG_CD_HOTSPOTBEGIN) hotspots.emplace_back(r.body.substr(8));
            }),
            kNoError);
  ASSERT_EQ(hotspots.size(), 2u) << "each attachment shown in the text";
  EXPECT_EQ(hotspots[1], std::string("notes.txt\0notes.txt\0", 20));
  std::vector<std::string> names;
  std::vector<std::string> contents;
  std::vector<uint16_t> flags;
  for (Status s = p->ItemInfoByName(note.get(), "$FILE", &item); s == kNoError;
       s = p->ItemInfoNext(note.get(), item.item, "$FILE", &item)) {
    std::string value;
    ASSERT_EQ(p->ItemValue(item.value, &value), kNoError);
    FileObject file;
    ASSERT_EQ(ParseFileObject(value.substr(2), &file), kNoError);
    names.push_back(Utf8(value.substr(38, file.fileNameLength)));
    flags.push_back(file.flags & kFileFlagBodySource);
    std::u16string path = Scratch() + u"/extracted";
    ASSERT_EQ(p->ExtractFile(note.get(), item.item, path), kNoError);
    std::ifstream in(server_.directory() + "/extracted", std::ios::binary);
    contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // The HTML body's source is there for the scanner, marked as the body's.
  EXPECT_EQ(names, (std::vector<std::string>{"Body (text/html)", "отчёт.exe", "notes.txt", "Message (as sent)"}));
  EXPECT_EQ(flags, (std::vector<uint16_t>{kFileFlagBodySource, 0, 0, 0}));
  EXPECT_EQ(contents, (std::vector<std::string>{"<p>html body</p>", std::string("MZ\x90\0\x03\0\0\0\x04\0\0\0", 12),
                                                "second attachment", kMessage}))
      << "the decoded bytes; the last line break belongs to the boundary";
  ScopedNote raw(p);
  ASSERT_EQ(p->NoteOpen(db.get(), imported.noteId, kOpenRawMime, raw.put()), kNoError);
  EXPECT_EQ(Parts(raw.get()).size(), 8u) << "the stored note is unchanged";
}

TEST_F(MimeImportTest, LargePartsLiveInAttachmentObjects) {
  std::string big(200000, 'A');
  for (size_t i = 76; i < big.size(); i += 77) big[i] = '\n';
  std::string message = std::string("From: a@example.com\nTo: b@example.com\nSubject: big\nMIME-Version: 1.0\n") +
                        "Content-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n" + big + "\n";
  ImportedMessage imported;
  ASSERT_EQ(ImportMimeMessage(p, db.get(), message, true, Scratch(), &imported), kNoError);
  ScopedNote note(p);
  ASSERT_EQ(p->NoteOpen(db.get(), imported.noteId, kOpenRawMime, note.put()), kNoError);
  std::vector<MimePartHeader> parts = Parts(note.get());
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_TRUE(parts[1].flags & kMimePartBodyInDbObject);
  std::string exported;
  ASSERT_EQ(ExportMimeMessage(p, note.get(), Scratch(), &exported), kNoError);
  EXPECT_NE(exported.find(big.substr(0, 1000)), std::string::npos);
  EXPECT_GT(exported.size(), big.size());
  ScopedNote converted(p);
  ASSERT_EQ(p->NoteOpen(db.get(), imported.noteId, 0, converted.put()), kNoError);
  EXPECT_EQ(p->ItemTextListCount(converted.get(), "$FILE"), 0);
  int files = 0;
  ItemInfo file;
  for (Status s = p->ItemInfoByName(converted.get(), "$FILE", &file); s == kNoError;
       s = p->ItemInfoNext(converted.get(), file.item, "$FILE", &file)) {
    ++files;
  }
  EXPECT_EQ(files, 2) << "the decoded attachment and the message as sent, not the object holding the raw part";
}

TEST_F(MimeImportTest, OnlyWhatIsNoMessageIsRefusedAndItSaysWhy) {
  ImportedMessage imported;
  EXPECT_EQ(ImportMimeMessage(p, db.get(), "", true, Scratch(), &imported), kNotAMessage);
  EXPECT_EQ(imported.refusal, "empty file");
  EXPECT_EQ(ImportMimeMessage(p, db.get(), "just some words\nand more\n", true, Scratch(), &imported), kNotAMessage);
  EXPECT_EQ(imported.refusal, "no header lines");
  std::vector<NoteId> ids;
  ASSERT_EQ(p->DbNoteIds(db.get(), &ids), kNoError);
  EXPECT_TRUE(ids.empty()) << "refused files leave no note behind";
  const std::string broken =
      "From: \xff\xfe <x@example.com>\nSubject: \xd0\xbc\xd0\xb8\xd1\x80 8-bit\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"never\"\n\nno boundary ever comes\n";
  EXPECT_EQ(ImportMimeMessage(p, db.get(), broken, true, Scratch(), &imported), kNoError);
}

TEST_F(MimeImportTest, MemosGoToTheMailBoxWithTheirAttachments) {
  ASSERT_EQ(p->DbCreate("zulsetup.nsf", "Settings"), kNoError);
  ScopedDb from(p);
  ASSERT_EQ(p->DbOpen("zulsetup.nsf", from.put()), kNoError);
  ScopedNote memo(p);
  ASSERT_EQ(p->MailCreateMessage(from.get(), memo.put()), kNoError);
  ASSERT_EQ(p->ItemCreateTextList(memo.get(), "SendTo", "CN=Admin/O=Tervala"), kNoError);
  ASSERT_EQ(p->ItemAppendTextList(memo.get(), "Recipients", "admin@example.com", false), kNoError);
  ASSERT_EQ(p->ItemSetText(memo.get(), "Subject", "warning"), kNoError);
  std::string source = server_.directory() + "/report.txt";
  std::ofstream(source) << "attached report";
  ASSERT_EQ(p->AttachFile(memo.get(), std::u16string(source.begin(), source.end()), "report.txt", 1, false, nullptr),
            kNoError);
  ASSERT_EQ(p->MailTransferMessage(memo.get()), kNoError);
  std::vector<NoteId> ids;
  ASSERT_EQ(p->DbNoteIds(db.get(), &ids), kNoError);
  ASSERT_EQ(ids.size(), 1u);
  ScopedNote delivered(p);
  ASSERT_EQ(p->NoteOpen(db.get(), ids[0], 0, delivered.put()), kNoError);
  std::string text;
  ASSERT_EQ(p->ItemGetText(delivered.get(), "Form", 20, &text), kNoError);
  EXPECT_EQ(text, "Memo");
  EXPECT_EQ(p->ItemTextListCount(delivered.get(), "Recipients"), 1);
  TimeDate posted;
  EXPECT_TRUE(p->ItemGetTime(delivered.get(), "PostedDate", &posted));
  ItemInfo file;
  ASSERT_EQ(p->ItemInfoByName(delivered.get(), "$FILE", &file), kNoError);
  std::string out = server_.directory() + "/copy.txt";
  ASSERT_EQ(p->ExtractFile(delivered.get(), file.item, std::u16string(out.begin(), out.end())), kNoError);
  std::ifstream in(out);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "attached report");
}

// A memo written out as mail: a display name is encoded apart from its
// address, and a long subject becomes several encoded words of at most 75
// characters that read back whole.
TEST_F(MimeImportTest, MemoHeadersAreWellFormedMail) {
  std::string subject;
  for (int i = 0; i < 12; ++i) subject += "Отчёт о проверке ";
  ScopedNote memo(p);
  ASSERT_EQ(p->MailCreateMessage(db.get(), memo.put()), kNoError);
  ASSERT_EQ(p->ItemSetText(memo.get(), "From", Lmbcs("Иван Петров <ivan@example.com>")), kNoError);
  ASSERT_EQ(p->ItemCreateTextList(memo.get(), "SendTo", Lmbcs("Анна <anna@example.com>")), kNoError);
  ASSERT_EQ(p->ItemAppendTextList(memo.get(), "SendTo", "bob@example.com", false), kNoError);
  ASSERT_EQ(p->ItemSetText(memo.get(), "Subject", Lmbcs(subject)), kNoError);
  std::string exported;
  ASSERT_EQ(ExportMimeMessage(p, memo.get(), Scratch(), &exported), kNoError);
  EXPECT_NE(exported.find("?= <ivan@example.com>\n"), std::string::npos) << exported;
  EXPECT_NE(exported.find("?= <anna@example.com>,\n bob@example.com\n"), std::string::npos) << exported;
  for (size_t at = exported.find("=?UTF-8?B?"); at != std::string::npos; at = exported.find("=?UTF-8?B?", at + 2)) {
    EXPECT_LE(exported.find("?=", at + 10) + 2 - at, 75u) << exported;
  }
  ImportedMessage imported;
  ASSERT_EQ(ImportMimeMessage(p, db.get(), exported, false, Scratch(), &imported), kNoError);
  ScopedNote back(p);
  ASSERT_EQ(p->NoteOpen(db.get(), imported.noteId, kOpenRawMime, back.put()), kNoError);
  std::string text;
  ASSERT_EQ(p->ItemGetText(back.get(), "Subject", 65535, &text), kNoError);
  EXPECT_EQ(Utf8(text), subject);
  ASSERT_EQ(p->ItemGetText(back.get(), "SMTPOriginator", 1023, &text), kNoError);
  EXPECT_EQ(text, "ivan@example.com");
  ASSERT_EQ(p->ItemGetText(back.get(), "From", 1023, &text), kNoError);
  EXPECT_EQ(Utf8(text), "Иван Петров <ivan@example.com>");
  EXPECT_NE(exported.find("\nDate: "), std::string::npos) << exported;
  EXPECT_NE(exported.find("\nAuto-Submitted: auto-generated\n"), std::string::npos) << exported;

  // A memo of the server's own: a sender with an address, a Message-ID of
  // its own.
  ASSERT_EQ(p->IniSetText("ZulNotifyFrom", "antivirus@example.org"), kNoError);
  std::vector<std::string> ids;
  for (int i = 0; i < 2; ++i) {
    ScopedNote notice(p);
    ASSERT_EQ(p->MailCreateMessage(db.get(), notice.put()), kNoError);
    ASSERT_EQ(p->ItemSetText(notice.get(), "From", "Tervala Anti-Virus"), kNoError);
    ASSERT_EQ(p->ItemCreateTextList(notice.get(), "SendTo", "anna@example.com"), kNoError);
    std::string out;
    ASSERT_EQ(ExportMimeMessage(p, notice.get(), Scratch(), &out), kNoError);
    EXPECT_NE(out.find("From: Tervala Anti-Virus <antivirus@example.org>\n"), std::string::npos) << out;
    size_t at = out.find("Message-ID: <");
    ASSERT_NE(at, std::string::npos) << out;
    ids.push_back(out.substr(at, out.find('\n', at) - at));
    EXPECT_NE(ids.back().find("@example.org>"), std::string::npos) << ids.back();
  }
  EXPECT_NE(ids[0], ids[1]) << "every memo its own Message-ID";
}

TEST_F(MimeImportTest, NamesAreCanonicalised) {
  struct Case {
    const char* in;
    const char* out;
  };
  for (const Case& c : {Case{"John Smith/Sales/Acme/US", "CN=John Smith/OU=Sales/O=Acme/C=US"},
                        Case{"John Smith/Acme", "CN=John Smith/O=Acme"},
                        Case{"Admin/Tervala/RU", "CN=Admin/O=Tervala/C=RU"},
                        Case{"CN=Admin/O=Tervala", "CN=Admin/O=Tervala"},
                        Case{"flat name", "flat name"},
                        Case{"anna@example.com", "anna@example.com"}}) {
    std::string canonical;
    ASSERT_EQ(p->CanonicalizeName(c.in, &canonical), kNoError) << c.in;
    EXPECT_EQ(canonical, c.out);
  }
  std::string canonical;
  EXPECT_EQ(p->CanonicalizeName("a//b", &canonical), kBadArgument);
  std::string server;
  ASSERT_EQ(p->ServerName(&server), kNoError);
  EXPECT_EQ(server, "CN=Test/O=Tervala");
}

}  // namespace
}  // namespace notesapi::testing
