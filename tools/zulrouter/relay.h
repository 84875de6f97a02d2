// The router's hand-over of released mail to an MTA, each message exactly
// once: over SMTP on one kept connection (smtp://HOST:PORT, Postfix's second
// smtpd for filtered mail), or through its sendmail program (sendmail -G -i
// -f SENDER -- RCPT...).
//
// What makes it exactly once lives in mail.box, in the message itself:
//  - "$ZulHandOver" is saved before sendmail is started, naming the relay
//    run; a message found so marked by another run may have reached the
//    next hop when that run stopped: it goes again, the one duplicate a
//    crash can cause, and the log says so. Nothing is handed over while
//    the mark cannot be saved.
//  - "$ZulTaken" is saved when sendmail took a message that mail.box then
//    refused to remove: such a message is only ever removed, never handed
//    over again. Only when mail.box refuses that mark too is it kept in
//    memory, for the life of the relay.
// Mail the milter waits for is the milter's to answer for: never handed over.
#ifndef TOOLS_ZULROUTER_RELAY_H_
#define TOOLS_ZULROUTER_RELAY_H_

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "notesapi/platform.h"
#include "tools/zulrouter/smtp_transport.h"

namespace zulrouter {

inline constexpr char kHandOverItem[] = "$ZulHandOver";
inline constexpr char kTakenItem[] = "$ZulTaken";
inline constexpr char kSmtpScheme[] = "smtp://";

class Relay {
 public:
  // `sendmail` is the program's path or an smtp:// URL; `serverDirectory`
  // holds run/, where messages are written out.
  Relay(notesapi::Platform* p, std::string serverDirectory, std::string sendmail);

  // Hands every released message of mail.box whose retry time has come to
  // the MTA (to sendmail a few at once), and removes what it took. Each outcome is said
  // on standard output, each failure on standard error.
  void Pass();

 private:
  using Clock = std::chrono::steady_clock;
  struct Retry {
    int failures = 0;
    Clock::time_point next;
  };
  struct Running;
  enum class Found { kHandOver, kSkip, kStopPass };

  Found Inspect(notesapi::DbHandle box, notesapi::NoteId id, notesapi::NoteHandle note);
  bool RemoveTaken(notesapi::DbHandle box, notesapi::NoteId id);
  bool RecordHandOver(notesapi::NoteHandle note, notesapi::NoteId id);
  bool FinishAll(notesapi::DbHandle box, std::vector<Running>* running);
  void Relayed(notesapi::NoteId id, size_t recipients);
  void NotRelayed(notesapi::NoteId id, const std::string& why);
  static void BackOff(Retry* retry);

  notesapi::Platform* p_;
  std::string serverDirectory_;
  std::string sendmail_;
  std::unique_ptr<SmtpTransport> smtp_;  // for an smtp:// relay
  std::string runId_;                    // names this run in "$ZulHandOver"
  std::map<notesapi::NoteId, Retry> retries_;
  std::set<notesapi::NoteId> takenUnmarked_;  // taken, and mail.box refused both removal and mark
  bool recordFailing_ = false;           // the last hand-over record could not be saved
  Retry recordRetry_;
};

}  // namespace zulrouter

#endif  // TOOLS_ZULROUTER_RELAY_H_
