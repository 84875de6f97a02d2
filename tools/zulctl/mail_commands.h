// zulctl mail submit / route / export: the mail hook and the router of the
// embedded server, so mail can flow through the tasks end to end.
#ifndef TOOLS_ZULCTL_MAIL_COMMANDS_H_
#define TOOLS_ZULCTL_MAIL_COMMANDS_H_

#include <string>

#include "notesapi/platform.h"
#include "tools/zulctl/command_line.h"

namespace zulctl {

// Returns the exit code.
int MailCommand(notesapi::Platform* platform, const std::string& serverDirectory, const std::string& action,
                const MailArguments& mail);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_MAIL_COMMANDS_H_
