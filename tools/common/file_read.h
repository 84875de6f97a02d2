// The one way the tools read a whole file: a folder, a missing file or a
// read error is a reason, never an exception.
#ifndef TOOLS_COMMON_FILE_READ_H_
#define TOOLS_COMMON_FILE_READ_H_

#include <string>

namespace tools {

// False with `why` ("is a folder, not a file", "cannot be opened", ...).
bool ReadWholeFile(const std::string& path, std::string* data, std::string* why);

}  // namespace tools

#endif  // TOOLS_COMMON_FILE_READ_H_
