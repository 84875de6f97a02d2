// zulctl init / tell / quit / tasks / queue: the server directory itself,
// its tasks and its queues.
#ifndef TOOLS_ZULCTL_SERVER_COMMANDS_H_
#define TOOLS_ZULCTL_SERVER_COMMANDS_H_

#include <string>
#include <vector>

#include "notesapi/platform.h"

namespace zulctl {

// Each returns the process exit code.
int Init(const std::vector<std::string>& args);
int Tell(notesapi::Platform* platform, const std::vector<std::string>& args);
int Quit(const std::string& serverDirectory, const std::vector<std::string>& args);
int Tasks(const std::string& serverDirectory);
int Queues(const std::string& serverDirectory, const std::vector<std::string>& args);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_SERVER_COMMANDS_H_
