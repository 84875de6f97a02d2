// zulctl mail submit / route / export: the mail hook and the router of the
// embedded server, so mail can flow through the tasks end to end.
#ifndef TOOLS_ZULCTL_MAIL_COMMANDS_H_
#define TOOLS_ZULCTL_MAIL_COMMANDS_H_

#include <string>
#include <vector>

#include "notesapi/platform.h"

namespace zulctl {

// Returns the exit code; 2 asks the caller to print the usage.
int MailCommand(notesapi::Platform* platform, const std::string& serverDirectory, const std::vector<std::string>& args);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_MAIL_COMMANDS_H_
