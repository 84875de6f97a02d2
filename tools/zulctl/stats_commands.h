// zulctl stats: the statistics database counted, for people and for
// Prometheus.
#ifndef TOOLS_ZULCTL_STATS_COMMANDS_H_
#define TOOLS_ZULCTL_STATS_COMMANDS_H_

#include <string>

#include "notesapi/platform.h"
#include "tools/zulctl/cli_support.h"
#include "tools/zulctl/command_line.h"

namespace zulctl {

// Returns the exit code; 2 asks the caller to print the usage.
Status StatsCommand(notesapi::Platform* platform, const StatsArguments& stats);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_STATS_COMMANDS_H_
