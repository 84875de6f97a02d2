// Time services on the host's clock: the current time, constant times, text,
// local broken-down form and back, comparison and arithmetic.
#ifndef NOTESAPI_HOST_INTERNAL_TIME_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_TIME_ROLE_H_

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class TimeRole {
 public:
  explicit TimeRole(HostState& state) : s_(state) {}
  TimeDate TimeNow();
  TimeDate TimeConstant(TimeConstantKind kind);
  Status TimeToText(const TimeDate& value, std::string* text);
  Status TimeGmToLocal(LocalTime* local);
  Status TimeLocalToGm(LocalTime* local);
  int TimeCompare(const TimeDate& a, const TimeDate& b);
  Status TimeAdjust(TimeDate* value, int hours, int days);
  double TimeDifferenceSeconds(const TimeDate& a, const TimeDate& b);

 private:
  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_TIME_ROLE_H_
