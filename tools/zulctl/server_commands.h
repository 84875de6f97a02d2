// zulctl init / tell / quit / tasks / queue: the server directory itself,
// its tasks and its queues.
#ifndef TOOLS_ZULCTL_SERVER_COMMANDS_H_
#define TOOLS_ZULCTL_SERVER_COMMANDS_H_

#include <string>

#include "notesapi/platform.h"
#include "tools/zulctl/cli_support.h"
#include "tools/zulctl/command_line.h"

namespace zulctl {

// Makes zulctl act as the user that owns the server directory (root takes
// that user; anyone else is refused, naming the owner). A failure: the
// command must not touch the server.
Status ActAsServerOwner(const std::string& serverDirectory);


Status Init(const InitArguments& init);
Status Tell(notesapi::Platform* platform, const TellArguments& tell);
Status Quit(const std::string& serverDirectory, const QuitArguments& quit);
Status Tasks(const std::string& serverDirectory);
Status Queues(const std::string& serverDirectory);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_SERVER_COMMANDS_H_
