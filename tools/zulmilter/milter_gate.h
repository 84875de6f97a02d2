// The milter's side of held mail, on one platform and one thread: a message
// from the SMTP dialogue is stored held for the monitor (by the hook's own
// writer, marked as the milter's), looked at until the monitor releases
// it, turned into the SMTP verdict, and removed. Mail the milter left
// behind (a milter that stopped while it waited) is swept away.
#ifndef TOOLS_ZULMILTER_MILTER_GATE_H_
#define TOOLS_ZULMILTER_MILTER_GATE_H_

#include <chrono>
#include <optional>
#include <set>
#include <string>

#include "base/status.h"
#include "notesapi/host/mime_import.h"
#include "notesapi/platform.h"

namespace zulmilter {

struct GateOptions {
  std::string serverDirectory;
  std::string task = "SMTP";   // whose hook the milter is
  double timeoutSeconds = 120;  // notes.ini ZulMilterTimeout
  bool reject = false;          // notes.ini ZulMilterReject
};

struct MilterVerdict {
  enum class Kind {
    kAccept,         // as sent
    kAcceptChanged,  // as the monitor released it: `message`
    kReject,         // 5xx
    kTempFail,       // 4xx: the MTA keeps the mail and tries again
  };
  Kind kind = Kind::kTempFail;
  std::string reason;   // the text of a 4xx or 5xx reply
  std::string message;  // kAcceptChanged
};

class MilterGate {
 public:
  MilterGate(notesapi::Platform* p, GateOptions options);

  // Stores the message held and asks the monitor to scan it. A verdict
  // here means there is nothing to wait for: the monitor is not running or
  // the store failed (4xx), the bytes are no mail (5xx), the hook is paused
  // (accept, unscanned, as the hook lets mail pass then).
  std::optional<MilterVerdict> Submit(const std::string& message, const notesapi::MessageEnvelope& envelope,
                                      notesapi::NoteId* id);
  // The verdict once the monitor released the message (nothing while it is
  // held). `sent` is the message as stored.
  std::optional<MilterVerdict> Look(notesapi::NoteId id, const std::string& sent);
  // Removes the message from mail.box, its verdict given or the wait over.
  void Drop(notesapi::NoteId id);
  // Removes milter mail older than the time-out that nobody waits for
  // (`waiting`), saying each; how many went.
  int Sweep(const std::set<notesapi::NoteId>& waiting);
  // Whether the mail monitor runs on this server (a yes holds for a second).
  bool MonitorRunning();

  const GateOptions& options() const { return options_; }

 private:
  notesapi::Platform* p_;
  GateOptions options_;
  std::string owner_;  // the value of the milter's mark: this run
  std::chrono::steady_clock::time_point monitorCheckedAt_;
  bool monitorRunning_ = false;
};

// The 4xx and 5xx reasons, for the SMTP reply.
inline constexpr char kNotRunning[] = "the virus scanner is not running; try again later";
inline constexpr char kNotStored[] = "the virus scanner cannot take the message now; try again later";
inline constexpr char kNotInTime[] = "the virus scan did not end in time; try again later";
inline constexpr char kRemoved[] = "the message was removed before its scan ended; try again later";

}  // namespace zulmilter

#endif  // TOOLS_ZULMILTER_MILTER_GATE_H_
