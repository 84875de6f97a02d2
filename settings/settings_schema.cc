#include "settings/settings_schema.h"

#include <strings.h>

#include <cstdlib>

#include "settings/settings_records.h"

namespace zul {

namespace {

struct ActionDefaults {
  const char* action;
  const char* quarantine;
  const char* notify;      // "0" recipients, "1" sender, "2" administrators, "4" report in the body
  const char* statistics;  // "1" writes a statistics record
  const char* stamp;
};

constexpr const char* kPass = zul::kPassKeyword;
constexpr const char* kDelete = zul::kDeleteKeyword;
constexpr const char* kCopy = zul::kKeepCopyKeyword;
constexpr const char* kNoCopy = zul::kNoCopyKeyword;

// One entry per scan result: what a careful site does with it. An object
// that could not be checked, or whose check did not finish, does not reach
// the recipient unchecked; its original is kept in quarantine.
const ActionDefaults kActions[11] = {
    {kPass, kNoCopy, "", "", ""},
    {kPass, kNoCopy, "0;2;4", "1", "%t \"%n\": объект вылечен (%v)."},
    {kDelete, kCopy, "0;2;4", "1", "%t \"%n\": обнаружен вирус %v. %a. Копия в карантине: %q."},
    {kDelete, kCopy, "0;2;4", "1", "%t \"%n\": подозрение на вредоносный объект (%v). %a. Копия в карантине: %q."},
    {kPass, kCopy, "0;2;4", "1", "%t \"%n\": защищенный объект, проверка невозможна (%v). %a. Копия в карантине: %q."},
    {kDelete, kCopy, "0;2;4", "1", "%t \"%n\": объект не обработан (%v). %a. Копия в карантине: %q."},
    {kDelete, kCopy, "0;2;4", "1", "%t \"%n\": ошибка проверки (%v). %a. Копия в карантине: %q."},
    {kPass, kNoCopy, "4", "1", "%t \"%n\": размер больше разрешенного, объект не проверялся. %a."},
    {kDelete, kCopy, "0;4", "1", "%t \"%n\": тип файла запрещен. %a. Копия в карантине: %q."},
    {kDelete, kCopy, "0;4", "1", "%t \"%n\": имя файла запрещено. %a. Копия в карантине: %q."},
    {kDelete, kCopy, "0;2;4", "1", "%t \"%n\": проверка не завершена, превышен предел (%v). %a. Копия в карантине: %q."},
};

// The same texts for a server whose tasks speak English.
const char* const kEnglishStamps[11] = {
    "",
    "%t \"%n\": object cured (%v).",
    "%t \"%n\": virus %v found. %a. Copy in quarantine: %q.",
    "%t \"%n\": suspected malicious object (%v). %a. Copy in quarantine: %q.",
    "%t \"%n\": protected object, cannot be checked (%v). %a. Copy in quarantine: %q.",
    "%t \"%n\": object not processed (%v). %a. Copy in quarantine: %q.",
    "%t \"%n\": scan error (%v). %a. Copy in quarantine: %q.",
    "%t \"%n\": larger than allowed, not checked. %a.",
    "%t \"%n\": file type not allowed. %a. Copy in quarantine: %q.",
    "%t \"%n\": file name not allowed. %a. Copy in quarantine: %q.",
    "%t \"%n\": scan not finished, a limit was exceeded (%v). %a. Copy in quarantine: %q.",
};

struct RuleDefaults {
  const char* enabled;
  const char* value;
  const char* period;
  const char* unit;  // "1" s, "2" min, "3" h, "4" days, "5" weeks
  const char* warning;
};

const RuleDefaults kRules[4] = {
    {"1", "10", "10", "2",
     "Внимание: вспышка вирусной активности. За 10 минут обнаружено более 10 зараженных или подозрительных объектов."},
    {"0", "50", "1", "3", "Внимание: за час обнаружено более 50 зараженных или подозрительных объектов."},
    {"0", "20", "30", "2", "Внимание: за 30 минут один и тот же вирус обнаружен более 20 раз."},
    {"0", "200", "1", "4", "Внимание: за сутки обнаружено более 200 зараженных или подозрительных объектов."},
};

const char* const kEnglishWarnings[4] = {
    "Warning: virus outbreak. More than 10 infected or suspicious objects in 10 minutes.",
    "Warning: more than 50 infected or suspicious objects in an hour.",
    "Warning: the same virus found more than 20 times in 30 minutes.",
    "Warning: more than 200 infected or suspicious objects in a day.",
};

std::string Indexed(const char* stem, int index) { return stem + std::to_string(index); }

}  // namespace

std::vector<FormSchema> SettingsForms(const std::string& temporaryFolder, const std::string& basesFolder,
                                      const std::string& administrators, bool english) {
  using K = ItemKind;
  FormSchema general{"formGeneralSettings", "uidCommonSettings",
                     {{"gsAdministrators", K::kText, administrators.empty() ? kDefaultAdministrator : administrators},
                      {"gsTemporaryFolder", K::kText, temporaryFolder}}};
  FormSchema actions{"formObjectActions", "uidObjectActions", {}};
  for (int i = 0; i < 11; ++i) {
    actions.items.push_back({Indexed("acAction", i), K::kText, kActions[i].action});
    actions.items.push_back({Indexed("acQuarantine", i), K::kText, kActions[i].quarantine});
    actions.items.push_back({Indexed("acNotify", i), K::kText, kActions[i].notify});
    actions.items.push_back({Indexed("acStat", i), K::kText, kActions[i].statistics});
    actions.items.push_back({Indexed("acStamp", i), K::kText, english ? kEnglishStamps[i] : kActions[i].stamp});
  }
  FormSchema monitor{"formMonitorSettings", "uidMonitorSettings",
                     {{"msDisableTask", K::kText, "1"},
                      {"msMonitoredObjects", K::kText, "0;1;2"},
                      {"msSizeEnabled", K::kText, "1"},
                      {"msSizeValue", K::kNumber, "20480"},
                      {"msQuarantineBody", K::kText, "0"},
                      {"msTypeEnabled", K::kText, ""},
                      {"msNameFilter", K::kText, "*.EXE;*.COM;*.SCR;*.PIF;*.BAT;*.CMD;*.VBS;*.VBE;*.JS;*.JSE;*.WSF;*.HTA;*.CPL"}}};
  FormSchema outbreak{"formOutbreak", "uidOutbreak", {}};
  for (int i = 0; i < 4; ++i) {
    outbreak.items.push_back({Indexed("obEnabled", i), K::kText, kRules[i].enabled});
    outbreak.items.push_back({Indexed("obValue", i), K::kNumber, kRules[i].value});
    outbreak.items.push_back({Indexed("obPeriod", i), K::kNumber, kRules[i].period});
    outbreak.items.push_back({Indexed("obPeriodSelector", i), K::kText, kRules[i].unit});
    outbreak.items.push_back({Indexed("obWarningText", i), K::kText, english ? kEnglishWarnings[i] : kRules[i].warning});
  }
  FormSchema updater{"formUpdaterSettings", "uidUpdaterSettings",
                     {{"usDatabaseFolder", K::kText, basesFolder},
                      {"usScheduleDisabled", K::kText, "1"},
                      {"usPeriodSelector", K::kText, "0"},
                      {"usEveryHour", K::kNumber, "3"},
                      {"usEveryDay", K::kNumber, "1"},
                      {"usUpTime1", K::kTime, "03:00"},
                      {"usTime2Enabled", K::kText, "0"},
                      {"usUpTime2", K::kTime, "15:00"},
                      {"usNextUpdate", K::kTime, "+1h"}}};
  FormSchema kernel{"formKernelSettings", "uidKernelSettings",
                    {{"ksFlags", K::kText, "1;2;3;4;5;6"},
                     {"usBasesType", K::kText, "2"},
                     {"ksEngineCount", K::kNumber, "1", 1},
                     {"ksEngineTimeOut", K::kNumber, "5000", 5000},
                     {"gsTryCure", K::kText, "0"},
                     {"ksEncrypted", K::kText, "0"}}};
  FormSchema information{"formInformation", "uidInformation", {}};
  FormSchema status{"formUpdaterStatus", "uidUpdaterStatus",
                    {{"UpdaterStatus", K::kNumber, "1"}, {"UpdaterStatusText", K::kText, ""}}};
  return {general, actions, monitor, outbreak, updater, kernel, information, status};
}

const ItemSchema* FindItem(const FormSchema& form, const std::string& item) {
  for (const ItemSchema& schema : form.items) {
    if (strcasecmp(schema.name.c_str(), item.c_str()) == 0) return &schema;
  }
  return nullptr;
}

const ItemSchema* SettingsItem(const std::string& item) {
  static const std::vector<FormSchema> forms = SettingsForms("", "");
  for (const FormSchema& form : forms) {
    if (const ItemSchema* found = FindItem(form, item)) return found;
  }
  return nullptr;
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

}  // namespace zul

namespace zul {

namespace {

struct KeywordRule {
  const char* stem;  // item name, or the stem of indexed items
  const char* digits;
};

// The digits each keyword list is read for; anything else would be ignored
// by the tasks without a word.
constexpr KeywordRule kKeywordRules[] = {
    {"msMonitoredObjects", "012"}, {"msTypeEnabled", "01234"}, {"ksFlags", "123456"}, {"usBasesType", "0123"},
    {"acNotify", "0124"},          {"acStat", "01"},          {"acAction", "01"},    {"acQuarantine", "01"},
    {"obPeriodSelector", "12345"}, {"usPeriodSelector", "01"},
};

bool StartsWith(const std::string& text, const char* stem) { return text.rfind(stem, 0) == 0; }

}  // namespace

std::string ValueProblem(const ItemSchema& item, const std::string& value) {
  if (item.kind == ItemKind::kNumber) {
    char* end = nullptr;
    double number = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0') return item.name + " takes a number, not \"" + value + "\"";
    if (number < 0) return item.name + " cannot be negative";
    if (item.name == "msSizeValue" && number > 4194303) return "msSizeValue is in KiB and at most 4194303 (4 GiB)";
    if (number > 2147483647) return item.name + " is at most 2147483647";
    return {};
  }
  if (item.kind != ItemKind::kText) return {};
  for (const KeywordRule& rule : kKeywordRules) {
    if (!StartsWith(item.name, rule.stem)) continue;
    for (char c : value) {
      if (c == ';' || c == ' ' || c == ',') continue;
      if (std::string(rule.digits).find(c) == std::string::npos) {
        return item.name + " takes the digits " + rule.digits + " separated by \";\", not \"" + value + "\"";
      }
    }
    return {};
  }
  return {};
}

}  // namespace zul
