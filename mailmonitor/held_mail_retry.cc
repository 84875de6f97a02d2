#include "mailmonitor/held_mail_retry.h"

#include "mailmonitor/scan_attempts.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "mailmonitor/service_queues.h"
#include "notesapi/scoped_handles.h"
#include "base/message_text.h"
#include "base/task_log.h"

namespace zul {

using namespace notesapi;

namespace {

// The age of a held document in seconds, or a negative value when it is
// not held (released, deleted, unreadable).
double HeldAge(Platform* p, DbHandle box, NoteId id, const TimeDate& now) {
  ScopedNote note(p);
  if (p->NoteOpen(box, id, kOpenRawMime, note.put()) != kNoError) return -1;
  ItemInfo routing;
  if (p->ItemInfoByName(note.get(), "RoutingState", &routing) != kNoError) return -1;
  if (IsSetAside(p, note.get())) return -1;  // waits for an administrator
  NoteInfo info;
  if (p->NoteGetInfo(note.get(), &info) != kNoError) return -1;
  return p->TimeDifferenceSeconds(now, info.modified);
}

}  // namespace

uint32_t ConfiguredRetryDelay(Platform* p) {
  std::string text;
  if (!p->IniGetText("ZulMailMonitorRetryDelay", 32, &text)) return HeldMailRetry::kDefaultDelaySeconds;
  char* end = nullptr;
  long seconds = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || seconds <= 0 || seconds > 86400) return HeldMailRetry::kDefaultDelaySeconds;
  return static_cast<uint32_t>(seconds);
}

void HeldMailRetry::Sweep(Platform* p, QueueHandle hookQueue) {
  ScopedDb box(p);
  if (p->DbOpen(kMailBoxPath, box.put()) != kNoError) return;  // no mail box yet: nothing is held
  std::vector<NoteId> ids;
  if (notesapi::Status s = p->DbNoteIds(box.get(), &ids); s != kNoError) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::MailDatabaseOpenFailed), s, kMailBoxPath);
    return;
  }
  TimeDate now = p->TimeNow();
  std::map<NoteId, Attempts> stillHeld;
  for (NoteId id : ids) {
    double age = HeldAge(p, box.get(), id, now);
    if (age < delaySeconds_) continue;
    Attempts attempts = attempts_[id];
    Retry(p, hookQueue, id, age, &attempts);
    stillHeld[id] = attempts;
  }
  attempts_ = std::move(stillHeld);  // a document released or gone is forgotten
}

void HeldMailRetry::Retry(Platform* p, QueueHandle hookQueue, NoteId id, double ageSeconds, Attempts* attempts) {
  if (ageSeconds < attempts->nextAgeSeconds) return;
  if (attempts->count >= kMaxAttempts) {
    if (!attempts->warned) {
      LogMessage(LOG_FILE | LOG_CONSOLE | LOG_ADMIN, JournalError, MessageText(Msg::HeldRetriesExhausted), 0, id,
                 attempts->count);
      attempts->warned = true;
    }
    return;
  }
  if (notesapi::Status s = p->QueuePut(hookQueue, 1, FormatHookRequest(id)); s != kNoError) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::QueuePutFailed), s, kHookQueue);
    return;
  }
  ++attempts->count;
  // Twice as long after each try: delay, 2, 4, 8 and 16 times the delay.
  attempts->nextAgeSeconds = ageSeconds + static_cast<double>(delaySeconds_) * (1u << attempts->count);
}

}  // namespace zul
