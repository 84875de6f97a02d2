#include "notesapi/host/internal/time_codec.h"

#include <cstdio>
#include <ctime>

namespace notesapi::host {

namespace {

constexpr int64_t kMicrosPerDay = 86400LL * 1000000;
constexpr int64_t kMicrosPerHundredth = 10000;
constexpr uint32_t kDstBit = 0x80000000;
constexpr uint32_t kEastBit = 0x40000000;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

// The writer's zone goes into the high byte of innards[1]: hours and quarter
// hours, a sign bit and a daylight-saving bit. Readers ignore it for arithmetic.
uint32_t ZoneBits(int64_t micros) {
  time_t seconds = static_cast<time_t>(FloorDiv(micros, 1000000));
  struct tm tm {};
  if (localtime_r(&seconds, &tm) == nullptr) return 0;
  long offset = tm.tm_gmtoff;  // seconds east of UTC
  uint32_t bits = 0;
  if (offset > 0) bits |= kEastBit;
  long magnitude = offset < 0 ? -offset : offset;
  bits |= static_cast<uint32_t>((magnitude / 3600) & 0x0F) << 24;
  bits |= static_cast<uint32_t>(((magnitude % 3600) / 900) & 0x03) << 28;
  if (tm.tm_isdst > 0) bits |= kDstBit;
  return bits;
}

void FillFromTm(const struct tm& tm, int hundredth, LocalTime* local) {
  local->year = tm.tm_year + 1900;
  local->month = tm.tm_mon + 1;
  local->day = tm.tm_mday;
  local->weekday = tm.tm_wday + 1;
  local->hour = tm.tm_hour;
  local->minute = tm.tm_min;
  local->second = tm.tm_sec;
  local->hundredth = hundredth;
  local->dst = tm.tm_isdst > 0;
  local->zone = static_cast<int>(-tm.tm_gmtoff / 3600);
}

}  // namespace

TimeDate TimeFromMicros(int64_t micros) {
  int64_t day = FloorDiv(micros, kMicrosPerDay);
  int64_t ticks = (micros - day * kMicrosPerDay) / kMicrosPerHundredth;
  TimeDate value;
  value.innards[0] = static_cast<uint32_t>(ticks);
  value.innards[1] = (static_cast<uint32_t>(day + kJulianDayOfUnixEpoch) & kAnyDay) | ZoneBits(micros);
  return value;
}

int64_t MicrosFromTime(const TimeDate& value) {
  int64_t day = static_cast<int64_t>(value.innards[1] & kAnyDay) - kJulianDayOfUnixEpoch;
  return day * kMicrosPerDay + static_cast<int64_t>(value.innards[0]) * kMicrosPerHundredth;
}

bool HasWildcard(const TimeDate& value) {
  return value.innards[0] == kAllDay || (value.innards[1] & kAnyDay) == kAnyDay;
}

Status GmToLocal(LocalTime* local) {
  if (HasWildcard(local->gm)) return kBadArgument;
  int64_t micros = MicrosFromTime(local->gm);
  time_t seconds = static_cast<time_t>(FloorDiv(micros, 1000000));
  struct tm tm {};
  if (localtime_r(&seconds, &tm) == nullptr) return kBadArgument;
  int hundredth = static_cast<int>((micros - static_cast<int64_t>(seconds) * 1000000) / kMicrosPerHundredth);
  FillFromTm(tm, hundredth, local);
  return kNoError;
}

Status LocalToGm(LocalTime* local) {
  // Hundredths out of range carry into the seconds the C library normalises.
  int hundredth = local->hundredth % 100;
  int carrySeconds = local->hundredth / 100;
  if (hundredth < 0) {
    hundredth += 100;
    carrySeconds -= 1;
  }
  struct tm tm {};
  tm.tm_year = local->year - 1900;
  tm.tm_mon = local->month - 1;
  tm.tm_mday = local->day;
  tm.tm_hour = local->hour;
  tm.tm_min = local->minute;
  tm.tm_sec = local->second + carrySeconds;
  tm.tm_isdst = -1;
  time_t seconds = mktime(&tm);
  if (seconds == static_cast<time_t>(-1) && tm.tm_year != 69) return kBadArgument;
  FillFromTm(tm, hundredth, local);
  local->gm = TimeFromMicros(static_cast<int64_t>(seconds) * 1000000 + hundredth * kMicrosPerHundredth);
  return kNoError;
}

Status AdjustTime(TimeDate* value, int hours, int days) {
  if (HasWildcard(*value)) return kBadArgument;
  LocalTime local;
  local.gm = *value;
  if (Status s = GmToLocal(&local); s != kNoError) return s;
  local.day += days;
  if (Status s = LocalToGm(&local); s != kNoError) return s;
  *value = TimeFromMicros(MicrosFromTime(local.gm) + static_cast<int64_t>(hours) * 3600 * 1000000);
  return kNoError;
}

int CompareTimes(const TimeDate& a, const TimeDate& b) {
  uint64_t left = (static_cast<uint64_t>(a.innards[1] & kAnyDay) << 32) | a.innards[0];
  uint64_t right = (static_cast<uint64_t>(b.innards[1] & kAnyDay) << 32) | b.innards[0];
  return left < right ? -1 : (left > right ? 1 : 0);
}

std::string FormatTime(const TimeDate& value) {
  bool noTime = value.innards[0] == kAllDay;
  bool noDate = (value.innards[1] & kAnyDay) == kAnyDay;
  if (noTime && noDate) return {};
  char text[64];
  if (noDate) {
    uint32_t ticks = value.innards[0];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", ticks / 360000 % 24, ticks / 6000 % 60, ticks / 100 % 60);
    return text;
  }
  LocalTime local;
  local.gm = value;
  if (noTime) local.gm.innards[0] = 0;
  if (GmToLocal(&local) != kNoError) return {};
  if (noTime) {
    std::snprintf(text, sizeof text, "%02d.%02d.%04d", local.day, local.month, local.year);
  } else {
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", local.day, local.month, local.year, local.hour,
                  local.minute, local.second);
  }
  return text;
}

}  // namespace notesapi::host
