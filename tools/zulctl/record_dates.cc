#include "tools/zulctl/record_dates.h"

#include <cstdio>

namespace zulctl {

using namespace notesapi;

bool ParseDay(Platform* p, const std::string& text, TimeDate* start) {
  int year = 0, month = 0, day = 0;
  char rest = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &rest) != 3) return false;
  if (year < 1900 || month < 1 || month > 12 || day < 1 || day > 31) return false;
  LocalTime local;
  local.gm = p->TimeNow();
  if (p->TimeGmToLocal(&local) != kNoError) return false;  // for the zone
  local.year = year;
  local.month = month;
  local.day = day;
  local.hour = local.minute = local.second = local.hundredth = 0;
  if (p->TimeLocalToGm(&local) != kNoError) return false;
  *start = local.gm;
  return true;
}

std::string DayOf(Platform* p, const TimeDate& time) {
  LocalTime local;
  local.gm = time;
  if (p->TimeGmToLocal(&local) != kNoError) return "unknown";
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", local.year, local.month, local.day);
  return text;
}

}  // namespace zulctl
