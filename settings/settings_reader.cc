#include "settings/settings_reader.h"
#include "settings/settings_schema.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "notesapi/process_platform.h"
#include "notesapi/scoped_handles.h"
#include "base/message_text.h"
#include "base/task_log.h"
#include "base/text_conversions.h"
#include "settings/settings_records.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr size_t kKeywordBuffer = 256;
constexpr size_t kStampBuffer = 1024;
constexpr size_t kMaxFolderCharacters = 1024;

std::string TextItem(Platform* p, NoteHandle note, const std::string& name, size_t bufferBytes) {
  std::string text;
  if (p->ItemGetText(note, name, bufferBytes - 1, &text) != kNoError) text.clear();
  return text;
}

// A keyword list: every entry of a text list, one after another, cut to the
// buffer; only which digits occur in it counts.
std::string KeywordItem(Platform* p, NoteHandle note, const std::string& name) {
  uint16_t entries = p->ItemTextListCount(note, name);
  if (entries <= 1) return TextItem(p, note, name, kKeywordBuffer);
  std::string joined;
  for (uint16_t i = 0; i < entries && joined.size() < kKeywordBuffer - 1; ++i) {
    std::string entry;
    if (p->ItemTextListEntry(note, name, i, &entry) == kNoError) joined += (i > 0 ? ";" : "") + entry;
  }
  joined.resize(std::min(joined.size(), kKeywordBuffer - 1));
  return joined;
}

bool BeginsWithOne(const std::string& text) { return !text.empty() && text[0] == '1'; }

bool HasDigit(const std::string& text, char digit) { return text.find(digit) != std::string::npos; }

// A number item as a 32-bit integer; a missing item or a value that is not
// a number gives the item's default, one out of range the nearest 32-bit value.
int32_t NumberItem(Platform* p, NoteHandle note, const std::string& name) {
  const ItemSchema* item = SettingsItem(name);
  int32_t defaultValue = item != nullptr ? item->absent : 0;
  double value = p->ItemGetNumber(note, name, defaultValue);
  if (std::isnan(value)) return defaultValue;
  if (value >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  if (value <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// Line breaks of Notes text are stored as zero bytes.
std::string NulsToLineFeeds(std::string text) {
  for (char& c : text) {
    if (c == '\0') c = '\n';
  }
  return text;
}

std::string Indexed(const char* stem, size_t index) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%d", stem, static_cast<int>(index));
  return name;
}

std::u16string TruncatedUnicode(std::string_view notes, size_t maxCharacters) {
  std::u16string unicode(NotesToUnicode(notes));
  if (unicode.size() > maxCharacters) unicode.resize(maxCharacters);
  return unicode;
}

notesapi::Status OpenByUnid(Platform* p, DbHandle db, const Unid& unid, ScopedNote* note) {
  return p->NoteOpenByUnid(db, unid, 0, note->put());
}

int32_t g_basesType = 0;  // "usBasesType", handed to the kernel record after the updater settings

struct DocumentStep {
  const char* formName;
  Status (*read)(DbHandle);
  Msg updaterFailure;  // the updater's 1096 text for this document
  uint16_t openFailureType;
};

}  // namespace

Status ReadUidStorage(DbHandle db) {
  Platform* p = ProcessPlatform();
  ScopedNote note(p);
  if (notesapi::Status s = p->ProfileOpen(db, "UIDStorage", false, note.put()); s != kNoError) {
    return Status::FromPlatform(s, "the profile UIDStorage cannot be opened");
  }
  SettingsDocumentIds& ids = SettingsIds();
  const std::pair<const char*, Unid*> items[] = {
      {"uidCommonSettings", &ids.commonSettings},       {"uidObjectActions", &ids.objectActions},
      {"uidMonitorSettings", &ids.monitorSettings},     {"uidOutbreak", &ids.outbreak},
      {"uidUpdaterSettings", &ids.updaterSettings},     {"uidKernelSettings", &ids.kernelSettings},
      {"uidInformation", &ids.information},             {"uidUpdaterStatus", &ids.updaterStatus},
      {"uidReplMonitorSettings", &ids.replMonitorSettings}, {"uidScannerSettings", &ids.scannerSettings},
      {"uidScannerStatus", &ids.scannerStatus}};
  for (const auto& [name, unid] : items) (void)UnidFromText(TextItem(p, note.get(), name, 256), unid);  // a bad text keeps the ID
  return Status::OK();
}

Status ReadGeneralSettings(DbHandle db) {
  Platform* p = ProcessPlatform();
  ScopedNote note(p);
  if (notesapi::Status s = OpenByUnid(p, db, SettingsIds().commonSettings, &note); s != kNoError) {
    return Status::FromPlatform(s, "formGeneralSettings cannot be opened");
  }
  General().administrators = TextItem(p, note.get(), "gsAdministrators", 256);
  General().temporaryFolder = TruncatedUnicode(TextItem(p, note.get(), "gsTemporaryFolder", 256), 255);
  return Status::OK();
}

Status ReadObjectActions(DbHandle db) {
  Platform* p = ProcessPlatform();
  ScopedNote note(p);
  if (notesapi::Status s = OpenByUnid(p, db, SettingsIds().objectActions, &note); s != kNoError) {
    return Status::FromPlatform(s, "formObjectActions cannot be opened");
  }
  constexpr uint32_t kRecordTypes[kObjectActionCount] = {148, 114, 115, 120, 128, 38, 150, 150, 150, 150, 150};
  ObjectActionTable& table = ObjectActions();
  for (size_t i = 0; i < kObjectActionCount; ++i) {
    ObjectActionEntry& entry = table[i];
    entry.recordType = kRecordTypes[i];
    std::string notify = KeywordItem(p, note.get(), Indexed("acNotify", i));
    entry.notifyFlags = 0;
    if (HasDigit(notify, '0')) entry.notifyFlags |= NotifyRecipients;
    if (HasDigit(notify, '1')) entry.notifyFlags |= NotifySender;
    if (HasDigit(notify, '2')) entry.notifyFlags |= NotifyAdmin;
    if (HasDigit(notify, '4')) entry.notifyFlags |= AddToBody;
    if (HasDigit(KeywordItem(p, note.get(), Indexed("acStat", i)), '1')) {
      entry.notifyFlags |= RecordStatistics;
    }
    std::string quarantine = TextItem(p, note.get(), Indexed("acQuarantine", i), kKeywordBuffer);
    entry.quarantine = !quarantine.empty() && quarantine[0] == kKeepCopyKeyword[0] ? 1 : 0;
    std::string action = TextItem(p, note.get(), Indexed("acAction", i), kKeywordBuffer);
    entry.action = !action.empty() && action[0] == kPassKeyword[0] ? ActionPass : ActionDelete;
    entry.stampText = NulsToLineFeeds(TextItem(p, note.get(), Indexed("acStamp", i), kStampBuffer));
  }
  // A clean object is never touched; a cured one is always replaced.
  table[0].action = ActionPass;
  table[0].quarantine = 0;
  table[1].action = ActionReplaceCured;
  return Status::OK();
}

Status ReadMonitorSettings(DbHandle db) {
  Platform* p = ProcessPlatform();
  ScopedNote note(p);
  if (notesapi::Status s = OpenByUnid(p, db, SettingsIds().monitorSettings, &note); s != kNoError) {
    return Status::FromPlatform(s, "formMonitorSettings cannot be opened");
  }
  MonitorSettings& m = Monitor();
  std::string objects = KeywordItem(p, note.get(), "msMonitoredObjects");
  m.monitoredObjects = static_cast<uint8_t>((HasDigit(objects, '0') ? 0x01 : 0) | (HasDigit(objects, '1') ? 0x02 : 0) |
                                            (HasDigit(objects, '2') ? 0x04 : 0));
  m.sizeLimitEnabled = BeginsWithOne(TextItem(p, note.get(), "msSizeEnabled", kKeywordBuffer)) ? 1 : 0;
  m.quarantineBody = BeginsWithOne(TextItem(p, note.get(), "msQuarantineBody", kKeywordBuffer)) ? 1 : 0;
  // "1" turns scanning on: the field says whether it is off.
  m.scanningOff = BeginsWithOne(TextItem(p, note.get(), "msDisableTask", kKeywordBuffer)) ? 0 : 1;
  m.sizeLimit = NumberItem(p, note.get(), "msSizeValue");
  std::string types = KeywordItem(p, note.get(), "msTypeEnabled");
  m.typeFilter = 0;
  for (char digit = '0'; digit <= '4'; ++digit) {
    if (HasDigit(types, digit)) m.typeFilter |= static_cast<uint16_t>(1u << (digit - '0'));
  }
  m.nameFilter = TextItem(p, note.get(), "msNameFilter", kKeywordBuffer);
  for (char& c : m.nameFilter) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return Status::OK();
}

Status ReadOutbreakSettings(DbHandle db) {
  Platform* p = ProcessPlatform();
  ScopedNote note(p);
  if (notesapi::Status s = OpenByUnid(p, db, SettingsIds().outbreak, &note); s != kNoError) {
    return Status::FromPlatform(s, "formOutbreak cannot be opened");
  }
  constexpr int32_t kUnits[] = {1, 60, 3600, 86400, 604800};
  for (size_t i = 0; i < kOutbreakRuleCount; ++i) {
    OutbreakRule& rule = OutbreakRules()[i];
    rule.enabled = BeginsWithOne(TextItem(p, note.get(), Indexed("obEnabled", i), 1024)) ? 1 : 0;
    rule.threshold = NumberItem(p, note.get(), Indexed("obValue", i));
    int32_t period = NumberItem(p, note.get(), Indexed("obPeriod", i));
    std::string unit = TextItem(p, note.get(), Indexed("obPeriodSelector", i), kKeywordBuffer);
    // An unknown unit keeps the period read before.
    if (!unit.empty() && unit[0] >= '1' && unit[0] <= '5') {
      int64_t seconds = static_cast<int64_t>(period) * kUnits[unit[0] - '1'];
      rule.periodSeconds = static_cast<int32_t>(std::clamp<int64_t>(seconds, INT32_MIN, INT32_MAX));
    }
    std::string warning = NulsToLineFeeds(TextItem(p, note.get(), Indexed("obWarningText", i), 1024));
    std::string native(NotesToNative(warning));
    if (native.size() > 1023) native.resize(1023);
    rule.warningText = std::move(native);
  }
  return Status::OK();
}

Status ReadKernelSettings(DbHandle db) {
  Platform* p = ProcessPlatform();
  ScopedNote note(p);
  if (notesapi::Status s = OpenByUnid(p, db, SettingsIds().kernelSettings, &note); s != kNoError) {
    return Status::FromPlatform(s, "formKernelSettings cannot be opened");
  }
  KernelSettingsRecord& k = KernelSettings();
  std::string flags = KeywordItem(p, note.get(), "ksFlags");
  k.scanFlags = 0;
  for (char digit = '1'; digit <= '6'; ++digit) {
    if (HasDigit(flags, digit)) k.scanFlags |= 1u << (digit - '0');
  }
  std::string basesType = TextItem(p, note.get(), "usBasesType", kKeywordBuffer);
  int value = 0;
  g_basesType = std::sscanf(basesType.c_str(), "%d", &value) == 1 ? value : 0;
  k.engineCount = NumberItem(p, note.get(), "ksEngineCount");
  k.engineTimeout = NumberItem(p, note.get(), "ksEngineTimeOut");
  KernelOptions().tryCure = BeginsWithOne(TextItem(p, note.get(), "gsTryCure", kKeywordBuffer)) ? 1 : 0;
  KernelOptions().encryptedObjects = BeginsWithOne(TextItem(p, note.get(), "ksEncrypted", kKeywordBuffer)) ? 1 : 0;
  return Status::OK();
}

Status ReadUpdaterSettings(DbHandle db) {
  Platform* p = ProcessPlatform();
  ScopedNote note(p);
  if (notesapi::Status s = OpenByUnid(p, db, SettingsIds().updaterSettings, &note); s != kNoError) {
    return Status::FromPlatform(s, "formUpdaterSettings cannot be opened");
  }
  UpdaterSettings& u = Updater();
  u.databaseFolder = TruncatedUnicode(TextItem(p, note.get(), "usDatabaseFolder", 1024), kMaxFolderCharacters);
  u.dailyMode = BeginsWithOne(TextItem(p, note.get(), "usPeriodSelector", 1025)) ? 1 : 0;
  u.everyDays = NumberItem(p, note.get(), "usEveryDay");
  if (!p->ItemGetTime(note.get(), "usUpTime1", &u.upTime1)) u.upTime1 = TimeDate();
  u.time2Enabled = BeginsWithOne(TextItem(p, note.get(), "usTime2Enabled", kKeywordBuffer)) ? 1 : 0;
  if (u.time2Enabled) {
    if (!p->ItemGetTime(note.get(), "usUpTime2", &u.upTime2)) u.upTime2 = TimeDate();
  } else {
    u.upTime2 = p->TimeConstant(TimeConstantKind::kWildcard);
  }
  u.everyHours = NumberItem(p, note.get(), "usEveryHour");
  if (!p->ItemGetTime(note.get(), "usNextUpdate", &u.nextUpdate)) u.nextUpdate = TimeDate();
  // "1" turns the schedule on: the field says whether it is off.
  u.scheduleOff = BeginsWithOne(TextItem(p, note.get(), "usScheduleDisabled", kKeywordBuffer)) ? 0 : 1;
  KernelSettings().basesType = g_basesType;
  KernelSettings().basesFolder = u.databaseFolder.substr(0, kMaxFolderCharacters);
  return Status::OK();
}

namespace {

std::u16string FolderPath(std::u16string path) {
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  return path;
}

void CreateFolderWithParent(Platform* p, const std::u16string& folder) {
  std::u16string path = FolderPath(folder);
  if (path.empty() || p->FolderCreate(path) == kNoError) return;
  size_t slash = path.rfind(u'\\');
  if (slash == std::u16string::npos || slash == 0) return;
  if (p->FolderCreate(path.substr(0, slash)) == kNoError) (void)p->FolderCreate(path);  // not reported
}

}  // namespace

Status MakeTaskWorkFolder(TaskKind task) {
  General().taskWorkFolder =
      General().temporaryFolder + u"\\" + (task == TaskKind::kMailMonitor ? u"zulmailmonitor\\" : u"zulupdater\\");
  notesapi::Status s = ProcessPlatform()->FolderCreatePrivate(FolderPath(General().taskWorkFolder));
  if (IsError(s, kFolderNotPrivate)) {
    // Scan copies of mail are written there: a folder others can plant
    // links in, or read, is no place for them.
    std::string folder(UnicodeToNotes(General().taskWorkFolder));
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::WorkFolderNotPrivate), s,
               std::string(NotesToNative(folder)).c_str());
    return Status::FromPlatform(s, "the task work folder is not private");
  }
  return Status::OK();  // a folder that could not be made shows where it is used
}

Status ReadAllSettings(TaskKind task) {
  Platform* p = ProcessPlatform();
  const std::string& path = Variables().setupDatabase;
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(path, db.put()); s != kNoError) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::SetupDatabaseOpenFailed), s, path.c_str());
    return Status::FromPlatform(s, "the settings database " + path + " cannot be opened");
  }
  bool updater = task == TaskKind::kUpdater;
  const DocumentStep uid{"UIDStorage", ReadUidStorage, Msg::SettingsReadFailed, JournalInformation};
  const DocumentStep gen{"formGeneralSettings", ReadGeneralSettings, Msg::UpdaterGeneralSettingsReadFailed, JournalInformation};
  const DocumentStep act{"formObjectActions", ReadObjectActions, Msg::UpdaterKernelSettingsReadFailed, JournalError};
  const DocumentStep mon{"formMonitorSettings", ReadMonitorSettings, Msg::SettingsReadFailed, JournalInformation};
  const DocumentStep out{"formOutbreak", ReadOutbreakSettings, Msg::SettingsReadFailed, JournalError};
  const DocumentStep upd{"formUpdaterSettings", ReadUpdaterSettings, Msg::SettingsReadFailed, JournalInformation};
  const DocumentStep ker{"formKernelSettings", ReadKernelSettings, Msg::UpdaterFineKernelSettingsReadFailed,
                         JournalInformation};
  std::vector<DocumentStep> steps = updater ? std::vector<DocumentStep>{uid, gen, act, ker, upd}
                                            : std::vector<DocumentStep>{uid, gen, act, mon, out, upd, ker};
  for (const DocumentStep& step : steps) {
    Status read = step.read(db.get());
    if (read.ok()) {
      if (step.read != ReadGeneralSettings) continue;
      if (Status folder = MakeTaskWorkFolder(task); !folder.ok()) return folder;
      continue;
    }
    notesapi::Status s = read.platformStatus();
    LogMessage(LOG_FILE | LOG_CONSOLE, step.openFailureType, MessageText(Msg::ProfileOpenFailed), s, step.formName);
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(updater ? step.updaterFailure : Msg::SettingsReadFailed),
               s, path.c_str());
    return read;
  }
  KernelSettingsRecord& kernel = KernelSettings();
  kernel.basesType = g_basesType;
  kernel.basesFolder = Updater().databaseFolder.substr(0, kMaxFolderCharacters);
  kernel.tempFolder = (General().taskWorkFolder + u"\\ftemp").substr(0, kMaxFolderCharacters);
  kernel.storeFolder = (General().taskWorkFolder + u"\\fstore").substr(0, kMaxFolderCharacters);
  // The kernel scans nothing without its temporary folder; it checks the
  // folder itself and reports a failure to make it.
  CreateFolderWithParent(p, kernel.tempFolder);
  CreateFolderWithParent(p, kernel.storeFolder);
  return Status::OK();
}

}  // namespace zul
