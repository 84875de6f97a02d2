#include "notesapi/host/internal/time_role.h"

#include "notesapi/host/internal/time_codec.h"

namespace notesapi::host {

TimeDate TimeRole::TimeNow() { return TimeFromMicros(s_.options.clock->NowMicros()); }

TimeDate TimeRole::TimeConstant(TimeConstantKind kind) {
  TimeDate value;
  switch (kind) {
    case TimeConstantKind::kMinimum:
      break;
    case TimeConstantKind::kMaximum:
      value.innards = {8639999, 0x00FFFFFE};
      break;
    case TimeConstantKind::kWildcard:
      value.innards = {kAllDay, kAnyDay};
      break;
  }
  return value;
}

Status TimeRole::TimeToText(const TimeDate& value, std::string* text) {
  *text = FormatTime(value);
  return kNoError;
}

Status TimeRole::TimeGmToLocal(LocalTime* local) { return GmToLocal(local); }
Status TimeRole::TimeLocalToGm(LocalTime* local) { return LocalToGm(local); }
int TimeRole::TimeCompare(const TimeDate& a, const TimeDate& b) { return CompareTimes(a, b); }
Status TimeRole::TimeAdjust(TimeDate* value, int hours, int days) { return AdjustTime(value, hours, days); }

double TimeRole::TimeDifferenceSeconds(const TimeDate& a, const TimeDate& b) {
  return static_cast<double>(MicrosFromTime(a) - MicrosFromTime(b)) / 1e6;
}

}  // namespace notesapi::host
