#include "tools/zulctl/settings_commands.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "mailmonitor/server_variables.h"
#include "notesapi/scoped_handles.h"
#include "settings/settings_reader.h"
#include "settings/settings_records.h"
#include "tools/zulctl/settings_schema.h"
#include "tools/zulctl/value_format.h"

namespace zulctl {

using namespace notesapi;
using namespace zul;

namespace {

int Fail(Platform* p, const std::string& what, Status status) {
  std::cerr << "zulctl: " << what << ": " << p->StatusText(status) << "\n";
  return 1;
}

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

Status WriteItem(Platform* p, NoteHandle note, const ItemSchema& item, const std::string& value, std::string* error) {
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

const FormSchema* FindForm(const std::vector<FormSchema>& forms, const std::string& name) {
  for (const FormSchema& form : forms) {
    if (form.form == name) return &form;
  }
  return nullptr;
}

std::string FormList(const std::vector<FormSchema>& forms) {
  std::string list;
  for (const FormSchema& form : forms) list += (list.empty() ? "" : ", ") + form.form;
  return list;
}

Status CreateIfMissing(Platform* p, const std::string& path, const char* title) {
  Status s = p->DbCreate(path, title);
  return s == kDatabaseExists ? kNoError : s;
}

int Init(Platform* p, const std::string& serverDirectory, const std::vector<std::string>& args) {
  std::string bases;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--bases" && i + 1 < args.size()) {
      bases = args[++i];
    } else {
      return 2;
    }
  }
  std::string setup, stat, quarantine, program;
  if (!Ini(p, "ZULSetupDatabase", &setup) || !Ini(p, "ZULStatDatabase", &stat) ||
      !Ini(p, "ZULQuarantineDatabase", &quarantine)) {
    std::cerr << "zulctl: notes.ini must name ZULSetupDatabase, ZULStatDatabase and ZULQuarantineDatabase\n";
    return 1;
  }
  if (bases.empty()) bases = (Ini(p, "NotesProgram", &program) ? program : serverDirectory) + "/bases";
  if (Status s = p->DbCreate(setup, "Tervala Anti-Virus settings"); s != kNoError) {
    if (s == kDatabaseExists) {
      std::cerr << "zulctl: " << setup << " already exists; nothing changed (use zulctl settings set)\n";
      return 1;
    }
    return Fail(p, "cannot create " + setup, s);
  }
  if (Status s = CreateIfMissing(p, stat, "Tervala Anti-Virus statistics"); s != kNoError) return Fail(p, stat, s);
  if (Status s = CreateIfMissing(p, quarantine, "Tervala Anti-Virus quarantine"); s != kNoError) {
    return Fail(p, quarantine, s);
  }
  ScopedDb db(p);
  if (Status s = p->DbOpen(setup, db.put()); s != kNoError) return Fail(p, setup, s);
  ScopedNote uids(p);
  if (Status s = p->ProfileOpen(db.get(), "UIDStorage", true, uids.put()); s != kNoError) return Fail(p, "UIDStorage", s);
  for (const FormSchema& form : SettingsForms(serverDirectory + "/tmp", bases)) {
    ScopedNote note(p);
    Status s = p->NoteCreate(db.get(), note.put());
    if (s == kNoError) s = p->ItemSetText(note.get(), "Form", form.form);
    std::string error;
    for (const ItemSchema& item : form.items) {
      if (s == kNoError) s = WriteItem(p, note.get(), item, item.initial, &error);
    }
    if (s == kNoError) s = p->NoteUpdate(note.get(), kUpdateForce);
    NoteInfo info;
    if (s == kNoError) s = p->NoteGetInfo(note.get(), &info);
    if (s == kNoError) s = p->ItemSetText(uids.get(), form.uidItem, UnidToText(info.unid));
    if (s != kNoError) return Fail(p, "cannot write " + form.form + (error.empty() ? "" : ": " + error), s);
  }
  if (Status s = p->NoteUpdate(uids.get(), kUpdateForce); s != kNoError) return Fail(p, "UIDStorage", s);
  std::cout << "settings database " << setup << " created with every form; statistics " << stat << " and quarantine "
            << quarantine << " ready\n";
  return 0;
}

// ---- show ----

const char* OnOff(int32_t flag) { return flag ? "ON" : "OFF"; }

std::string Utf8(Platform* p, const std::u16string& text) {
  std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  std::string lmbcs;
  if (p->Translate(kTranslateUnicodeToLmbcs, bytes, &lmbcs) != kNoError) return "?";
  return ToUtf8(p, lmbcs);
}

void ShowMeaning(Platform* p, const std::string& form) {
  if (form == "formGeneralSettings") {
    std::printf("  -> memos to administrators: %s\n", ToUtf8(p, General().administrators).c_str());
    std::printf("  -> work folder of the tasks: %s\\zulmailmonitor\\ and \\zulupdater\\\n",
                Utf8(p, General().temporaryFolder).c_str());
  } else if (form == "formObjectActions") {
    constexpr const char* kResults[] = {"clean",     "cured",        "infected",   "suspicious",     "protected",
                                        "not processed", "failed",   "too large",  "filtered (type)", "filtered (name)",
                                        "incomplete"};
    constexpr const char* kActionNames[] = {"pass", "delete", "replace with the cured copy"};
    for (size_t i = 0; i < kObjectActionCount; ++i) {
      const ObjectActionEntry& e = ObjectActions()[i];
      std::string notify;
      if (e.notifyFlags & NotifyRecipients) notify += " recipients";
      if (e.notifyFlags & NotifySender) notify += " sender";
      if (e.notifyFlags & NotifyAdmin) notify += " administrators";
      if (e.notifyFlags & AddToBody) notify += " report-in-body";
      if (e.notifyFlags & RecordStatistics) notify += " statistics";
      std::printf("  -> result %2zu %-16s %s, quarantine %s, tell:%s\n", i, kResults[i],
                  kActionNames[e.action >= 0 && e.action <= 2 ? e.action : 0], e.quarantine ? "yes" : "no",
                  notify.empty() ? " nobody" : notify.c_str());
    }
  } else if (form == "formMonitorSettings") {
    const MonitorSettings& m = Monitor();
    std::printf("  -> scanning %s (msDisableTask \"1\" means ON)\n", OnOff(!m.scanningOff));
    std::printf("  -> monitored: %s%s%s\n", m.monitoredObjects & 1 ? "attachments " : "",
                m.monitoredObjects & 2 ? "body " : "", m.monitoredObjects & 4 ? "OLE objects" : "");
    std::printf("  -> size limit %s: %d KiB\n", OnOff(m.sizeLimitEnabled), m.sizeLimit);
    std::printf("  -> whole message body to quarantine: %s\n", OnOff(m.quarantineBody));
    std::printf("  -> excluded file types (bits): 0x%02X; excluded names: %s\n", m.typeFilter, m.nameFilter.c_str());
  } else if (form == "formOutbreak") {
    for (size_t i = 0; i < kOutbreakRuleCount; ++i) {
      const OutbreakRule& r = OutbreakRules()[i];
      std::string lmbcs;
      (void)p->Translate(kTranslateNativeToLmbcs, r.warningText, &lmbcs);  // shown as "?" if it fails
      std::printf("  -> rule %zu %s: more than %d in %d s: \"%s\"\n", i, OnOff(r.enabled), r.threshold, r.periodSeconds,
                  ToUtf8(p, lmbcs).c_str());
    }
  } else if (form == "formUpdaterSettings") {
    const UpdaterSettings& u = Updater();
    std::string next;
    (void)p->TimeToText(u.nextUpdate, &next);
    std::printf("  -> schedule %s (usScheduleDisabled \"1\" means ON), %s\n", OnOff(!u.scheduleOff),
                u.dailyMode ? "daily" : "hourly");
    std::printf("  -> every %d hour(s) / every %d day(s); next update %s\n", u.everyHours, u.everyDays, next.c_str());
    std::printf("  -> bases folder: %s\n", Utf8(p, u.databaseFolder).c_str());
  } else if (form == "formKernelSettings") {
    const KernelSettingsRecord& k = KernelSettings();
    std::printf("  -> scan flags 0x%02X (archives, mail, office, PDF, HTML, heuristics: 0x02..0x40)\n", k.scanFlags);
    std::printf("  -> engine time-out %d ms; try to cure %s; encrypted attachments count as clean %s\n",
                k.engineTimeout, OnOff(KernelOptions().tryCure), OnOff(KernelOptions().encryptedObjects));
  }
}

int Show(Platform* p, const std::vector<std::string>& args) {
  if (args.size() > 2) return 2;
  std::string setup;
  if (!Ini(p, "ZULSetupDatabase", &setup)) {
    std::cerr << "zulctl: notes.ini does not name ZULSetupDatabase\n";
    return 1;
  }
  ScopedDb db(p);
  if (Status s = p->DbOpen(setup, db.put()); s != kNoError) return Fail(p, setup, s);
  if (Status s = ReadUidStorage(db.get()); s != kNoError) return Fail(p, "UIDStorage (run zulctl settings init)", s);
  std::vector<FormSchema> forms = SettingsForms("", "");
  if (args.size() == 2 && FindForm(forms, args[1]) == nullptr) {
    std::cerr << "zulctl: no form " << args[1] << "; the forms are " << FormList(forms) << "\n";
    return 1;
  }
  const std::pair<std::string, Status (*)(DbHandle)> readers[] = {
      {"formGeneralSettings", ReadGeneralSettings}, {"formObjectActions", ReadObjectActions},
      {"formMonitorSettings", ReadMonitorSettings}, {"formOutbreak", ReadOutbreakSettings},
      {"formKernelSettings", ReadKernelSettings},   {"formUpdaterSettings", ReadUpdaterSettings}};
  // The kernel form before the updater's, as the tasks read them.
  for (const FormSchema& form : forms) {
    if (args.size() == 2 && form.form != args[1]) continue;
    ScopedNote note(p);
    const Unid* unid = nullptr;
    const SettingsDocumentIds& ids = SettingsIds();
    const std::pair<const char*, const Unid*> byForm[] = {
        {"formGeneralSettings", &ids.commonSettings}, {"formObjectActions", &ids.objectActions},
        {"formMonitorSettings", &ids.monitorSettings}, {"formOutbreak", &ids.outbreak},
        {"formUpdaterSettings", &ids.updaterSettings}, {"formKernelSettings", &ids.kernelSettings},
        {"formInformation", &ids.information},         {"formUpdaterStatus", &ids.updaterStatus}};
    for (const auto& [name, id] : byForm) {
      if (form.form == name) unid = id;
    }
    std::printf("== %s (%s)\n", form.form.c_str(), UnidToText(*unid).c_str());
    if (Status s = p->NoteOpenByUnid(db.get(), *unid, 0, note.put()); s != kNoError) {
      std::printf("  (cannot open: %s)\n\n", p->StatusText(s).c_str());
      continue;
    }
    ItemInfo item;
    for (Status s = p->ItemInfoFirst(note.get(), &item); s == kNoError;
         s = p->ItemInfoNext(note.get(), item.item, {}, &item)) {
      std::string value;
      (void)p->ItemValue(item.value, &value);  // the block was just reported
      std::printf("  %-20s = %s\n", ToUtf8(p, item.name).c_str(), FormatValue(p, value).c_str());
    }
    for (const auto& [name, read] : readers) {
      if (form.form != name) continue;
      if (name == "formUpdaterSettings") (void)ReadKernelSettings(db.get());  // the bases type comes from there
      if (read(db.get()) == kNoError) ShowMeaning(p, form.form);
    }
    std::printf("\n");
  }
  return 0;
}

// ---- set ----

int Set(Platform* p, const std::vector<std::string>& args) {
  if (args.size() < 3) return 2;
  std::vector<FormSchema> forms = SettingsForms("", "");
  const FormSchema* form = FindForm(forms, args[1]);
  if (form == nullptr || form->items.empty()) {
    std::cerr << "zulctl: no settings form " << args[1] << "; the forms are " << FormList(forms) << "\n";
    return 1;
  }
  std::vector<std::pair<const ItemSchema*, std::string>> changes;
  for (size_t i = 2; i < args.size(); ++i) {
    size_t eq = args[i].find('=');
    const ItemSchema* item = eq == std::string::npos ? nullptr : FindItem(*form, args[i].substr(0, eq));
    if (item == nullptr) {
      std::cerr << "zulctl: " << form->form << " has no item \"" << args[i].substr(0, eq) << "\" (write ITEM=VALUE)\n";
      return 1;
    }
    changes.emplace_back(item, args[i].substr(eq + 1));
  }
  std::string setup;
  if (!Ini(p, "ZULSetupDatabase", &setup)) {
    std::cerr << "zulctl: notes.ini does not name ZULSetupDatabase\n";
    return 1;
  }
  ScopedDb db(p);
  if (Status s = p->DbOpen(setup, db.put()); s != kNoError) return Fail(p, setup, s);
  ScopedNote uids(p);
  if (Status s = p->ProfileOpen(db.get(), "UIDStorage", false, uids.put()); s != kNoError) {
    return Fail(p, "UIDStorage (run zulctl settings init)", s);
  }
  std::string text;
  Unid unid;
  if (p->ItemGetText(uids.get(), form->uidItem, 255, &text) != kNoError || !UnidFromText(text, &unid)) {
    std::cerr << "zulctl: UIDStorage holds no valid " << form->uidItem << "\n";
    return 1;
  }
  ScopedNote note(p);
  if (Status s = p->NoteOpenByUnid(db.get(), unid, 0, note.put()); s != kNoError) return Fail(p, form->form, s);
  for (const auto& [item, value] : changes) {
    std::string error;
    if (Status s = WriteItem(p, note.get(), *item, value, &error); s != kNoError) {
      if (!error.empty()) std::cerr << "zulctl: " << error << "; nothing changed\n";
      return error.empty() ? Fail(p, item->name, s) : 1;
    }
  }
  if (Status s = p->NoteUpdate(note.get(), kUpdateForce); s != kNoError) return Fail(p, "cannot save " + form->form, s);
  // Tell the tasks, as the settings database does when a document is saved.
  std::vector<std::pair<const char*, const char*>> notices = {{"MQ$DATABASE2MAIL", "CONFIG|UPDATED"},
                                                              {"MQ$DATABASE2UPD", "CONFIG|UPDATED"}};
  if (form->form == "formOutbreak") notices.emplace_back("MQ$DATABASE2MAIL", "OUTBREAK|UPDATED");
  for (const auto& [queueName, notice] : notices) {
    ScopedQueue queue(p);
    Status s = p->QueueOpen(queueName, kQueueCreate, queue.put());
    if (s == kNoError) s = p->QueuePut(queue.get(), 1, notice);
    if (s != kNoError) return Fail(p, std::string("saved, but cannot post ") + notice + " to " + queueName, s);
  }
  std::cout << "saved " << form->form << "; posted CONFIG|UPDATED"
            << (form->form == "formOutbreak" ? " and OUTBREAK|UPDATED" : "") << "\n";
  return 0;
}

}  // namespace

int SettingsCommand(Platform* platform, const std::string& serverDirectory, const std::vector<std::string>& args) {
  if (args.empty()) return 2;
  if (args[0] == "init") return Init(platform, serverDirectory, args);
  if (args[0] == "show") return Show(platform, args);
  if (args[0] == "set") return Set(platform, args);
  return 2;
}

}  // namespace zulctl
