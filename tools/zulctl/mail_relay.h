// zulctl mail route --follow: the router as a daemon. It runs until the
// server quits, serves the hook commands of its task as they come, and
// hands every released message to the next hop: local delivery into
// mail/<name>.nsf, or an MTA's sendmail with the message's envelope. A
// failed hand-over keeps the message in mail.box and is retried with
// back-off.
#ifndef TOOLS_ZULCTL_MAIL_RELAY_H_
#define TOOLS_ZULCTL_MAIL_RELAY_H_

#include <functional>
#include <string>

#include "notesapi/platform.h"

namespace zulctl {

// `sendmail` is the MTA's sendmail program, or empty for local delivery
// (`deliverLocally`). `serveHook` applies waiting hook commands.
int FollowMailBox(notesapi::Platform* platform, const std::string& serverDirectory, const std::string& task,
                  const std::string& sendmail, const std::function<void()>& serveHook,
                  const std::function<void()>& deliverLocally);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_MAIL_RELAY_H_
