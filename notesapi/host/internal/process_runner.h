// Runs a child program and waits for it. Command lines come in the Windows
// form (one string, quotes group words) and are split the Windows way.
#ifndef NOTESAPI_HOST_INTERNAL_PROCESS_RUNNER_H_
#define NOTESAPI_HOST_INTERNAL_PROCESS_RUNNER_H_

#include <string>
#include <string_view>
#include <vector>

#include "notesapi/status.h"

namespace notesapi::host {

std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// `program` is a path, or a name looked up in `searchFolders` then PATH;
// a name ending in ".exe" that is not found is tried without it.
// `output` empty: standard output and error go to /dev/null.
// `timeoutSeconds` 0 waits without a limit; otherwise a child still running
// then is ended (SIGTERM, then SIGKILL) and kProcessTimedOut returned.
[[nodiscard]] Status RunChild(const std::string& program, const std::vector<std::string>& arguments,
                              const std::string& output, const std::vector<std::string>& searchFolders,
                              uint32_t timeoutSeconds, int* exitCode);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_PROCESS_RUNNER_H_
