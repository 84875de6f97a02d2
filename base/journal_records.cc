#include "base/journal_records.h"

#include <string>

#include "base/server_variables.h"
#include "notesapi/process_platform.h"
#include "notesapi/scoped_handles.h"
#include "base/task_log.h"
#include "base/text_conversions.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr size_t kMaxDescription = 1023;

struct RecordItems {
  const char* date;
  const char* form;
  const char* formName;
  const char* type;
  const char* task;
  const char* server;
  const char* description;
  const char* sender;  // null for journal records
};

constexpr RecordItems kJournal{"JournalDate", "Form", "form_Journal", "JournalType", "JournalTask",
                               "JournalServer", "JournalDescription", nullptr};
constexpr RecordItems kVirus{"VirusDate", "Form", "form_Virus", "VirusType", "VirusTask",
                             "VirusServer", "VirusDescription", "VirusSender"};

notesapi::Status WriteRecord(const RecordItems& items, std::string_view statDatabase, uint16_t code,
                   std::string_view nativeDescription, std::string_view sender) {
  Platform* p = ProcessPlatform();
  TimeDate now = p->TimeNow();
  std::string server = MailServerName();
  std::string description = NativeToNotesWithin(nativeDescription, kMaxDescription);
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(statDatabase, db.put()); s != kNoError) return s;
  ScopedNote note(p);
  bool written = p->NoteCreate(db.get(), note.put()) == kNoError &&
                 p->ItemSetTime(note.get(), items.date, now) == kNoError &&
                 p->ItemSetText(note.get(), items.form, items.formName) == kNoError &&
                 p->ItemSetNumber(note.get(), items.type, code) == kNoError &&
                 p->ItemSetText(note.get(), items.task, TaskName()) == kNoError &&
                 p->ItemSetText(note.get(), items.server, server) == kNoError &&
                 p->ItemSetText(note.get(), items.description, description) == kNoError &&
                 (items.sender == nullptr || p->ItemSetText(note.get(), items.sender, sender) == kNoError);
  // A record that cannot be filled or saved is lost; only the open is reported.
  if (written) (void)p->NoteUpdate(note.get(), kUpdateForce);
  return kNoError;
}

}  // namespace

uint16_t StatisticsCodeOf(int scanResult) {
  constexpr uint16_t kCodes[] = {148, 114, 115, 120, 128, 38};
  return scanResult >= 0 && scanResult < 6 ? kCodes[scanResult] : 150;
}

notesapi::Status WriteJournalRecord(std::string_view statDatabase, uint16_t journalType, std::string_view message) {
  return WriteRecord(kJournal, statDatabase, journalType, message, {});
}

notesapi::Status WriteVirusRecord(std::string_view statDatabase, uint16_t statisticsCode, std::string_view description,
                        std::string_view sender) {
  return WriteRecord(kVirus, statDatabase, statisticsCode, description, sender);
}

}  // namespace zul
