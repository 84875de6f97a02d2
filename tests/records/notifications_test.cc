// The reports, memos and quarantine documents the reactions produce, read
// back from the databases they were written to.
#include "records/notifications.h"

#include <set>

#include "base/server_variables.h"
#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"
#include "records/quarantine.h"
#include "base/task_log.h"
#include "settings/temporary_paths.h"
#include "settings/settings_records.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

class NotificationsTest : public TaskTest {
 protected:
  void SetUp() override {
    ResetSettingsRecords();
    ClearNotifications();
    General().administrators = "admin@example.com; second@example.com";
    ASSERT_EQ(host_->DbCreate("mail.box", "Mail box"), kNoError);
    ASSERT_EQ(host_->DbCreate("zulquarantine.nsf", "Quarantine"), kNoError);
    Variables().quarantineDatabase = "zulquarantine.nsf";
    Variables().logConsole = 1;
    ASSERT_EQ(host_->DbOpen("mail.box", box_.put()), kNoError);
  }
  void TearDown() override { ClearNotifications(); }

  NoteHandle NewMail() {
    NoteHandle note = kNullHandle;
    EXPECT_EQ(host_->MailCreateMessage(box_.get(), &note), kNoError);
    EXPECT_EQ(host_->ItemSetText(note, "From", "ivan@example.com"), kNoError);
    EXPECT_EQ(host_->ItemCreateTextList(note, "Recipients", "a@example.com"), kNoError);
    EXPECT_EQ(host_->ItemAppendTextList(note, "Recipients", "b@example.com", false), kNoError);
    EXPECT_EQ(host_->ItemSetText(note, "Subject", "quarterly"), kNoError);
    return note;
  }
  // Memos in mail.box with the subject that starts with `prefix` (UTF-8).
  std::vector<NoteId> Memos(const std::string& prefix) {
    std::vector<NoteId> ids;
    std::vector<NoteId> all;
    EXPECT_EQ(host_->DbNoteIds(box_.get(), &all), kNoError);
    for (NoteId id : all) {
      ScopedNote note(host_.get());
      EXPECT_EQ(host_->NoteOpen(box_.get(), id, 0, note.put()), kNoError);
      std::string subject;
      (void)host_->ItemGetText(note.get(), "Subject", 255, &subject);
      if (subject.rfind(Lmbcs(prefix), 0) == 0) ids.push_back(id);
    }
    return ids;
  }
  std::string BodyOf(NoteHandle note, const char* item = "Body") {
    std::string text;
    ItemInfo info;
    for (notesapi::Status s = host_->ItemInfoByName(note, item, &info); s == kNoError;
         s = host_->ItemInfoNext(note, info.item, item, &info)) {
      MemHandle block = kNullHandle;
      uint32_t length = 0;
      EXPECT_EQ(host_->ConvertRichTextToText(info.value, "\n", 0, &block, &length), kNoError);
      text.append(reinterpret_cast<char*>(host_->MemLock(block)), length);
      host_->MemUnlock(block);
      (void)host_->MemFree(block);
    }
    std::string utf8;
    EXPECT_EQ(host_->Translate(kTranslateLmbcsToUtf8, text, &utf8), kNoError);
    return utf8;
  }
  ObjectRecord Record(int kind, const std::string& name, int result, int action, int quarantine) {
    ObjectRecord r;
    r.kind = kind;
    r.objectName = Lmbcs(name);
    r.result = result;
    r.action = action;
    r.quarantine = quarantine;
    r.description = Native("Eicar-Test");
    return r;
  }
  ScopedDb box_{host_.get()};
};

TEST_F(NotificationsTest, TemplatesExpandEverySequence) {
  ObjectRecord r = Record(KindAttachment, "a.exe", ResultInfected, ActionDelete, 1);
  FillReportTemplate(Lmbcs("%t %n %a %q %r"), &r);
  EXPECT_EQ(r.reportText, Lmbcs("Вложение a.exe Объект удален Да 2\n"));
  FillReportTemplate("[%x%v%]%", &r);
  EXPECT_EQ(r.reportText, Lmbcs("[Eicar-Test\n")) << "unknown sequences, their character and a final % are dropped";
  r.kind = KindScript;
  FillReportTemplate("<%t>", &r);
  EXPECT_EQ(r.reportText, "<>\n");
  FillReportTemplate(std::string(5000, 'x'), &r);
  EXPECT_EQ(r.reportText, std::string(1022, 'x') + "\n") << "cut, never past its buffer";
  r.objectName = std::string(300, 'n');
  FillReportTemplate("%n%n%n%n%n", &r);
  EXPECT_LE(r.reportText.size(), 1023u);
}

TEST_F(NotificationsTest, ReportGoesInFrontOfTheBodyOrTheRemovalNotice) {
  NoteHandle mail = NewMail();
  ASSERT_EQ(FillMessageBody(mail, Lmbcs("line one\n"), false), kNoError);
  std::string body = BodyOf(mail);
  EXPECT_EQ(body.find(std::string(104, '-') + " "), 0u) << body;
  EXPECT_NE(body.find("Tervala Anti-Virus Report"), std::string::npos);
  EXPECT_LT(body.find("line one"), body.find("<<Тело сообщения было удалено>>")) << body;
  (void)host_->NoteClose(mail);
}

TEST_F(NotificationsTest, OneMemoPerAudienceWithTheHeaderFirst) {
  NoteHandle mail = NewMail();
  SendNotifications(box_.get(), mail, Native("Отчет о проверке."));
  EXPECT_TRUE(Memos("Антивирус").empty()) << "no lists, no memo";
  AppendNotification(kAudienceAdministrators, Lmbcs("for admins\n"));
  AppendNotification(kAudienceRecipients, Lmbcs("for recipients\n"));
  AppendNotification(3, "ignored");
  SendNotifications(box_.get(), mail, Native("Отчет о проверке."));
  std::vector<NoteId> admin = Memos("Антивирус Тервала - Администратору: Отчет о проверке.");
  std::vector<NoteId> recipients = Memos("Антивирус Тервала - Получателю");
  ASSERT_EQ(admin.size(), 1u);
  ASSERT_EQ(recipients.size(), 2u) << "every recipient, not only the first, each a notice of their own";
  EXPECT_TRUE(Memos("Антивирус Тервала - Отправителю").empty());
  std::set<std::string> notified;
  for (NoteId id : recipients) {
    ScopedNote memo(host_.get());
    ASSERT_EQ(host_->NoteOpen(box_.get(), id, 0, memo.put()), kNoError);
    ASSERT_EQ(host_->ItemTextListCount(memo.get(), "SendTo"), 1) << "nobody learns who else got the mail";
    std::string to;
    ASSERT_EQ(host_->ItemTextListEntry(memo.get(), "SendTo", 0, &to), kNoError);
    notified.insert(to);
    std::string body = BodyOf(memo.get());
    EXPECT_LT(body.find("Subject : quarterly"), body.find("for recipients")) << body;
    EXPECT_NE(body.find("Recipients : " + to + "\n"), std::string::npos) << body;
    std::string from;
    ASSERT_EQ(host_->ItemGetText(memo.get(), "From", 255, &from), kNoError);
    EXPECT_EQ(from, "Tervala Anti-Virus");
  }
  EXPECT_EQ(notified.size(), 2u);
  ScopedNote adminMemo(host_.get());
  ASSERT_EQ(host_->NoteOpen(box_.get(), admin[0], 0, adminMemo.put()), kNoError);
  EXPECT_EQ(host_->ItemTextListCount(adminMemo.get(), "Recipients"), 2) << "\"a; b\": the blank is skipped";
  (void)host_->NoteClose(mail);
}

TEST_F(NotificationsTest, AWarningMidWalkLeavesTheCollectedReports) {
  AppendNotification(kAudienceRecipients, Lmbcs("the object that raised it\n"));
  SendSystemWarning(Lmbcs("ZulMailMonitor: outbreak\n"));
  std::vector<NoteId> warnings = Memos("Антивирус Тервала - Администратору: Системное предупреждение.");
  ASSERT_EQ(warnings.size(), 1u);
  ScopedNote memo(host_.get());
  ASSERT_EQ(host_->NoteOpen(box_.get(), warnings[0], 0, memo.put()), kNoError);
  EXPECT_EQ(BodyOf(memo.get()), "ZulMailMonitor: outbreak\n") << "the line alone, no header";
  ASSERT_TRUE(NotificationList(kAudienceRecipients).has_value());
  EXPECT_EQ(*NotificationList(kAudienceRecipients), Lmbcs("the object that raised it\n"));
}

class QuarantineTest : public NotificationsTest {
 protected:
  std::string Copy(const std::string& content) {
    std::string path = DrawTemporaryPath();
    EXPECT_EQ(host_->FileWrite(std::u16string(path.begin(), path.end()), content), kNoError);
    return path;
  }
  std::vector<NoteId> Documents() {
    ScopedDb q(host_.get());
    EXPECT_EQ(host_->DbOpen("zulquarantine.nsf", q.put()), kNoError);
    std::vector<NoteId> ids;
    EXPECT_EQ(host_->DbNoteIds(q.get(), &ids), kNoError);
    return ids;
  }
  void SetUp() override {
    NotificationsTest::SetUp();
    General().taskWorkFolder = std::u16string(server_.directory().begin(), server_.directory().end()) + u"/";
  }
};

TEST_F(QuarantineTest, QuarantinedObjectsAndTheirReportsAreSaved) {
  NoteHandle mail = NewMail();
  ASSERT_EQ(host_->ItemSetText(mail, "SendTo", "a@example.com; b@example.com;;c@example.com;a@example.com"), kNoError);
  ASSERT_EQ(OpenQuarantineDocument(mail, 0x8f8, box_.get()), kNoError);
  for (const char* name : {"one.com", "two.com"}) {
    ObjectRecord r = Record(KindAttachment, name, ResultInfected, ActionDelete, 1);
    r.reportText = Lmbcs(std::string("report of ") + name + "\n");
    r.scanCopyPath = Copy(std::string("content of ") + name);
    ASSERT_EQ(AddToQuarantine(r), kNoError);
  }
  ASSERT_EQ(CloseQuarantineDocument(mail, false), kNoError);
  std::vector<NoteId> ids = Documents();
  ASSERT_EQ(ids.size(), 1u);
  ScopedDb q(host_.get());
  ScopedNote doc(host_.get());
  ASSERT_EQ(host_->DbOpen("zulquarantine.nsf", q.put()), kNoError);
  ASSERT_EQ(host_->NoteOpen(q.get(), ids[0], 0, doc.put()), kNoError);
  EXPECT_EQ(host_->ItemTextListCount(doc.get(), "qmSendTo"), 3) << "pieces trimmed, empty and repeated ones skipped";
  std::string sender;
  ASSERT_EQ(host_->ItemGetText(doc.get(), "qmSender", 255, &sender), kNoError);
  EXPECT_EQ(sender, "ivan@example.com");
  int files = 0;
  ItemInfo item;
  for (notesapi::Status s = host_->ItemInfoByName(doc.get(), "$FILE", &item); s == kNoError;
       s = host_->ItemInfoNext(doc.get(), item.item, "$FILE", &item)) {
    ++files;
  }
  EXPECT_EQ(files, 2);
  EXPECT_EQ(BodyOf(doc.get(), "qmBody"),
            "В доставленном сообщении:\nreport of one.com\nreport of two.com\n\nОригинальные объекты:");
  (void)host_->NoteClose(mail);
}

TEST_F(QuarantineTest, OnlyAQuarantineFlagSavesADocument) {
  Monitor().quarantineBody = 1;
  NoteHandle mail = NewMail();
  ASSERT_EQ(OpenQuarantineDocument(mail, 0x8f8, box_.get()), kNoError);
  ObjectRecord r = Record(KindAttachment, "clean.txt", ResultClean, ActionPass, 0);
  r.scanCopyPath = Copy("clean");
  ASSERT_EQ(AddToQuarantine(r), kNoError);
  ASSERT_EQ(CloseQuarantineDocument(mail, false), kNoError);
  EXPECT_TRUE(Documents().empty());
  (void)host_->NoteClose(mail);
}

TEST_F(QuarantineTest, TheWholeStoredMessageWhenTheSettingsSaySo) {
  Monitor().quarantineBody = 1;
  NoteHandle mail = NewMail();
  ASSERT_EQ(host_->ItemSetText(mail, "X-Stored", "as stored"), kNoError);
  ASSERT_EQ(host_->NoteUpdate(mail, kUpdateForce), kNoError);
  NoteInfo info;
  ASSERT_EQ(host_->NoteGetInfo(mail, &info), kNoError);
  ASSERT_EQ(host_->ItemSetText(mail, "X-Changed", "only in memory"), kNoError);
  ASSERT_EQ(OpenQuarantineDocument(mail, info.noteId, box_.get()), kNoError);
  ObjectRecord r = Record(KindAttachment, "e.com", ResultInfected, ActionDelete, 1);
  r.scanCopyPath = Copy("x");
  ASSERT_EQ(AddToQuarantine(r), kNoError);
  ASSERT_EQ(CloseQuarantineDocument(mail, false), kNoError);
  std::vector<NoteId> ids = Documents();
  ASSERT_EQ(ids.size(), 1u);
  ScopedDb q(host_.get());
  ScopedNote doc(host_.get());
  ASSERT_EQ(host_->DbOpen("zulquarantine.nsf", q.put()), kNoError);
  ASSERT_EQ(host_->NoteOpen(q.get(), ids[0], 0, doc.put()), kNoError);
  ItemInfo item;
  ASSERT_EQ(host_->ItemInfoFirst(doc.get(), &item), kNoError);
  EXPECT_EQ(item.name, "qmDateCreate");
  EXPECT_EQ(host_->ItemInfoByName(doc.get(), "X-Stored", &item), kNoError);
  EXPECT_EQ(host_->ItemInfoByName(doc.get(), "X-Changed", &item), kItemNotFound) << "the mail as stored";
  EXPECT_EQ(host_->ItemInfoByName(doc.get(), "$FILE", &item), kItemNotFound) << "the single objects go with the first document";
  (void)host_->NoteClose(mail);
}

TEST_F(QuarantineTest, AMissingDatabaseFailsEveryAddWithAReason) {
  Variables().quarantineDatabase = "missing.nsf";
  NoteHandle mail = NewMail();
  EXPECT_NE(OpenQuarantineDocument(mail, 0x8f8, box_.get()), kNoError);
  EXPECT_TRUE(LoggedStart("Ошибка открытия базы карантина missing.nsf."));
  ObjectRecord r = Record(KindAttachment, "e.com", ResultInfected, ActionDelete, 1);
  r.scanCopyPath = Copy("x");
  EXPECT_NE(AddToQuarantine(r), kNoError);
  EXPECT_TRUE(LoggedStart("Ошибка создания объекта в карантине."));
  EXPECT_NE(CloseQuarantineDocument(mail, false), kNoError) << "the reports' copies were never saved";
  (void)host_->NoteClose(mail);
}

}  // namespace
}  // namespace zul::testing
