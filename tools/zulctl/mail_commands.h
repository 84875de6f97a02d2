// zulctl mail submit / route / export / report / held / requeue: the mail
// hook, one pass of the router, and what mail.box holds.
#ifndef TOOLS_ZULCTL_MAIL_COMMANDS_H_
#define TOOLS_ZULCTL_MAIL_COMMANDS_H_

#include <string>

#include "notesapi/platform.h"
#include "tools/zulctl/command_line.h"

namespace zulctl {

// Returns the exit code: submit from standard input answers the MTA with
// the codes of sysexits.h.
int MailCommand(notesapi::Platform* platform, const std::string& serverDirectory, const std::string& action,
                const MailArguments& mail);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_MAIL_COMMANDS_H_
