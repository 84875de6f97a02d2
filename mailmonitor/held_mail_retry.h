// Held mail that nobody is scanning gets scanned again. A document stays
// held when its scan or save failed, or when its request was lost; the
// monitor looks through the mail box now and then, and for every document
// held longer than the retry delay posts a new hook request, waiting longer
// after each try. After kMaxAttempts tries the administrators get one
// warning and the document waits for `zulctl mail requeue`.
#ifndef MAILMONITOR_HELD_MAIL_RETRY_H_
#define MAILMONITOR_HELD_MAIL_RETRY_H_

#include <cstdint>
#include <map>

#include "notesapi/platform.h"

namespace zul {

class HeldMailRetry {
 public:
  static constexpr int kMaxAttempts = 5;
  static constexpr uint32_t kDefaultDelaySeconds = 60;
  explicit HeldMailRetry(uint32_t delaySeconds) : delaySeconds_(delaySeconds) {}

  // How often the mail box is looked through: every 15 s, or at the delay
  // when that is shorter.
  uint32_t SweepSeconds() const { return delaySeconds_ < 15 ? delaySeconds_ : 15; }

  // Posts the requests that are due onto `hookQueue`. Failures are logged;
  // the next sweep tries again.
  void Sweep(notesapi::Platform* platform, notesapi::QueueHandle hookQueue);

 private:
  struct Attempts {
    int count = 0;
    double nextAgeSeconds = 0;  // due once the document is held this long
    bool warned = false;
  };
  void Retry(notesapi::Platform* platform, notesapi::QueueHandle hookQueue, notesapi::NoteId id, double ageSeconds,
             Attempts* attempts);

  uint32_t delaySeconds_;
  std::map<notesapi::NoteId, Attempts> attempts_;
};

// notes.ini ZulMailMonitorRetryDelay in seconds; the default when unset or
// not a positive number.
uint32_t ConfiguredRetryDelay(notesapi::Platform* platform);

}  // namespace zul

#endif  // MAILMONITOR_HELD_MAIL_RETRY_H_
