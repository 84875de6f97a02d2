// zulctl bases sign / bases info / scan.
#ifndef TOOLS_ZULCTL_BASES_COMMANDS_H_
#define TOOLS_ZULCTL_BASES_COMMANDS_H_

#include <string>
#include <vector>

#include "notesapi/platform.h"
#include "tools/zulctl/cli_support.h"
#include "tools/zulctl/command_line.h"

namespace zulctl {

// SignBases needs no server.
Status SignBases(const BasesArguments& bases);
Status BasesInfo(notesapi::Platform* platform, const std::string& folder);
// *found says whether any file was anything but clean.
Status ScanFiles(notesapi::Platform* platform, const ScanArguments& scan, bool* found);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_BASES_COMMANDS_H_
