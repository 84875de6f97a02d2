// Item values as a person reads them: UTF-8 text, numbers, times, lists.
#ifndef TOOLS_ZULCTL_VALUE_FORMAT_H_
#define TOOLS_ZULCTL_VALUE_FORMAT_H_

#include <string>
#include <string_view>

#include "notesapi/platform.h"

namespace zulctl {

std::string TypeName(uint16_t type);
// The value (data type first) decoded for display; unknown and binary
// values show their size and first bytes in hex.
std::string FormatValue(notesapi::Platform* platform, std::string_view value);
std::string ToUtf8(notesapi::Platform* platform, std::string_view lmbcs);
// A UTF-8 path as the platform's file services take it.
std::u16string WideUtf8(notesapi::Platform* platform, const std::string& utf8);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_VALUE_FORMAT_H_
