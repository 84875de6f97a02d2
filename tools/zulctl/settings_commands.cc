#include "tools/zulctl/cli_support.h"
#include "tools/zulctl/settings_commands.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "base/server_variables.h"
#include "notesapi/scoped_handles.h"
#include "settings/settings_reader.h"
#include "settings/settings_records.h"
#include "records/mail_items.h"
#include "settings/settings_schema.h"
#include "tools/zulctl/settings_setup.h"
#include "tools/zulctl/value_format.h"

namespace zulctl {

using namespace notesapi;
using namespace zul;

namespace {

bool Ini(Platform* p, const char* name, std::string* value) { return p->IniGetText(name, 1024, value) && !value->empty(); }

// A failure reported by the settings setup: its own words, and the status
// text when the status came from the server.
Status Report(Platform* p, const std::string& error, notesapi::Status status) {
  if (status == kBadArgument || status == kDatabaseExists) {
    return Status::Failed(error);
  }
  return Fail(p, error, status);
}

Status Init(Platform* p, const std::string& serverDirectory, const std::string& bases, const std::string& workFolder) {
  std::string error;
  if (notesapi::Status s = CreateSettingsDatabases(p, serverDirectory, bases, &error, workFolder); s != kNoError) {
    return Report(p, error, s);
  }
  std::string setup, stat, quarantine;
  (void)Ini(p, "ZULSetupDatabase", &setup);  // all three were checked by the setup
  (void)Ini(p, "ZULStatDatabase", &stat);
  (void)Ini(p, "ZULQuarantineDatabase", &quarantine);
  std::cout << "settings database " << setup << " created with every form; statistics " << stat << " and quarantine "
            << quarantine << " ready\n";
  std::string administrators;
  if (!Ini(p, "ZulAdministrators", &administrators) || administrators.empty()) administrators = kDefaultAdministrator;
  for (const std::string& admin : AddressPieces(administrators)) {
    if (admin.find('@') != std::string::npos) continue;
    std::cout << "note: the administrator " << admin << " is a Notes name: a server that relays through an MTA\n"
              << "(gateway mode) cannot deliver its memos. Give mail addresses: zulctl init --admin ADDRESS,\n"
              << "or zulctl settings set formGeneralSettings gsAdministrators=a@example.com;b@example.com\n";
  }
  std::string folder = bases;
  if (folder.empty()) {
    std::string program;
    folder = (Ini(p, "NotesProgram", &program) ? program : serverDirectory) + "/bases";
  }
  std::error_code missing;
  if (!std::filesystem::is_directory(folder, missing)) {
    std::cout << "note: the bases folder " << folder << " does not exist yet, and the mail monitor does not start\n"
              << "without bases. Put bases there: run the updater (zulctl update now, with basefetch set up),\n"
              << "copy the demo bases (build/demo-bases), or ClamAV's own (/var/lib/clamav, from freshclam);\n"
              << "or name another folder with zulctl settings set formUpdaterSettings usDatabaseFolder=DIR\n";
  }
  return Status::OK();
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

Status Show(Platform* p, const std::string& only) {
  std::string setup;
  if (!Ini(p, "ZULSetupDatabase", &setup)) {
    return Status::NotFound("notes.ini does not name ZULSetupDatabase");
  }
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(setup, db.put()); s != kNoError) return Fail(p, setup, s);
  if (Status read = ReadUidStorage(db.get()); !read.ok()) {
    return Fail(p, "UIDStorage (run zulctl settings init)", read.platformStatus());
  }
  std::vector<FormSchema> forms = SettingsForms("", "");
  if (!only.empty() && FindForm(forms, only) == nullptr) {
    return Status::InvalidArgument("no form " + only + "; the forms are " + FormList(forms));
  }
  const std::pair<std::string, Status (*)(DbHandle)> readers[] = {
      {"formGeneralSettings", ReadGeneralSettings}, {"formObjectActions", ReadObjectActions},
      {"formMonitorSettings", ReadMonitorSettings}, {"formOutbreak", ReadOutbreakSettings},
      {"formKernelSettings", ReadKernelSettings},   {"formUpdaterSettings", ReadUpdaterSettings}};
  // The kernel form before the updater's, as the tasks read them.
  for (const FormSchema& form : forms) {
    if (!only.empty() && form.form != only) continue;
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
    if (notesapi::Status s = p->NoteOpenByUnid(db.get(), *unid, 0, note.put()); s != kNoError) {
      std::printf("  (cannot open: %s)\n\n", p->StatusText(s).c_str());
      continue;
    }
    ItemInfo item;
    for (notesapi::Status s = p->ItemInfoFirst(note.get(), &item); s == kNoError;
         s = p->ItemInfoNext(note.get(), item.item, {}, &item)) {
      std::string value;
      (void)p->ItemValue(item.value, &value);  // the block was just reported
      std::printf("  %-20s = %s\n", ToUtf8(p, item.name).c_str(), FormatValue(p, value).c_str());
    }
    for (const auto& [name, read] : readers) {
      if (form.form != name) continue;
      if (name == "formUpdaterSettings") (void)ReadKernelSettings(db.get());  // the bases type comes from there
      if (read(db.get()).ok()) ShowMeaning(p, form.form);
    }
    std::printf("\n");
  }
  return Status::OK();
}

// ---- set ----

Status Set(Platform* p, const std::string& form, const std::vector<std::string>& items) {
  std::vector<std::pair<std::string, std::string>> changes;
  for (const std::string& item : items) {
    size_t eq = item.find('=');
    if (eq == std::string::npos) {
      return Status::InvalidArgument("\"" + item + "\" is not ITEM=VALUE");
    }
    changes.emplace_back(item.substr(0, eq), item.substr(eq + 1));
  }
  std::string error;
  if (notesapi::Status s = ChangeSettings(p, form, changes, &error); s != kNoError) return Report(p, error, s);
  std::cout << "saved " << form << "; posted CONFIG|UPDATED" << (form == "formOutbreak" ? " and OUTBREAK|UPDATED" : "")
            << "\n";
  return Status::OK();
}

}  // namespace

Status SettingsCommand(Platform* platform, const std::string& serverDirectory, const std::string& action,
                    const SettingsArguments& settings) {
  if (action == "init") return Init(platform, serverDirectory, settings.bases, settings.workFolder);
  if (action == "show") return Show(platform, settings.form);
  return Set(platform, settings.form, settings.changes);
}

}  // namespace zulctl
