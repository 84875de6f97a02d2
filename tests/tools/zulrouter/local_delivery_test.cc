#include "tools/zulrouter/local_delivery.h"

#include "tests/tools/zulrouter/router_fixture.h"

namespace zulrouter::testing {
namespace {

size_t Notes(Platform* p, const std::string& path) {
  ScopedDb db(p);
  std::vector<NoteId> ids;
  if (p->DbOpen(path, db.put()) != kNoError || p->DbNoteIds(db.get(), &ids) != kNoError) return 0;
  return ids.size();
}

// A delivery that stops half way goes on with the recipients left and
// copies to nobody twice: which ones were served is in the message.
TEST_F(RouterTest, ADeliveryStoppedHalfWayServesEachRecipientOnce) {
  ScopedDb box(host_.get());
  ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
  MessageEnvelope envelope{"ivan@example.com", {"Anna@example.com", "bob@example.com"}};
  ImportedMessage imported;
  ASSERT_EQ(ImportMimeMessage(host_.get(), box.get(), "Subject: both\n\nhi\n", false, u"", &envelope, &imported),
            kNoError);
  NoteId held = Released("waits", true);
  faulty_.FailCall("NoteCreate", 2, kDatabaseLocked);  // the copy for the second recipient
  DeliveryCounts counts;
  ASSERT_TRUE(DeliverLocally(&faulty_, server_.directory(), &counts).ok());
  EXPECT_EQ(counts.delivered, 0);
  EXPECT_EQ(counts.held, 1);
  EXPECT_EQ(Notes(host_.get(), "mail/anna.nsf"), 1u);
  EXPECT_EQ(Item(imported.noteId, kDeliveredToItem), "Anna@example.com");
  counts = DeliveryCounts();
  ASSERT_TRUE(DeliverLocally(&faulty_, server_.directory(), &counts).ok());
  EXPECT_EQ(counts.delivered, 1);
  EXPECT_EQ(Notes(host_.get(), "mail/anna.nsf"), 1u) << "not copied to Anna again";
  EXPECT_EQ(Notes(host_.get(), "mail/bob.nsf"), 1u);
  EXPECT_FALSE(InMailBox(imported.noteId));
  EXPECT_TRUE(InMailBox(held));
}

TEST(MailFileTest, AddressesBecomeSafeFileNames) {
  EXPECT_EQ(MailFileOf("Anna.Smith@example.com"), "anna.smith");
  EXPECT_EQ(MailFileOf("../../etc/passwd@x"), ".._.._etc_passwd");
  EXPECT_EQ(MailFileOf("@example.com"), "unknown");
  EXPECT_EQ(MailFileOf("CN=Ivan/O=Tervala"), "cn_ivan_o_tervala");
}

}  // namespace
}  // namespace zulrouter::testing
