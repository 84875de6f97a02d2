// zulctl init / tell / quit / tasks / queue: the server directory itself,
// its tasks and its queues.
#ifndef TOOLS_ZULCTL_SERVER_COMMANDS_H_
#define TOOLS_ZULCTL_SERVER_COMMANDS_H_

#include <string>

#include "notesapi/platform.h"
#include "tools/zulctl/command_line.h"

namespace zulctl {

// Makes zulctl act as the user that owns the server directory (root takes
// that user; anyone else is refused with a line naming the owner). False
// when it cannot: the command must not touch the server.
bool ActAsServerOwner(const std::string& serverDirectory);

// Each returns the process exit code.
int Init(const InitArguments& init);
int Tell(notesapi::Platform* platform, const TellArguments& tell);
int Quit(const std::string& serverDirectory, const QuitArguments& quit);
int Tasks(const std::string& serverDirectory);
int Queues(const std::string& serverDirectory);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_SERVER_COMMANDS_H_
