// zulctl settings init / show / set: the settings database without a client.
#ifndef TOOLS_ZULCTL_SETTINGS_COMMANDS_H_
#define TOOLS_ZULCTL_SETTINGS_COMMANDS_H_

#include <string>
#include <vector>

#include "notesapi/platform.h"

namespace zulctl {

// Returns the exit code; 2 asks the caller to print the usage.
int SettingsCommand(notesapi::Platform* platform, const std::string& serverDirectory,
                    const std::vector<std::string>& args);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_SETTINGS_COMMANDS_H_
