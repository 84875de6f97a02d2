// zulctl stats: the statistics database counted, for people and for
// Prometheus.
#ifndef TOOLS_ZULCTL_STATS_COMMANDS_H_
#define TOOLS_ZULCTL_STATS_COMMANDS_H_

#include <string>
#include <vector>

#include "notesapi/platform.h"

namespace zulctl {

// Returns the exit code; 2 asks the caller to print the usage.
int StatsCommand(notesapi::Platform* platform, const std::vector<std::string>& args);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_STATS_COMMANDS_H_
