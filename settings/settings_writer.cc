#include "settings/settings_writer.h"

#include <cstdio>

#include "base/server_variables.h"
#include "base/version_text.h"
#include "notesapi/process_platform.h"
#include "notesapi/scoped_handles.h"
#include "base/message_text.h"
#include "base/task_log.h"
#include "settings/settings_records.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr char kNoServerName[] = "<Unable to get server name>";

bool OpenSettingsDatabase(Platform* p, ScopedDb* db) {
  const std::string& path = Variables().setupDatabase;
  if (notesapi::Status s = p->DbOpen(path, db->put()); s != kNoError) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::SetupDatabaseOpenFailed), s, path.c_str());
    return false;
  }
  return true;
}

std::string ServerName(Platform* p) {
  std::string name;
  if (p->ServerName(&name) != kNoError) return kNoServerName;
  return name;
}

}  // namespace

int WriteInformation(uint32_t recordCount, const std::optional<BasesDate>& basesDate) {
  Platform* p = ProcessPlatform();
  ScopedDb db(p);
  if (!OpenSettingsDatabase(p, &db)) return 0;
  ScopedNote note(p);
  notesapi::Status opened = p->NoteOpenByUnid(db.get(), SettingsIds().information, 0, note.put());
  if (opened == kNoError) {
    notesapi::Status last = kNoError;
    if (recordCount != 0) last = p->ItemSetNumber(note.get(), "iAVCount", recordCount);
    if (basesDate) {
      char date[64];
      std::snprintf(date, sizeof date, "%04d-%02d-%02d %02d:%02d", basesDate->year + 1900, basesDate->month + 1,
                    basesDate->day, basesDate->hour, basesDate->minute);
      last = p->ItemSetText(note.get(), "iAVDate", date);
    }
    // A failed write skips the later items; the document is saved anyway.
    if (last == kNoError) last = p->ItemSetText(note.get(), "iVersion", MailMonitorVersionText());
    if (last == kNoError) (void)p->ItemSetText(note.get(), "infServerName", ServerName(p));
    (void)p->NoteUpdate(note.get(), kUpdateForce);  // not reported
  } else {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, MessageText(Msg::ProfileOpenFailed), opened,
               "formInformation");
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, "%s", opened, MessageText(Msg::InformationWriteFailed));
  }
  return 1;
}

int WriteUpdaterStatus(int32_t state, const std::string* text) {
  if ((state < 0 || state > 3) && text == nullptr) return 0;
  Platform* p = ProcessPlatform();
  ScopedDb db(p);
  if (!OpenSettingsDatabase(p, &db)) return 0;
  ScopedNote note(p);
  if (notesapi::Status s = p->NoteOpenByUnid(db.get(), SettingsIds().updaterStatus, 0, note.put()); s != kNoError) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, MessageText(Msg::ProfileOpenFailed), s,
               "formUpdaterStatus");
    return 0;
  }
  notesapi::Status written = kNoError;
  if (state > 0) written = p->ItemSetNumber(note.get(), "UpdaterStatus", state);
  if (written == kNoError && text != nullptr) written = p->ItemSetText(note.get(), "UpdaterStatusText", *text);
  if (written != kNoError) return 0;  // the document is closed unsaved
  return p->NoteUpdate(note.get(), kUpdateForce) == kNoError ? 1 : 0;
}

}  // namespace zul
