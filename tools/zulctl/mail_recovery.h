// zulctl mail held / requeue: held mail after a crash. The hook request is
// consumed when the monitor reads it, so a monitor that dies in the middle
// of a scan leaves its document held with no request for it; requeue posts
// one for every held document that has none waiting.
#ifndef TOOLS_ZULCTL_MAIL_RECOVERY_H_
#define TOOLS_ZULCTL_MAIL_RECOVERY_H_

#include <string>

#include "notesapi/platform.h"
#include "tools/zulctl/cli_support.h"

namespace zulctl {

// Both return the exit code.
Status ListHeldMail(notesapi::Platform* platform, const std::string& serverDirectory);
// A document set aside (it stopped the monitor twice) is left out unless
// `setAside`; then its mark and count go and it is asked for again.
Status RequeueHeldMail(notesapi::Platform* platform, const std::string& serverDirectory, bool setAside);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_MAIL_RECOVERY_H_
