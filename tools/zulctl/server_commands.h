// zulctl init / tell / quit / tasks / queue: the server directory itself,
// its tasks and its queues.
#ifndef TOOLS_ZULCTL_SERVER_COMMANDS_H_
#define TOOLS_ZULCTL_SERVER_COMMANDS_H_

#include <string>

#include "notesapi/platform.h"
#include "tools/zulctl/command_line.h"

namespace zulctl {

// Each returns the process exit code.
int Init(const InitArguments& init);
int Tell(notesapi::Platform* platform, const TellArguments& tell);
int Quit(const std::string& serverDirectory, const QuitArguments& quit);
int Tasks(const std::string& serverDirectory);
int Queues(const std::string& serverDirectory);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_SERVER_COMMANDS_H_
