#include "settings/settings_records.h"

#include <cstdio>

namespace zul {

namespace {

struct Records {
  SettingsDocumentIds ids;
  GeneralSettings general;
  ObjectActionTable actions;
  MonitorSettings monitor;
  std::array<OutbreakRule, kOutbreakRuleCount> outbreak;
  UpdaterSettings updater;
  KernelFlags kernelFlags;
};

Records& All() {
  static Records records;
  return records;
}

bool ParseWord(std::string_view hex, uint32_t* word) {
  uint32_t value = 0;
  for (char c : hex) {
    int digit = (c >= '0' && c <= '9') ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
    if (digit < 0) return false;
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  *word = value;
  return true;
}

}  // namespace

SettingsDocumentIds& SettingsIds() { return All().ids; }
GeneralSettings& General() { return All().general; }
ObjectActionTable& ObjectActions() { return All().actions; }
MonitorSettings& Monitor() { return All().monitor; }
std::array<OutbreakRule, kOutbreakRuleCount>& OutbreakRules() { return All().outbreak; }
UpdaterSettings& Updater() { return All().updater; }
KernelFlags& KernelOptions() { return All().kernelFlags; }

void ResetSettingsRecords() {
  All() = Records();
  KernelSettings() = KernelSettingsRecord();
}

std::string UnidToText(const notesapi::Unid& unid) {
  char text[33];
  std::snprintf(text, sizeof text, "%08X%08X%08X%08X", unid.file.innards[1], unid.file.innards[0],
                unid.note.innards[1], unid.note.innards[0]);
  return text;
}

bool UnidFromText(std::string_view text, notesapi::Unid* unid) {
  // Digits 1-8 are the second word, 9-16 the first, 17-24 the fourth, 25-32
  // the third. A text with any other character is refused as a whole rather
  // than read in part, which would name another document.
  if (text.size() != 32) return false;
  uint32_t words[4];
  for (int i = 0; i < 4; ++i) {
    if (!ParseWord(text.substr(static_cast<size_t>(i) * 8, 8), &words[i])) return false;
  }
  unid->file.innards = {words[1], words[0]};
  unid->note.innards = {words[3], words[2]};
  return true;
}

}  // namespace zul
