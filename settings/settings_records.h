// The working settings of both tasks, read from the settings database into
// process-wide records. Each reader overwrites its record field by field;
// the other subsystems read the records between passes of the task loop.
#ifndef SETTINGS_SETTINGS_RECORDS_H_
#define SETTINGS_SETTINGS_RECORDS_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "notesapi/types.h"
#include "base/kernel_settings_record.h"

namespace zul {

// The universal IDs kept in the profile "UIDStorage", one per settings form.
struct SettingsDocumentIds {
  notesapi::Unid commonSettings;
  notesapi::Unid objectActions;
  notesapi::Unid monitorSettings;
  notesapi::Unid outbreak;
  notesapi::Unid updaterSettings;
  notesapi::Unid kernelSettings;
  notesapi::Unid information;
  notesapi::Unid updaterStatus;
  notesapi::Unid replMonitorSettings;
  notesapi::Unid scannerSettings;
  notesapi::Unid scannerStatus;
};

struct GeneralSettings {
  std::string administrators;      // at most 255 bytes, Notes character set
  std::u16string temporaryFolder;  // "gsTemporaryFolder", at most 255 characters
  std::u16string taskWorkFolder;   // temporaryFolder + "\zulmailmonitor\" (or "\zulupdater\")
};

// Notify bits of an action entry.
inline constexpr uint8_t NotifyRecipients = 0x01;
inline constexpr uint8_t NotifySender = 0x02;
inline constexpr uint8_t NotifyAdmin = 0x04;
inline constexpr uint8_t RecordStatistics = 0x08;
inline constexpr uint8_t AddToBody = 0x10;

// Actions.
inline constexpr int32_t ActionPass = 0;
inline constexpr int32_t ActionDelete = 1;
inline constexpr int32_t ActionReplaceCured = 2;

// The action table's keywords as its items store them: "acQuarantine<n>"
// keeps a copy when it begins with kKeepCopyKeyword, "acAction<n>" passes
// the object only when it begins with kPassKeyword. The reader and the
// tool that writes the defaults both use these.
inline constexpr char kKeepCopyKeyword[] = "0";
inline constexpr char kNoCopyKeyword[] = "";
inline constexpr char kPassKeyword[] = "0";
inline constexpr char kDeleteKeyword[] = "1";

struct ObjectActionEntry {
  uint32_t recordType = 0;
  uint8_t notifyFlags = 0;
  int32_t quarantine = 0;
  int32_t action = 0;
  std::string stampText;  // at most 1023 bytes, Notes character set, line feeds for line breaks
};

inline constexpr size_t kObjectActionCount = 11;
using ObjectActionTable = std::array<ObjectActionEntry, kObjectActionCount>;

struct MonitorSettings {
  uint8_t monitoredObjects = 0;
  int32_t sizeLimitEnabled = 0;
  int32_t quarantineBody = 0;
  int32_t scanningOff = 0;
  int32_t sizeLimit = 0;
  uint16_t typeFilter = 0;
  std::string nameFilter;  // at most 255 bytes, ASCII letters upper-cased
};

struct OutbreakRule {
  int32_t enabled = 0;
  int32_t threshold = 0;
  int32_t periodSeconds = 0;
  std::string warningText;  // native code page, at most 1023 bytes
};

inline constexpr size_t kOutbreakRuleCount = 4;

struct UpdaterSettings {
  std::u16string databaseFolder;  // at most 1024 characters
  int32_t dailyMode = 0;
  int32_t everyDays = 0;
  notesapi::TimeDate upTime1;
  int32_t time2Enabled = 0;
  notesapi::TimeDate upTime2;
  int32_t everyHours = 0;
  notesapi::TimeDate nextUpdate;
  int32_t scheduleOff = 0;
};

// The task's records; zero until read.
SettingsDocumentIds& SettingsIds();
GeneralSettings& General();
ObjectActionTable& ObjectActions();
MonitorSettings& Monitor();
std::array<OutbreakRule, kOutbreakRuleCount>& OutbreakRules();
UpdaterSettings& Updater();
// The two further flags of the kernel settings form.
struct KernelFlags {
  int32_t tryCure = 0;
  int32_t encryptedObjects = 0;
};
KernelFlags& KernelOptions();

// Resets every record to zero (a task start; tests).
void ResetSettingsRecords();

// The text form of a universal ID: 32 hexadecimal digits.
std::string UnidToText(const notesapi::Unid& unid);
// False (and `unid` unchanged) unless `text` is exactly 32 hexadecimal digits.
bool UnidFromText(std::string_view text, notesapi::Unid* unid);

}  // namespace zul

#endif  // SETTINGS_SETTINGS_RECORDS_H_
