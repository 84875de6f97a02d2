#include "base/journal_records.h"

#include "notesapi/scoped_handles.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

class JournalRecordsTest : public TaskTest {
 protected:
  void SetUp() override { ASSERT_EQ(host_->DbCreate("zulstat.nsf", "Statistics"), kNoError); }
  std::vector<NoteId> Records() {
    ScopedDb db(host_.get());
    std::vector<NoteId> ids;
    EXPECT_EQ(host_->DbOpen("zulstat.nsf", db.put()), kNoError);
    EXPECT_EQ(host_->DbNoteIds(db.get(), &ids), kNoError);
    return ids;
  }
};

TEST_F(JournalRecordsTest, VirusRecordItemsInOrder) {
  std::string sender = Lmbcs("Отправитель <from@example.com>");
  ASSERT_EQ(WriteVirusRecord("zulstat.nsf", StatisticsCodeOf(2), Native("Eicar-Test-Signature"), sender), kNoError);
  std::vector<NoteId> ids = Records();
  ASSERT_EQ(ids.size(), 1u);
  ScopedDb db(host_.get());
  ScopedNote note(host_.get());
  ASSERT_EQ(host_->DbOpen("zulstat.nsf", db.put()), kNoError);
  ASSERT_EQ(host_->NoteOpen(db.get(), ids[0], 0, note.put()), kNoError);
  std::vector<std::pair<std::string, uint16_t>> items;
  ItemInfo item;
  for (notesapi::Status s = host_->ItemInfoFirst(note.get(), &item); s == kNoError;
       s = host_->ItemInfoNext(note.get(), item.item, {}, &item)) {
    items.emplace_back(item.name, item.type);
  }
  EXPECT_EQ(items, (std::vector<std::pair<std::string, uint16_t>>{{"VirusDate", TYPE_TIME},
                                                                  {"Form", TYPE_TEXT},
                                                                  {"VirusType", TYPE_NUMBER},
                                                                  {"VirusTask", TYPE_TEXT},
                                                                  {"VirusServer", TYPE_TEXT},
                                                                  {"VirusDescription", TYPE_TEXT},
                                                                  {"VirusSender", TYPE_TEXT}}));
  ItemInfo form;
  ASSERT_EQ(host_->ItemInfoByName(note.get(), "Form", &form), kNoError);
  EXPECT_EQ(form.valueLength, 2u + 10u) << "\"form_Virus\" with its exact length";
  EXPECT_EQ(host_->ItemGetNumber(note.get(), "VirusType", 0), 115);
  std::string text;
  ASSERT_EQ(host_->ItemGetText(note.get(), "VirusSender", 200, &text), kNoError);
  EXPECT_EQ(text, sender);
  ASSERT_EQ(host_->ItemGetText(note.get(), "VirusServer", 200, &text), kNoError);
  EXPECT_EQ(text, "CN=Test/O=Tervala") << "MailServer of notes.ini";
  SetIni("MailServer", "CN=Other/O=Tervala");
  ASSERT_EQ(WriteVirusRecord("zulstat.nsf", 150, "x", ""), kNoError);
  ScopedNote second(host_.get());
  ASSERT_EQ(host_->NoteOpen(db.get(), Records()[1], 0, second.put()), kNoError);
  ASSERT_EQ(host_->ItemGetText(second.get(), "VirusServer", 200, &text), kNoError);
  EXPECT_EQ(text, "CN=Other/O=Tervala") << "read afresh for every record";
}

TEST_F(JournalRecordsTest, StatisticsCodesPerResult) {
  const uint16_t expected[] = {148, 114, 115, 120, 128, 38, 150, 150, 150, 150, 150};
  for (int result = 0; result <= 10; ++result) EXPECT_EQ(StatisticsCodeOf(result), expected[result]) << result;
  EXPECT_EQ(StatisticsCodeOf(-1), 150);
}

TEST_F(JournalRecordsTest, OnlyTheOpenStatusIsReturned) {
  EXPECT_EQ(WriteJournalRecord("missing.nsf", JournalError, "x"), kDatabaseNotFound);
  platform_->FailCall("ItemSetText", 3, kInjectedFault);  // the task item
  EXPECT_EQ(WriteJournalRecord("zulstat.nsf", JournalError, "lost"), kNoError);
  EXPECT_TRUE(Records().empty()) << "nothing is saved after a failed item";
  platform_->FailCall("NoteUpdate", 1, kDatabaseLocked);
  EXPECT_EQ(WriteJournalRecord("zulstat.nsf", JournalError, "lost too"), kNoError);
  EXPECT_TRUE(Records().empty());
}

}  // namespace
}  // namespace zul::testing
