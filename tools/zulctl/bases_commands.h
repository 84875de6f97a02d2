// zulctl bases sign / bases info / scan.
#ifndef TOOLS_ZULCTL_BASES_COMMANDS_H_
#define TOOLS_ZULCTL_BASES_COMMANDS_H_

#include <string>
#include <vector>

#include "notesapi/platform.h"

namespace zulctl {

// Each returns the process exit code. SignBases needs no server.
int SignBases(const std::vector<std::string>& args);
int BasesInfo(notesapi::Platform* platform, const std::vector<std::string>& args);
int ScanFiles(notesapi::Platform* platform, const std::vector<std::string>& args);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_BASES_COMMANDS_H_
