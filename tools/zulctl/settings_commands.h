// zulctl settings init / show / set: the settings database without a client.
#ifndef TOOLS_ZULCTL_SETTINGS_COMMANDS_H_
#define TOOLS_ZULCTL_SETTINGS_COMMANDS_H_

#include <string>

#include "notesapi/platform.h"
#include "tools/zulctl/cli_support.h"
#include "tools/zulctl/command_line.h"

namespace zulctl {

// Returns the exit code; 2 asks the caller to print the usage.
Status SettingsCommand(notesapi::Platform* platform, const std::string& serverDirectory, const std::string& action,
                    const SettingsArguments& settings);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_SETTINGS_COMMANDS_H_
