#include "tools/zulctl/record_dates.h"

#include <cstdio>

namespace zulctl {

using namespace notesapi;

namespace {

int DaysIn(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// "YYYY-MM-DD" exactly: four, two and two digits.
bool DigitsAt(const std::string& text, size_t at, size_t count, int* value) {
  *value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    *value = *value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

bool ParseDay(Platform* p, const std::string& text, TimeDate* start) {
  int year = 0, month = 0, day = 0;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !DigitsAt(text, 0, 4, &year) ||
      !DigitsAt(text, 5, 2, &month) || !DigitsAt(text, 8, 2, &day)) {
    return false;
  }
  if (year < 1900 || month < 1 || month > 12 || day < 1 || day > DaysIn(year, month)) return false;
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
