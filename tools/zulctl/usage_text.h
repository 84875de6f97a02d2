// The help of zulctl: the list of verbs and each verb's own usage.
#ifndef TOOLS_ZULCTL_USAGE_TEXT_H_
#define TOOLS_ZULCTL_USAGE_TEXT_H_

#include <string>
#include <vector>

namespace zulctl {

const char* GeneralUsage();
// True when the arguments ask for help (--help, -h).
bool WantsHelp(const std::vector<std::string>& args);
// A verb's usage on standard output (exit code 0), or on standard error after
// a wrong use (exit code 2).
int Usage(const std::string& verb);
int BadUsage(const std::string& verb);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_USAGE_TEXT_H_
