// zulctl quarantine: what the mail monitor took out of mail, listed, shown,
// written out, released to its recipients and purged.
#ifndef TOOLS_ZULCTL_QUARANTINE_COMMANDS_H_
#define TOOLS_ZULCTL_QUARANTINE_COMMANDS_H_

#include <string>

#include "notesapi/platform.h"
#include "tools/zulctl/cli_support.h"
#include "tools/zulctl/command_line.h"

namespace zulctl {

// Returns the exit code; 2 asks the caller to print the usage.
Status QuarantineCommand(notesapi::Platform* platform, const std::string& serverDirectory, const std::string& action,
                      const QuarantineArguments& quarantine);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_QUARANTINE_COMMANDS_H_
