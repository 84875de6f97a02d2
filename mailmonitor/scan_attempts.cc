#include "mailmonitor/scan_attempts.h"

#include <cstdio>
#include <cstdlib>

#include "base/message_text.h"
#include "base/task_log.h"
#include "base/text_conversions.h"
#include "notesapi/scoped_handles.h"
#include "settings/settings_records.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr char16_t kMarkName[] = u"ZulScanning";

std::u16string MarkPath() { return General().taskWorkFolder + kMarkName; }

}  // namespace

void CountInterruptedScan(Platform* p) {
  std::string mark;
  if (p->FileRead(MarkPath(), &mark) != kNoError) return;  // the last scan ended
  (void)p->FileDelete(MarkPath());  // counted once, whatever follows
  size_t bar = mark.find('|');
  unsigned long id = bar == std::string::npos ? 0 : std::strtoul(mark.c_str(), nullptr, 16);
  if (id == 0) return;
  ScopedDb db(p);
  ScopedNote note(p);
  if (p->DbOpen(mark.substr(bar + 1), db.put()) != kNoError ||
      p->NoteOpen(db.get(), static_cast<NoteId>(id), kOpenRawMime, note.put()) != kNoError) {
    return;  // gone since: nothing to count
  }
  double crashes = p->ItemGetNumber(note.get(), kScanCrashesItem, 0) + 1;
  if (p->ItemSetNumber(note.get(), kScanCrashesItem, crashes) != kNoError ||
      p->NoteUpdate(note.get(), kUpdateForce) != kNoError) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::DocumentSendFailed), 0, static_cast<unsigned>(id));
  }
}

void BeginScanAttempt(Platform* p, const std::string& database, NoteId id) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x|", id);
  (void)p->FileWrite(MarkPath(), text + database);  // without it the document is only retried, as before
}

void EndScanAttempt(Platform* p) { (void)p->FileDelete(MarkPath()); }  // written just before

bool IsSetAside(Platform* p, NoteHandle note) {
  ItemInfo item;
  return p->ItemInfoByName(note, kSetAsideItem, &item) == kNoError;
}

bool SetAsideIfItStoppedTheMonitor(Platform* p, NoteHandle note, NoteId id) {
  if (IsSetAside(p, note)) return true;
  if (p->ItemGetNumber(note, kScanCrashesItem, 0) < kCrashesBeforeSetAside) return false;
  char reason[1024];
  std::snprintf(reason, sizeof reason, MessageText(Msg::DocumentSetAside), id);
  notesapi::Status s = p->ItemSetText(note, kSetAsideItem, NativeToNotes(reason));
  if (s == kNoError) s = p->NoteUpdate(note, kUpdateForce);
  LogMessage(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL | LOG_ADMIN, JournalError, MessageText(Msg::DocumentSetAside), s, id);
  return true;  // held either way: a document that stops the monitor is not scanned again by itself
}

}  // namespace zul
