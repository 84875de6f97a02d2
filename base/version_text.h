// The mail monitor's version text, "v5.5.1392 (ru, release-ru)": answered to
// the console command VERSION and written into the information document.
#ifndef BASE_VERSION_TEXT_H_
#define BASE_VERSION_TEXT_H_

#include <cstdio>
#include <string>

namespace zul {

inline constexpr char kVersionFormat[] = "v%s.%s (%s, %s)";

inline std::string VersionText(const char* build) {
  char text[64];
  std::snprintf(text, sizeof text, kVersionFormat, "5.5", build, "ru", "release-ru");
  return text;
}

inline std::string MailMonitorVersionText() { return VersionText("1392"); }

}  // namespace zul

#endif  // BASE_VERSION_TEXT_H_
