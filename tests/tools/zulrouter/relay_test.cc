#include "tools/zulrouter/relay.h"

#include "tests/tools/zulrouter/router_fixture.h"

namespace zulrouter::testing {
namespace {

TEST_F(RouterTest, AMessageIsHandedOverOnceAndLeavesMailBox) {
  NoteId id = Released("one");
  NoteId held = Released("held", true);
  Relay relay(&faulty_, server_.directory(), sendmail_);
  relay.Pass();
  relay.Pass();
  EXPECT_EQ(Taken(), 1u);
  EXPECT_FALSE(InMailBox(id));
  EXPECT_TRUE(InMailBox(held)) << "held mail waits for the monitor";
  std::vector<std::string> taken = TakenMessages();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_NE(taken[0].find("Subject: one"), std::string::npos) << taken[0];
}

// sendmail took the message, but mail.box will not let it go: every later
// pass, and a router started afresh, only tries to remove it again.
TEST_F(RouterTest, ATakenMessageMailBoxKeepsIsNeverHandedOverAgain) {
  NoteId id = Released("kept by mail.box");
  faulty_.FailCall("NoteDelete", 1, kDatabaseLocked, 0);
  Relay relay(&faulty_, server_.directory(), sendmail_);
  for (int pass = 0; pass < 4; ++pass) relay.Pass();
  EXPECT_EQ(Taken(), 1u) << "one hand-over while mail.box refuses the removal";
  EXPECT_EQ(Item(id, kTakenItem), "1") << "the mark lives in mail.box";
  Relay restarted(&faulty_, server_.directory(), sendmail_);
  restarted.Pass();
  EXPECT_EQ(Taken(), 1u) << "nor by a router started afterwards";
  faulty_.ClearFaults();
  restarted.Pass();
  EXPECT_FALSE(InMailBox(id)) << "removed once mail.box lets it";
  EXPECT_EQ(Taken(), 1u);
}

// Hand-overs run a few at once: one removal mail.box refuses keeps none of
// the others in mail.box, where they would go again.
TEST_F(RouterTest, ARefusedRemovalLeavesTheOthersOfItsBatchRemoved) {
  NoteId first = Released("first of the batch");
  NoteId second = Released("second of the batch");
  faulty_.FailCall("NoteDelete", faulty_.CallCount("NoteDelete") + 1, kDatabaseLocked);
  Relay relay(&faulty_, server_.directory(), sendmail_);
  for (int pass = 0; pass < 3; ++pass) relay.Pass();
  EXPECT_EQ(Taken(), 2u) << "each handed over once";
  EXPECT_FALSE(InMailBox(first));
  EXPECT_FALSE(InMailBox(second));
}

// Where mail.box refuses the mark as well, the run itself remembers.
TEST_F(RouterTest, ATakenMessageIsRememberedWhenMailBoxRefusesEveryWrite) {
  NoteId id = Released("nothing writes");
  Relay relay(&faulty_, server_.directory(), sendmail_);
  faulty_.FailCall("NoteDelete", 1, kDatabaseLocked, 0);
  faulty_.FailCall("NoteUpdate", faulty_.CallCount("NoteUpdate") + 2, kDatabaseLocked, 0);  // after the record
  for (int pass = 0; pass < 3; ++pass) relay.Pass();
  EXPECT_EQ(Taken(), 1u);
  EXPECT_TRUE(InMailBox(id));
}

// The record that a hand-over begins is in the stored message before
// sendmail runs: a router that stops while sendmail works leaves it, and the
// next one says it hands the message over again.
TEST_F(RouterTest, TheHandOverIsRecordedInMailBoxBeforeSendmailRuns) {
  NoteId id = Released("refused");
  Answer(75);
  Relay relay(&faulty_, server_.directory(), sendmail_);
  relay.Pass();
  EXPECT_TRUE(InMailBox(id)) << "a refusal keeps it";
  std::string mark = Item(id, kHandOverItem);
  EXPECT_FALSE(mark.empty()) << "recorded in the stored message";
  std::filesystem::remove(server_.directory() + "/answer");
  ::testing::internal::CaptureStdout();
  Relay next(&faulty_, server_.directory(), sendmail_);
  next.Pass();
  std::string said = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(said.find("was being handed over when an earlier relay stopped; handing it over again"), std::string::npos)
      << said;
  EXPECT_FALSE(InMailBox(id));
  EXPECT_EQ(Taken(), 2u) << "the refused attempt and the one that took it";
}

// Nothing is handed over while its record cannot be saved.
TEST_F(RouterTest, NoHandOverWithoutItsRecord) {
  NoteId id = Released("unrecorded");
  faulty_.FailCall("NoteUpdate", faulty_.CallCount("NoteUpdate") + 1, kDatabaseLocked, 0);
  Relay relay(&faulty_, server_.directory(), sendmail_);
  relay.Pass();
  EXPECT_EQ(Taken(), 0u);
  EXPECT_TRUE(InMailBox(id));
  EXPECT_EQ(Item(id, kHandOverItem), "");
}

}  // namespace
}  // namespace zulrouter::testing
