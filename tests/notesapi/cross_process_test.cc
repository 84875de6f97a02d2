// Two processes on one server directory: queues and databases are shared,
// a killed writer leaves whole notes, and an add-in loop stops on SIGTERM
// or when the server quits.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "notesapi/scoped_handles.h"
#include "tests/notesapi/test_server.h"

namespace notesapi::testing {
namespace {

// Runs `body` in a child process; its return value is the exit code.
pid_t Spawn(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads the next message, yielding between reads like an add-in loop.
Status Receive(Platform* p, QueueHandle queue, std::string* message) {
  for (int i = 0; i < 2000; ++i) {
    Status s = p->QueueGet(queue, 255, message);
    if (s != kQueueEmpty) return s;
    (void)p->AddInIdle();  // bounded pause; a stop is not expected here
  }
  return kQueueTimeout;
}

class CrossProcessTest : public ::testing::Test {
 protected:
  TestServer server_;
};

TEST_F(CrossProcessTest, TwoProcessesExchangeMessagesAndSeeEachOthersNotes) {
  {
    std::unique_ptr<Platform> setup = server_.OpenHost();
    ASSERT_EQ(setup->DbCreate("shared.nsf", "Shared"), kNoError);
  }
  pid_t child = Spawn([&] {
    std::unique_ptr<Platform> p = server_.OpenHost(nullptr, 50);
    ScopedQueue in(p.get());
    ScopedQueue out(p.get());
    if (p->QueueOpen("MQ$PING", kQueueCreate, in.put()) || p->QueueOpen("MQ$PONG", kQueueCreate, out.put())) return 10;
    std::string message;
    if (Receive(p.get(), in.get(), &message) != kNoError || message != "ping") return 11;
    ScopedDb db(p.get());
    ScopedNote note(p.get());
    if (p->DbOpen("shared.nsf", db.put()) || p->NoteCreate(db.get(), note.put())) return 12;
    if (p->ItemSetText(note.get(), "Writer", "child") || p->NoteUpdate(note.get(), kUpdateForce)) return 13;
    NoteInfo info;
    if (p->NoteGetInfo(note.get(), &info)) return 14;
    char reply[32];
    std::snprintf(reply, sizeof reply, "pong|%08x", info.noteId);
    return p->QueuePut(out.get(), 1, reply) == kNoError ? 0 : 15;
  });
  std::unique_ptr<Platform> p = server_.OpenHost(nullptr, 50);
  ScopedQueue out(p.get());
  ScopedQueue in(p.get());
  ASSERT_EQ(p->QueueOpen("MQ$PING", kQueueCreate, out.put()), kNoError);
  ASSERT_EQ(p->QueueOpen("MQ$PONG", kQueueCreate, in.put()), kNoError);
  ASSERT_EQ(p->QueuePut(out.get(), 1, "ping"), kNoError);
  std::string reply;
  ASSERT_EQ(Receive(p.get(), in.get(), &reply), kNoError);
  EXPECT_EQ(WaitExit(child), 0);
  unsigned noteId = 0;
  ASSERT_EQ(std::sscanf(reply.c_str(), "pong|%08x", &noteId), 1) << reply;
  ScopedDb db(p.get());
  ScopedNote note(p.get());
  ASSERT_EQ(p->DbOpen("shared.nsf", db.put()), kNoError);
  ASSERT_EQ(p->NoteOpen(db.get(), noteId, 0, note.put()), kNoError);
  std::string writer;
  ASSERT_EQ(p->ItemGetText(note.get(), "Writer", 20, &writer), kNoError);
  EXPECT_EQ(writer, "child");
}

// What one mail writes to several databases reaches other processes together,
// at the end of the outermost group, or not at all.
TEST_F(CrossProcessTest, GroupedSavesReachOtherProcessesAtTheirEnd) {
  std::unique_ptr<Platform> writer = server_.OpenHost();
  std::unique_ptr<Platform> reader = server_.OpenHost();
  for (const char* name : {"quarantine.nsf", "mail.nsf"}) ASSERT_EQ(writer->DbCreate(name, name), kNoError);
  auto save = [&](const char* name) {
    ScopedDb db(writer.get());
    ScopedNote note(writer.get());
    Status s = writer->DbOpen(name, db.put());
    if (s == kNoError) s = writer->NoteCreate(db.get(), note.put());
    if (s == kNoError) s = writer->ItemSetText(note.get(), "Subject", "grouped");
    return s == kNoError ? writer->NoteUpdate(note.get(), kUpdateForce) : s;
  };
  auto count = [](Platform* p, const char* name) {
    ScopedDb db(p);
    std::vector<NoteId> ids;
    if (p->DbOpen(name, db.put()) != kNoError || p->DbNoteIds(db.get(), &ids) != kNoError) return size_t{999};
    return ids.size();
  };

  ASSERT_EQ(writer->BeginSaves(), kNoError);
  ASSERT_EQ(save("quarantine.nsf"), kNoError);
  ASSERT_EQ(writer->BeginSaves(), kNoError);
  ASSERT_EQ(save("mail.nsf"), kNoError);
  ASSERT_EQ(writer->EndSaves(true), kNoError);
  EXPECT_EQ(count(writer.get(), "mail.nsf"), 1u) << "the writer reads its own saves";
  EXPECT_EQ(count(reader.get(), "mail.nsf"), 0u) << "nothing leaves before the outermost end";
  EXPECT_EQ(count(reader.get(), "quarantine.nsf"), 0u);
  ASSERT_EQ(writer->EndSaves(true), kNoError);
  EXPECT_EQ(count(reader.get(), "quarantine.nsf"), 1u);
  EXPECT_EQ(count(reader.get(), "mail.nsf"), 1u);

  ASSERT_EQ(writer->BeginSaves(), kNoError);
  ASSERT_EQ(save("quarantine.nsf"), kNoError);
  ASSERT_EQ(save("mail.nsf"), kNoError);
  ASSERT_EQ(writer->EndSaves(false), kNoError);
  EXPECT_EQ(count(reader.get(), "quarantine.nsf"), 1u) << "rolled back";
  EXPECT_EQ(count(writer.get(), "mail.nsf"), 1u) << "rolled back for the writer too";

  EXPECT_EQ(writer->EndSaves(true), kNoError) << "an end without a beginning does nothing";
  ASSERT_EQ(save("mail.nsf"), kNoError);
  EXPECT_EQ(count(reader.get(), "mail.nsf"), 2u) << "outside a group a save is committed at once";
}

TEST_F(CrossProcessTest, WriterKilledDuringSavesLeavesWholeNotes) {
  constexpr int kItems = 200;
  std::unique_ptr<Platform> p = server_.OpenHost();
  ASSERT_EQ(p->DbCreate("kill.nsf", "Kill"), kNoError);
  NoteId id = 0;
  {
    ScopedDb db(p.get());
    ScopedNote note(p.get());
    ASSERT_EQ(p->DbOpen("kill.nsf", db.put()), kNoError);
    ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(p->ItemSetText(note.get(), "I" + std::to_string(i), "v0"), kNoError);
    ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
    NoteInfo info;
    ASSERT_EQ(p->NoteGetInfo(note.get(), &info), kNoError);
    id = info.noteId;
  }
  int started[2];
  ASSERT_EQ(::pipe(started), 0);
  pid_t child = Spawn([&] {
    std::unique_ptr<Platform> writer = server_.OpenHost();
    ScopedDb db(writer.get());
    ScopedNote note(writer.get());
    if (writer->DbOpen("kill.nsf", db.put()) || writer->NoteOpen(db.get(), id, 0, note.put())) return 1;
    for (int round = 1;; ++round) {
      std::string value = "v" + std::to_string(round);
      for (int i = 0; i < kItems; ++i) (void)writer->ItemSetText(note.get(), "I" + std::to_string(i), value);
      if (writer->NoteUpdate(note.get(), kUpdateForce) != kNoError) return 2;
      if (round == 3) (void)!::write(started[1], "x", 1);
    }
  });
  char byte = 0;
  ASSERT_EQ(::read(started[0], &byte, 1), 1);
  ::kill(child, SIGKILL);
  EXPECT_EQ(WaitExit(child), 128 + SIGKILL);
  ScopedDb db(p.get());
  ScopedNote note(p.get());
  ASSERT_EQ(p->DbOpen("kill.nsf", db.put()), kNoError);
  ASSERT_EQ(p->NoteOpen(db.get(), id, 0, note.put()), kNoError);
  std::string first;
  ASSERT_EQ(p->ItemGetText(note.get(), "I0", 20, &first), kNoError);
  EXPECT_NE(first, "v0");
  int items = 0;
  ItemInfo item;
  for (Status s = p->ItemInfoFirst(note.get(), &item); s == kNoError;
       s = p->ItemInfoNext(note.get(), item.item, {}, &item)) {
    std::string text;
    ASSERT_EQ(p->ItemGetText(note.get(), item.name, 20, &text), kNoError);
    EXPECT_EQ(text, first) << "item " << item.name << " is from another save";
    ++items;
  }
  EXPECT_EQ(items, kItems);
  ::close(started[0]);
  ::close(started[1]);
}

// An add-in loop as the tasks run it: yield, stop when told.
int RunAddInLoop(const TestServer& server, int readyFd) {
  std::unique_ptr<Platform> p = server.OpenHost(nullptr, 50);
  if (p->AddInStart() != kNoError) return 20;
  (void)!::write(readyFd, "x", 1);
  while (!p->AddInIdle()) {
  }
  return 0;
}

TEST_F(CrossProcessTest, AddInLoopStopsOnSigtermAndOnServerQuit) {
  for (bool bySignal : {true, false}) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = Spawn([&] { return RunAddInLoop(server_, ready[1]); });
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    if (bySignal) {
      ::kill(child, SIGTERM);
    } else {
      ASSERT_EQ(SetServerQuitting(server_.directory(), true), kNoError);
    }
    EXPECT_EQ(WaitExit(child), 0) << (bySignal ? "SIGTERM" : "quit") << " ends the loop, not the process";
    ASSERT_EQ(SetServerQuitting(server_.directory(), false), kNoError);
    ::close(ready[0]);
    ::close(ready[1]);
  }
}

TEST_F(CrossProcessTest, IdleYieldEndsWhenAMessageArrives) {
  int ready[2];
  int result[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(result), 0);
  pid_t child = Spawn([&] {
    constexpr int kLongPauseMillis = 120000;  // far longer than any wake-up may take
    std::unique_ptr<Platform> p = server_.OpenHost(nullptr, kLongPauseMillis);
    ScopedQueue queue(p.get());
    if (p->QueueOpen("MQ$WAKE", kQueueCreate, queue.put()) != kNoError) return 1;
    (void)!::write(ready[1], "x", 1);
    auto start = std::chrono::steady_clock::now();
    (void)p->AddInIdle();  // returns because of the message, not a stop
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    int64_t elapsed = millis.count();
    (void)!::write(result[1], &elapsed, sizeof elapsed);
    return 0;
  });
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  std::unique_ptr<Platform> p = server_.OpenHost();
  ScopedQueue queue(p.get());
  ASSERT_EQ(p->QueueOpen("MQ$WAKE", kQueueOpenExisting, queue.put()), kNoError);
  ASSERT_EQ(p->QueuePut(queue.get(), 1, "wake up"), kNoError);
  int64_t elapsed = -1;
  ASSERT_EQ(::read(result[0], &elapsed, sizeof elapsed), static_cast<ssize_t>(sizeof elapsed));
  EXPECT_EQ(WaitExit(child), 0);
  EXPECT_LT(elapsed, 60000) << "the yield ended on the message, long before its pause ran out";
  for (int fd : {ready[0], ready[1], result[0], result[1]}) ::close(fd);
}

TEST_F(CrossProcessTest, OneInstanceSlotPerProgramEvenAfterACrash) {
  int go[2];
  int results[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(results), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    children.push_back(Spawn([&] {
      std::unique_ptr<Platform> p = server_.OpenHost();
      char byte = 0;
      if (::read(go[0], &byte, 1) != 1) return 1;
      char won = p->AcquireInstance("nZulMailMonitor") == kNoError ? 'W' : 'L';
      (void)!::write(results[1], &won, 1);
      ::pause();  // holds the slot until killed
      return 0;
    }));
  }
  ASSERT_EQ(::write(go[1], "xx", 2), 2);  // both start at the same moment
  std::string outcome;
  for (int i = 0; i < 2; ++i) {
    // A child that died before answering must fail the test, not hang it.
    pollfd ready{results[0], POLLIN, 0};
    char byte = 0;
    if (::poll(&ready, 1, 30000) != 1 || ::read(results[0], &byte, 1) != 1) {
      for (pid_t child : children) ::kill(child, SIGKILL);
      FAIL() << "a child did not answer";
    }
    outcome += byte;
  }
  std::sort(outcome.begin(), outcome.end());
  EXPECT_EQ(outcome, "LW") << "exactly one runs";
  std::unique_ptr<Platform> p = server_.OpenHost();
  EXPECT_EQ(p->AcquireInstance("nZulMailMonitor"), kInstanceRunning);
  EXPECT_EQ(p->AcquireInstance("nZulUpdater"), kNoError) << "each program has its own slot";
  for (pid_t child : children) {
    ::kill(child, SIGKILL);
    (void)WaitExit(child);
  }
  EXPECT_EQ(p->AcquireInstance("nZulMailMonitor"), kNoError) << "a killed holder leaves the slot free";
  for (int fd : {go[0], go[1], results[0], results[1]}) ::close(fd);
}

}  // namespace
}  // namespace notesapi::testing
