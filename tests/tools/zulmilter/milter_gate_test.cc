#include "tools/zulmilter/milter_gate.h"

#include "base/held_mail_items.h"
#include "mailmonitor/service_queues.h"
#include "tests/tools/zulrouter/router_fixture.h"

namespace zulrouter::testing {
namespace {

using zulmilter::GateOptions;
using zulmilter::MilterGate;
using zulmilter::MilterVerdict;

class MilterGateTest : public RouterTest {
 protected:
  MilterGateTest() {
    options_.serverDirectory = server_.directory();
    options_.timeoutSeconds = 120;
  }
  // The monitor as the milter sees it: a running task's status line.
  void MonitorRuns() {
    ASSERT_EQ(monitor_->AddInStart(), kNoError);
    StatusLineHandle line = kNullHandle;
    ASSERT_EQ(monitor_->StatusLineCreate("ZulMailMonitor", &line), kNoError);
  }
  // The monitor's release: RoutingState gone, and what it found.
  void Release(NoteId id, const std::vector<std::string>& threats = {}) {
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ASSERT_EQ(host_->NoteOpen(box.get(), id, kOpenRawMime, note.put()), kNoError);
    ASSERT_EQ(host_->ItemDelete(note.get(), "RoutingState"), kNoError);
    for (const std::string& threat : threats) {
      ASSERT_EQ(host_->ItemAppendTextList(note.get(), zul::kMilterThreatsItem, threat, false), kNoError);
    }
    ASSERT_EQ(host_->NoteUpdate(note.get(), kUpdateForce), kNoError);
  }
  size_t Requests() {
    std::vector<std::string> waiting;
    EXPECT_EQ(WaitingMessages(server_.directory(), zul::kHookQueue, &waiting), kNoError);
    return waiting.size();
  }

  GateOptions options_;
  std::unique_ptr<Platform> monitor_ = server_.OpenHost();
  const std::string message_ = "From: ivan@example.com\r\nTo: anna@example.com\r\nSubject: hi\r\n\r\nhello\r\n";
  const MessageEnvelope envelope_{"ivan@example.com", {"anna@example.com"}};
};

TEST_F(MilterGateTest, NothingIsStoredForAMonitorThatDoesNotRun) {
  MilterGate gate(&faulty_, options_);
  NoteId id = 0;
  std::optional<MilterVerdict> now = gate.Submit(message_, envelope_, &id);
  ASSERT_TRUE(now.has_value());
  EXPECT_EQ(now->kind, MilterVerdict::Kind::kTempFail);
  EXPECT_EQ(now->reason, zulmilter::kNotRunning);
  EXPECT_EQ(id, 0u);
}

TEST_F(MilterGateTest, HeldMarkedAskedForAndAnsweredOnRelease) {
  MonitorRuns();
  MilterGate gate(&faulty_, options_);
  NoteId id = 0;
  ASSERT_FALSE(gate.Submit(message_, envelope_, &id).has_value());
  ASSERT_NE(id, 0u);
  EXPECT_FALSE(Item(id, zul::kMilterOwnerItem).empty()) << "the milter's own";
  EXPECT_FALSE(Item(id, "RoutingState").empty()) << "held";
  EXPECT_EQ(Requests(), 1u);
  EXPECT_FALSE(gate.Look(id, message_).has_value()) << "nothing while held";
  Release(id);
  std::optional<MilterVerdict> verdict = gate.Look(id, message_);
  ASSERT_TRUE(verdict.has_value());
  EXPECT_EQ(verdict->kind, MilterVerdict::Kind::kAccept) << "released as sent";
  gate.Drop(id);
  EXPECT_FALSE(InMailBox(id));
}

TEST_F(MilterGateTest, WhatTheMonitorFoundIsRefusedOnlyWhenAsked) {
  MonitorRuns();
  for (bool reject : {false, true}) {
    options_.reject = reject;
    MilterGate gate(&faulty_, options_);
    NoteId id = 0;
    ASSERT_FALSE(gate.Submit(message_, envelope_, &id).has_value());
    Release(id, {"Eicar-Test-Signature", "PUA.Test"});
    std::optional<MilterVerdict> verdict = gate.Look(id, message_);
    ASSERT_TRUE(verdict.has_value());
    if (reject) {
      EXPECT_EQ(verdict->kind, MilterVerdict::Kind::kReject);
      EXPECT_EQ(verdict->reason, "virus found: Eicar-Test-Signature, PUA.Test");
    } else {
      EXPECT_EQ(verdict->kind, MilterVerdict::Kind::kAccept) << "the monitor's cleaning is the answer";
    }
    gate.Drop(id);
  }
}

TEST_F(MilterGateTest, AFailedStoreOrNoMessageLeavesNothingHeld) {
  MonitorRuns();
  MilterGate gate(&faulty_, options_);
  NoteId id = 0;
  faulty_.FailCall("QueuePut", 1, kDatabaseLocked);
  std::optional<MilterVerdict> now = gate.Submit(message_, envelope_, &id);
  ASSERT_TRUE(now.has_value());
  EXPECT_EQ(now->kind, MilterVerdict::Kind::kTempFail);
  faulty_.FailCall("NoteUpdate", faulty_.CallCount("NoteUpdate") + 2, kDatabaseLocked);  // the mark, after the import
  now = gate.Submit(message_, envelope_, &id);
  ASSERT_TRUE(now.has_value());
  EXPECT_EQ(now->kind, MilterVerdict::Kind::kTempFail);
  // The message and its mark are one transaction: nothing to remove after.
  faulty_.FailCall("NoteUpdate", faulty_.CallCount("NoteUpdate") + 2, kDatabaseLocked);
  faulty_.FailCall("NoteDelete", faulty_.CallCount("NoteDelete") + 1, kDatabaseLocked, 0);
  now = gate.Submit(message_, envelope_, &id);
  ASSERT_TRUE(now.has_value());
  EXPECT_EQ(now->kind, MilterVerdict::Kind::kTempFail);
  faulty_.ClearFaults();
  now = gate.Submit("no header block at all", envelope_, &id);
  ASSERT_TRUE(now.has_value());
  EXPECT_EQ(now->kind, MilterVerdict::Kind::kReject);
  ScopedDb box(host_.get());
  std::vector<NoteId> ids;
  ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
  ASSERT_EQ(host_->DbNoteIds(box.get(), &ids), kNoError);
  EXPECT_TRUE(ids.empty()) << "nothing stays held that nobody waits for";
}

// A milter that stopped while it waited leaves its mail held; the next one
// removes it once its time is well past, and leaves other mail alone.
TEST_F(MilterGateTest, TheSweepRemovesOnlyOldMilterMail) {
  MonitorRuns();
  auto clock = std::make_shared<ManualClock>(notesapi::testing::kTestEpochMicros);
  std::unique_ptr<Platform> timed = server_.OpenHost(clock);
  MilterGate gate(timed.get(), options_);
  NoteId old = 0;
  ASSERT_FALSE(gate.Submit(message_, envelope_, &old).has_value());
  NoteId waited = 0;
  ASSERT_FALSE(gate.Submit(message_, envelope_, &waited).has_value());
  NoteId someoneElses = Released("the hook's", true);
  EXPECT_EQ(gate.Sweep({}), 0) << "not yet";
  clock->AdvanceSeconds(options_.timeoutSeconds + 61);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(gate.Sweep({waited}), 1);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("a milter stopped waiting for it"), std::string::npos);
  EXPECT_FALSE(InMailBox(old));
  EXPECT_TRUE(InMailBox(waited)) << "still waited for";
  EXPECT_TRUE(InMailBox(someoneElses));
}

}  // namespace
}  // namespace zulrouter::testing
