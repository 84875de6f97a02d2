#include "tools/zulctl/settings_setup.h"

#include <cstdio>
#include <cstdlib>

#include "notesapi/scoped_handles.h"
#include "settings/settings_records.h"
#include "settings/settings_schema.h"

namespace zulctl {

using namespace notesapi;
using namespace zul;

namespace {

std::string Lmbcs(Platform* p, const std::string& utf8) {
  std::string out;
  return p->Translate(kTranslateUtf8ToLmbcs, utf8, &out) == kNoError ? out : utf8;
}

bool Ini(Platform* p, const char* name, std::string* value) { return p->IniGetText(name, 1024, value) && !value->empty(); }

// "HH:MM" today, "DD.MM.YYYY HH:MM", or "+Nh" from now, in local time.
bool ParseTime(Platform* p, const std::string& text, TimeDate* time) {
  TimeDate now = p->TimeNow();
  int hours = 0;
  char unit = 0;
  if (std::sscanf(text.c_str(), "+%d%c", &hours, &unit) == 2 && unit == 'h') {
    *time = now;
    return p->TimeAdjust(time, hours, 0) == kNoError;
  }
  LocalTime local;
  local.gm = now;
  if (p->TimeGmToLocal(&local) != kNoError) return false;
  int day = 0, month = 0, year = 0, hour = 0, minute = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%d.%d.%d %d:%d%c", &day, &month, &year, &hour, &minute, &tail) == 5) {
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 1900) return false;
    local.day = day;
    local.month = month;
    local.year = year;
  } else if (std::sscanf(text.c_str(), "%d:%d%c", &hour, &minute, &tail) != 2) {
    return false;
  }
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return false;
  local.hour = hour;
  local.minute = minute;
  local.second = 0;
  local.hundredth = 0;
  if (p->TimeLocalToGm(&local) != kNoError) return false;
  *time = local.gm;
  return true;
}

notesapi::Status WriteItem(Platform* p, NoteHandle note, const ItemSchema& item, const std::string& value, std::string* error) {
  switch (item.kind) {
    case ItemKind::kText:
      return p->ItemSetText(note, item.name, Lmbcs(p, value));
    case ItemKind::kNumber: {
      char* end = nullptr;
      double number = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0') {
        *error = item.name + " takes a number, not \"" + value + "\"";
        return kBadArgument;
      }
      return p->ItemSetNumber(note, item.name, number);
    }
    case ItemKind::kTime: {
      TimeDate time;
      if (!ParseTime(p, value, &time)) {
        *error = item.name + " takes a time: HH:MM, DD.MM.YYYY HH:MM or +Nh, not \"" + value + "\"";
        return kBadArgument;
      }
      return p->ItemSetTime(note, item.name, time);
    }
  }
  return kBadArgument;
}

notesapi::Status CreateIfMissing(Platform* p, const std::string& path, const char* title) {
  notesapi::Status s = p->DbCreate(path, title);
  return s == kDatabaseExists ? kNoError : s;
}

// Statistics and journal records are records of what happened, kept like
// the log files: a power loss may take the last of them, and in return a
// mail that leaves a record waits for no disk sync of its own for it.
notesapi::Status WithoutTransactionLogging(Platform* p, const std::string& path) {
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(path, db.put()); s != kNoError) return s;
  return p->DbSetOption(db.get(), kDbOptionNoTransactionLogging, true);
}

notesapi::Status Failed(std::string* error, const std::string& what, notesapi::Status status) {
  *error = what;
  return status;
}

}  // namespace

notesapi::Status CreateSettingsDatabases(Platform* p, const std::string& serverDirectory, std::string bases, std::string* error,
                                         const std::string& workFolder) {
  std::string setup, stat, quarantine, program;
  if (!Ini(p, "ZULSetupDatabase", &setup) || !Ini(p, "ZULStatDatabase", &stat) ||
      !Ini(p, "ZULQuarantineDatabase", &quarantine)) {
    return Failed(error, "notes.ini must name ZULSetupDatabase, ZULStatDatabase and ZULQuarantineDatabase",
                  kBadArgument);
  }
  if (bases.empty()) bases = (Ini(p, "NotesProgram", &program) ? program : serverDirectory) + "/bases";
  if (notesapi::Status s = p->DbCreate(setup, "Tervala Anti-Virus settings"); s != kNoError) {
    if (s == kDatabaseExists) return Failed(error, setup + " already exists; nothing changed (use zulctl settings set)", s);
    return Failed(error, "cannot create " + setup, s);
  }
  if (notesapi::Status s = CreateIfMissing(p, stat, "Tervala Anti-Virus statistics"); s != kNoError) return Failed(error, stat, s);
  if (notesapi::Status s = WithoutTransactionLogging(p, stat); s != kNoError) return Failed(error, stat, s);
  if (notesapi::Status s = CreateIfMissing(p, quarantine, "Tervala Anti-Virus quarantine"); s != kNoError) {
    return Failed(error, quarantine, s);
  }
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(setup, db.put()); s != kNoError) return Failed(error, setup, s);
  ScopedNote uids(p);
  if (notesapi::Status s = p->ProfileOpen(db.get(), "UIDStorage", true, uids.put()); s != kNoError) {
    return Failed(error, "UIDStorage", s);
  }
  std::string administrators;  // from zulctl init --admin; the built-in default otherwise
  (void)Ini(p, "ZulAdministrators", &administrators);
  std::string library;  // zulctl init --language en installs the English one
  bool english = Ini(p, "ZulMessageLibrary", &library) && library.find("-en.") != std::string::npos;
  for (const FormSchema& form : SettingsForms(workFolder.empty() ? serverDirectory + "/tmp" : workFolder, bases, administrators, english)) {
    ScopedNote note(p);
    notesapi::Status s = p->NoteCreate(db.get(), note.put());
    if (s == kNoError) s = p->ItemSetText(note.get(), "Form", form.form);
    std::string why;
    for (const ItemSchema& item : form.items) {
      if (s == kNoError) s = WriteItem(p, note.get(), item, item.initial, &why);
    }
    if (s == kNoError) s = p->NoteUpdate(note.get(), kUpdateForce);
    NoteInfo info;
    if (s == kNoError) s = p->NoteGetInfo(note.get(), &info);
    if (s == kNoError) s = p->ItemSetText(uids.get(), form.uidItem, UnidToText(info.unid));
    if (s != kNoError) return Failed(error, "cannot write " + form.form + (why.empty() ? "" : ": " + why), s);
  }
  if (notesapi::Status s = p->NoteUpdate(uids.get(), kUpdateForce); s != kNoError) return Failed(error, "UIDStorage", s);
  return kNoError;
}

notesapi::Status ChangeSettings(Platform* p, const std::string& formName,
                      const std::vector<std::pair<std::string, std::string>>& changes, std::string* error) {
  std::vector<FormSchema> forms = SettingsForms("", "");
  const FormSchema* form = FindForm(forms, formName);
  if (form == nullptr || form->items.empty()) {
    return Failed(error, "no settings form " + formName + "; the forms are " + FormList(forms), kBadArgument);
  }
  std::vector<std::pair<const ItemSchema*, std::string>> items;
  for (const auto& [name, value] : changes) {
    const ItemSchema* item = FindItem(*form, name);
    if (item == nullptr) {
      return Failed(error, form->form + " has no item \"" + name + "\" (write ITEM=VALUE)", kBadArgument);
    }
    // Every value is checked before anything is written.
    if (std::string why = ValueProblem(*item, value); !why.empty()) return Failed(error, why + "; nothing changed", kBadArgument);
    items.emplace_back(item, value);
  }
  std::string setup;
  if (!Ini(p, "ZULSetupDatabase", &setup)) return Failed(error, "notes.ini does not name ZULSetupDatabase", kBadArgument);
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(setup, db.put()); s != kNoError) return Failed(error, setup, s);
  ScopedNote uids(p);
  if (notesapi::Status s = p->ProfileOpen(db.get(), "UIDStorage", false, uids.put()); s != kNoError) {
    return Failed(error, "UIDStorage (run zulctl settings init)", s);
  }
  std::string text;
  Unid unid;
  if (p->ItemGetText(uids.get(), form->uidItem, 255, &text) != kNoError || !UnidFromText(text, &unid)) {
    return Failed(error, "UIDStorage holds no valid " + form->uidItem, kBadArgument);
  }
  ScopedNote note(p);
  if (notesapi::Status s = p->NoteOpenByUnid(db.get(), unid, 0, note.put()); s != kNoError) return Failed(error, form->form, s);
  for (const auto& [item, value] : items) {
    std::string why;
    if (notesapi::Status s = WriteItem(p, note.get(), *item, value, &why); s != kNoError) {
      return Failed(error, why.empty() ? item->name : why + "; nothing changed", s);
    }
  }
  if (notesapi::Status s = p->NoteUpdate(note.get(), kUpdateForce); s != kNoError) {
    return Failed(error, "cannot save " + form->form, s);
  }
  // Tell the tasks, as the settings database does when a document is saved.
  std::vector<std::pair<const char*, const char*>> notices = {{"MQ$DATABASE2MAIL", "CONFIG|UPDATED"},
                                                              {"MQ$DATABASE2UPD", "CONFIG|UPDATED"}};
  if (form->form == "formOutbreak") notices.emplace_back("MQ$DATABASE2MAIL", "OUTBREAK|UPDATED");
  for (const auto& [queueName, notice] : notices) {
    ScopedQueue queue(p);
    notesapi::Status s = p->QueueOpen(queueName, kQueueCreate, queue.put());
    if (s == kNoError) s = p->QueuePut(queue.get(), 1, notice);
    if (s != kNoError) return Failed(error, std::string("saved, but cannot post ") + notice + " to " + queueName, s);
  }
  return kNoError;
}

}  // namespace zulctl
