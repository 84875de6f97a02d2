// Where the platform takes the current time from. The host uses the system
// clock unless it is given another one; tests drive a ManualClock so that
// intervals, schedules and time windows are checked without waiting.
#ifndef NOTESAPI_CLOCK_H_
#define NOTESAPI_CLOCK_H_

#include <atomic>
#include <cstdint>

namespace notesapi {

class Clock {
 public:
  virtual ~Clock() = default;
  // Microseconds since 1970-01-01 00:00:00 UTC. May be called from any thread.
  virtual int64_t NowMicros() = 0;
};

// The real time of the machine.
class SystemClock final : public Clock {
 public:
  int64_t NowMicros() override;
};

// A clock that moves only when told to.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(int64_t startMicros) : now_(startMicros) {}
  int64_t NowMicros() override { return now_.load(); }
  void SetMicros(int64_t micros) { now_.store(micros); }
  void AdvanceSeconds(int64_t seconds) { now_.fetch_add(seconds * 1000000); }

 private:
  std::atomic<int64_t> now_;
};

}  // namespace notesapi

#endif  // NOTESAPI_CLOCK_H_
