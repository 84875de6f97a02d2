// Conversions between the platform's 8-byte time values, microseconds since
// the Unix epoch and the local broken-down form. Local time is the process's
// time zone (TZ), as the C library sees it.
#ifndef NOTESAPI_HOST_INTERNAL_TIME_CODEC_H_
#define NOTESAPI_HOST_INTERNAL_TIME_CODEC_H_

#include <cstdint>
#include <string>

#include "notesapi/status.h"
#include "notesapi/types.h"

namespace notesapi::host {

TimeDate TimeFromMicros(int64_t micros);
int64_t MicrosFromTime(const TimeDate& value);
bool HasWildcard(const TimeDate& value);

// Fills the broken-down fields of `local` from local->gm.
[[nodiscard]] Status GmToLocal(LocalTime* local);
// Normalises the broken-down fields and sets local->gm from them.
[[nodiscard]] Status LocalToGm(LocalTime* local);
// Whole days in local time (the local time of day is kept across a
// daylight-saving change), hours as elapsed time.
[[nodiscard]] Status AdjustTime(TimeDate* value, int hours, int days);
int CompareTimes(const TimeDate& a, const TimeDate& b);
std::string FormatTime(const TimeDate& value);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_TIME_CODEC_H_
