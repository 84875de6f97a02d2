// zulctl bases sign / bases info / scan.
#ifndef TOOLS_ZULCTL_BASES_COMMANDS_H_
#define TOOLS_ZULCTL_BASES_COMMANDS_H_

#include <string>
#include <vector>

#include "notesapi/platform.h"
#include "tools/zulctl/command_line.h"

namespace zulctl {

// Each returns the process exit code. SignBases needs no server.
int SignBases(const BasesArguments& bases);
int BasesInfo(notesapi::Platform* platform, const std::string& folder);
int ScanFiles(notesapi::Platform* platform, const ScanArguments& scan);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_BASES_COMMANDS_H_
