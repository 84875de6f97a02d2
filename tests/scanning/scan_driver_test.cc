// Held mail through the running monitor: the hook request, the walk, the
// reactions and the release, on mail made by the host's own import and
// memos made through the mail services, with the real kernel and bases.
#include "base/held_mail_items.h"
#include "tests/scanning/scan_driver_fixture.h"

namespace zul::testing {
namespace {

TEST_F(ScanDriverTest, InfectedMimeMailIsCleanedReportedQuarantinedAndReleased) {
  NoteId id = SubmitMime(kMimeWithEicar);
  ASSERT_TRUE(Run().ok());
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

// Mail the milter waits for carries what was found, for the SMTP reply; with
// the refusal on, that reply is the sender's notice, and no memo goes.
TEST_F(ScanDriverTest, MilterMailCarriesItsFindingsAndItsRefusalIsTheSendersNotice) {
  auto memoRecipients = [this](NoteId mail) {
    std::vector<std::string> all;
    ScopedDb box(host_.get());
    std::vector<NoteId> ids;
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    EXPECT_EQ(host_->DbNoteIds(box.get(), &ids), kNoError);
    for (NoteId memo : ids) {
      ScopedNote note(host_.get());
      if (memo == mail || host_->NoteOpen(box.get(), memo, kOpenRawMime, note.put()) != kNoError) continue;
      for (uint16_t i = 0; i < host_->ItemTextListCount(note.get(), "Recipients"); ++i) {
        std::string address;
        EXPECT_EQ(host_->ItemTextListEntry(note.get(), "Recipients", i, &address), kNoError);
        all.push_back(address);
      }
    }
    return all;
  };
  auto submitForTheMilter = [this](const std::string& message) {
    ScopedDb box(host_.get());
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ImportedMessage imported;
    EXPECT_EQ(ImportMimeMessage(host_.get(), box.get(), message, true, Wide(server_.directory()), &imported), kNoError);
    ScopedNote note(host_.get());
    EXPECT_EQ(host_->NoteOpen(box.get(), imported.noteId, kOpenRawMime, note.put()), kNoError);
    EXPECT_EQ(host_->ItemSetText(note.get(), kMilterOwnerItem, "a milter"), kNoError);
    EXPECT_EQ(host_->NoteUpdate(note.get(), kUpdateForce), kNoError);
    Post(imported.noteId);
    return imported.noteId;
  };
  auto threats = [this](NoteId id) {
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    std::string first;
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    EXPECT_EQ(host_->NoteOpen(box.get(), id, kOpenRawMime, note.put()), kNoError);
    (void)host_->ItemTextListEntry(note.get(), kMilterThreatsItem, 0, &first);  // none: empty
    return std::make_pair(host_->ItemTextListCount(note.get(), kMilterThreatsItem), first);
  };
  Change("formObjectActions", {{"acNotify2", "0;1;2;4"}});
  std::string infected = kMimeWithEicar;
  const std::string forbiddenName = "=?UTF-8?B?0L7RgtGH0ZHRgi5jb20=?=";  // a .com the name filter takes first
  infected.replace(infected.find(forbiddenName), forbiddenName.size(), "report.bin");
  NoteId plain = SubmitMime(infected);
  NoteId cleaned = submitForTheMilter(infected);
  ASSERT_TRUE(Run().ok());
  EXPECT_EQ(threats(plain).first, 0u) << "mail of the hook stays as it was";
  EXPECT_EQ(threats(cleaned), std::make_pair(uint16_t{1}, std::string("Eicar-Test-Signature.UNOFFICIAL")));
  std::vector<std::string> told = memoRecipients(0);
  EXPECT_EQ(std::count(told.begin(), told.end(), "ivan@example.com"), 2) << "one notice each: " << Joined();

  SetIni("ZulMilterReject", "1");
  for (NoteId id : {plain, cleaned}) {
    ScopedDb box(host_.get());
    ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ASSERT_EQ(host_->NoteDelete(box.get(), id), kNoError);
  }
  std::vector<std::string> before = memoRecipients(0);
  NoteId refused = submitForTheMilter(infected);
  ASSERT_TRUE(Run().ok());
  EXPECT_EQ(threats(refused).first, 1u);
  std::vector<std::string> after = memoRecipients(refused);
  EXPECT_EQ(std::count(after.begin(), after.end(), "ivan@example.com"),
            std::count(before.begin(), before.end(), "ivan@example.com"))
      << "the SMTP refusal is the sender's notice";
  EXPECT_GT(after.size(), before.size()) << "the recipients and the administrators are still told";
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 3u) << "kept in quarantine as any detection";
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
  ASSERT_TRUE(Run().ok());
  EXPECT_TRUE(LoggedStart("ERROR CD-CONVERT NOTE(3)"));
  EXPECT_FALSE(Held(id)) << Joined();
  std::map<std::string, std::string> files = FilesByName(id);
  EXPECT_EQ(files.count("Body"), 1u) << "parts removed: the base64 payload was found once decoded";
  EXPECT_TRUE(Logged("MIME PART NAMED Body"));
  std::string exported = Exported(id);
  EXPECT_EQ(exported.find("WDVPIVAlQEFQWzRcUFpYNTQo"), std::string::npos) << "the payload is gone";
  EXPECT_TRUE(LeftOver().empty());
}

TEST_F(ScanDriverTest, CleanMailIsReleasedExactlyAsItCame) {
  const std::string message = "From: a@example.com\nTo: b@example.com\nSubject: hi\n\nhello\r\n";
  NoteId id = SubmitMime(message);
  ASSERT_TRUE(Run().ok());
  EXPECT_FALSE(Held(id));
  std::string exported = Exported(id);
  EXPECT_EQ(exported, message);
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 0u);
}

TEST_F(ScanDriverTest, FiltersActInOrderSizeTypeName) {
  Change("formMonitorSettings", {{"msSizeValue", "1"}, {"msTypeEnabled", "0"}});
  std::string big = "MZ" + std::string(1022, 'x');  // exactly the limit: passes the size test
  NoteId id = SubmitMemo({{"limit.dat", big},
                          {"large.exe", big + "y"},
                          {"program.txt", "MZ rest"},
                          {"gif87.exe", "GIF87a..."},
                          {"photo.gif", "GIF89a..."}});
  ASSERT_TRUE(Run().ok());
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
  ASSERT_TRUE(Run().ok());  // made for the monitor alone
  std::string work = server_.directory() + "/tmp/zulmailmonitor";
  ASSERT_EQ(::chmod(work.c_str(), 0777), 0);
  platform_->lines.clear();
  NoteId next = SubmitMemo({{"b.txt", "clean"}});
  EXPECT_FALSE(Run().ok());
  EXPECT_TRUE(Held(next)) << "nothing is scanned in a folder others can plant links in";
  EXPECT_FALSE(Held(id));
  EXPECT_TRUE(LoggedStart("Рабочая папка ")) << Joined();
}

TEST_F(ScanDriverTest, AScanThatDidNotFinishIsNoCleanScan) {
  std::string nested = kEicar;
  for (int level = 0; level < 20; ++level) nested = BuildZip({{"level" + std::to_string(level) + ".zip", nested}});
  NoteId id = SubmitMemo({{"deep.zip", nested}});
  ASSERT_TRUE(Run().ok());
  EXPECT_FALSE(Held(id));
  EXPECT_EQ(Files(id)[0].data, placeholder_) << "by default an incomplete scan removes the object";
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 1u) << "and keeps it in quarantine";
  EXPECT_NE(BodyText(id).find("проверка не завершена"), std::string::npos) << BodyText(id);
}

TEST_F(ScanDriverTest, TheNameFilterSeesTheNameWindowsRuns) {
  const std::string longName = std::string(300, 'B') + ".exe";
  NoteId id = SubmitMemo({{longName, "harmless"}, {"evil.exe.", "harmless"}, {"evil.exe ", "harmless"},
                          {"evil.exe. .", "harmless"}, {"notes.exe.txt", "harmless"}});
  ASSERT_TRUE(Run().ok());
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

TEST_F(ScanDriverTest, EveryOneOfThreeHundredInfectedObjectsIsRemoved) {
  std::vector<Attachment> many;
  for (int i = 0; i < 300; ++i) many.push_back({"e" + std::to_string(i) + ".txt", kEicar});
  NoteId id = SubmitMemo(many);
  ASSERT_TRUE(Run().ok());
  EXPECT_FALSE(Held(id));
  std::vector<Attachment> files = Files(id);
  ASSERT_EQ(files.size(), 300u);
  for (const Attachment& file : files) EXPECT_EQ(file.data, placeholder_) << file.name;
  EXPECT_TRUE(LeftOver().empty());
}

ScanResult CuringKernel(std::u16string_view, std::string* description) {
  *description = "Test.Cured";
  return ResultCured;
}

// No engine here cures, and none hands over a cured copy: an object an
// engine would call cured is replaced, as the table says, by the
// placeholder, never left as it was.
TEST_F(ScanDriverTest, AnObjectCalledCuredIsReplacedByThePlaceholder) {
  NoteId id = SubmitMemo({{"doc.bin", "infected but curable"}});
  SetKernelScanFunction(CuringKernel);
  ASSERT_TRUE(Run().ok());
  EXPECT_FALSE(Held(id));
  std::vector<Attachment> files = Files(id);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name, "doc.bin");
  EXPECT_EQ(files[0].data, placeholder_);
  EXPECT_TRUE(LeftOver().empty());
}

TEST_F(ScanDriverTest, ScanningOffReleasesUnscanned) {
  Change("formMonitorSettings", {{"msDisableTask", "0"}});
  NoteId id = SubmitMemo({{"e.com", kEicar}});
  ASSERT_TRUE(Run().ok());
  EXPECT_FALSE(Held(id));
  EXPECT_EQ(Files(id)[0].data, kEicar) << "switched off by the administrator";
  EXPECT_TRUE(Logged("Документ 0x08f8 обработан."));
}

TEST_F(ScanDriverTest, OleObjectsRichTextBodiesAndEncryptedAttachmentsAreChecked) {
  auto submit = [this](const std::function<void(NoteHandle)>& build) { return SubmitMemo({}, build); };
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
  ASSERT_TRUE(Run().ok());
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
  ASSERT_TRUE(Run().ok());
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
  ASSERT_TRUE(Run().ok());
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 1u) << "reported as not checked and kept";
  EXPECT_FALSE(Held(id));
  std::vector<Attachment> files = Files(id);
  ASSERT_EQ(files.size(), 1u) << "the damaged item is replaced";
  EXPECT_EQ(files[0].data, placeholder_);
}

TEST_F(ScanDriverTest, BadRequestsTouchNoDocument) {
  NoteId id = SubmitMemo({{"a.txt", "clean"}});
  PostText("garbage without fields");
  PostText("00000000|zz|00000000|mail.box");
  Post(id, "../outside.nsf");
  Post(0x4242);
  ASSERT_TRUE(Run(3).ok());
  EXPECT_FALSE(Held(id)) << "the good request before them was served";
  EXPECT_TRUE(Logged("Запрос перехватчика отклонён: неверный формат 'garbage without fields'."));
  EXPECT_TRUE(Logged("Запрос перехватчика отклонён: неверный формат '00000000|zz|00000000|mail.box'."));
  EXPECT_TRUE(LoggedStart("Ошибка открытия базы ../outside.nsf."));
  EXPECT_TRUE(LoggedStart("Ошибка открытия документа 0x4242."));
  platform_->lines.clear();
  Post(id);
  ASSERT_TRUE(Run().ok());
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
