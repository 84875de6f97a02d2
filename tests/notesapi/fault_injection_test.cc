#include "notesapi/fault_injection.h"

#include <gtest/gtest.h>

#include "notesapi/scoped_handles.h"
#include "tests/notesapi/test_server.h"

namespace notesapi::testing {
namespace {

class FaultInjectionTest : public ::testing::Test {
 protected:
  TestServer server_;
  std::unique_ptr<Platform> host_ = server_.OpenHost();
  FaultInjectionPlatform faulty_{host_.get()};
};

TEST_F(FaultInjectionTest, FailsExactlyTheChosenOccurrence) {
  Platform* p = &faulty_;
  ASSERT_EQ(p->DbCreate("f.nsf", "F"), kNoError);
  ScopedDb db(p);
  ASSERT_EQ(p->DbOpen("f.nsf", db.put()), kNoError);
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  faulty_.FailCall("NoteUpdate", 2, kDatabaseLocked);
  ASSERT_EQ(p->ItemSetText(note.get(), "Step", "one"), kNoError);
  ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
  ASSERT_EQ(p->ItemSetText(note.get(), "Step", "two"), kNoError);
  EXPECT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kDatabaseLocked);
  NoteInfo info;
  ASSERT_EQ(p->NoteGetInfo(note.get(), &info), kNoError);
  ScopedNote stored(host_.get());
  ASSERT_EQ(host_->NoteOpen(db.get(), info.noteId, 0, stored.put()), kNoError);
  std::string text;
  ASSERT_EQ(host_->ItemGetText(stored.get(), "Step", 10, &text), kNoError);
  EXPECT_EQ(text, "one") << "the failed save changed nothing";
  EXPECT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError) << "only the second call fails";
  EXPECT_EQ(faulty_.CallCount("NoteUpdate"), 3u);
  EXPECT_EQ(faulty_.FaultsFired(), 1u);
}

TEST_F(FaultInjectionTest, NonStatusServicesFailTheirOwnWay) {
  Platform* p = &faulty_;
  faulty_.FailCall("IniGetText", 1, kInjectedFault, 0);
  faulty_.FailCall("ItemGetNumber", 1, kInjectedFault, 0);
  faulty_.FailCall("QueueGet", 2, kQueueQuitting, 2);
  std::string value;
  EXPECT_FALSE(p->IniGetText("ServerName", 256, &value));
  EXPECT_FALSE(p->IniGetText("ServerName", 256, &value)) << "times 0 fails every call from then on";
  EXPECT_EQ(p->ItemGetNumber(1, "x", 5.5), 5.5);
  ScopedQueue queue(p);
  ASSERT_EQ(p->QueueOpen("MQ$F", kQueueCreate, queue.put()), kNoError);
  std::string message;
  EXPECT_EQ(p->QueueGet(queue.get(), 255, &message), kQueueEmpty);
  EXPECT_EQ(p->QueueGet(queue.get(), 255, &message), kQueueQuitting);
  EXPECT_EQ(p->QueueGet(queue.get(), 255, &message), kQueueQuitting);
  EXPECT_EQ(p->QueueGet(queue.get(), 255, &message), kQueueEmpty);
  faulty_.ClearFaults();
  EXPECT_TRUE(p->IniGetText("ServerName", 256, &value));
}

}  // namespace
}  // namespace notesapi::testing
