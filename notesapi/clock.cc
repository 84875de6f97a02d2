#include "notesapi/clock.h"

#include <chrono>

namespace notesapi {

int64_t SystemClock::NowMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace notesapi
