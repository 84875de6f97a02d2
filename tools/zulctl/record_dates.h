// Dates on the command line ("YYYY-MM-DD", local time) and of stored
// records, for the quarantine and statistics views.
#ifndef TOOLS_ZULCTL_RECORD_DATES_H_
#define TOOLS_ZULCTL_RECORD_DATES_H_

#include <string>

#include "notesapi/platform.h"

namespace zulctl {

// The start of that local day; false when the text is no such date.
bool ParseDay(notesapi::Platform* platform, const std::string& text, notesapi::TimeDate* start);
// "YYYY-MM-DD" of a stored time, local.
std::string DayOf(notesapi::Platform* platform, const notesapi::TimeDate& time);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_RECORD_DATES_H_
