#include "tools/zulsubmit/mail_hook.h"

#include "tests/tools/zulrouter/router_fixture.h"

namespace zulrouter::testing {
namespace {

// A held copy nobody asked the monitor for would be delivered twice: once
// by the MTA's retry, once by the monitor's sweep of held mail. So a
// request that cannot be posted takes its note with it.
TEST_F(RouterTest, AHeldCopyWhoseRequestCannotBePostedIsRemoved) {
  NoteId id = Released("held for the monitor", true);
  ScopedDb box(&faulty_);
  ASSERT_EQ(faulty_.DbOpen("mail.box", box.put()), kNoError);
  faulty_.FailCall("QueuePut", 1, kDatabaseLocked);
  std::string request;
  EXPECT_NE(mailhook::PostHookRequest(&faulty_, box.get(), id, &request), kNoError);
  EXPECT_FALSE(InMailBox(id));
  NoteId second = Released("asked for", true);
  EXPECT_EQ(mailhook::PostHookRequest(&faulty_, box.get(), second, &request), kNoError);
  EXPECT_TRUE(InMailBox(second));
}

}  // namespace
}  // namespace zulrouter::testing
