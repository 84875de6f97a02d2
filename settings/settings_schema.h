// The forms of the settings database as zulctl creates and edits them: each
// form's items with their data types and the values a new site starts with.
#ifndef SETTINGS_SETTINGS_SCHEMA_H_
#define SETTINGS_SETTINGS_SCHEMA_H_

#include <cstdint>
#include <string>
#include <vector>

namespace zul {

enum class ItemKind { kText, kNumber, kTime };

struct ItemSchema {
  std::string name;
  ItemKind kind;
  std::string initial;  // UTF-8; a number as text; a time as "+Nh" from now or "HH:MM" today
  // What the tasks take for a number item a document lacks or holds no
  // number in. A new site starts from `initial`, which may differ on purpose
  // (a size limit of 20 MiB where a missing item reads as no limit).
  int32_t absent = 0;
};

struct FormSchema {
  std::string form;     // as named in messages, e.g. "formMonitorSettings"
  std::string uidItem;  // its item in the profile "UIDStorage"
  std::vector<ItemSchema> items;
};

// `temporaryFolder` and `basesFolder` fill the two folder items.
// `administrators`: the initial "gsAdministrators" (";" between addresses),
// or empty for the built-in default. `english`: the texts of the reports and
// warnings in English (the tasks' texts are Russian unless a message library
// says otherwise).
std::vector<FormSchema> SettingsForms(const std::string& temporaryFolder, const std::string& basesFolder,
                                      const std::string& administrators = "", bool english = false);

// The built-in administrator: a Notes name, which a server in an MTA's path
// cannot deliver to.
inline constexpr char kDefaultAdministrator[] = "CN=Admin/O=Tervala";
const ItemSchema* FindItem(const FormSchema& form, const std::string& item);
// The item of any form by its name (case as the tasks write it); nullptr
// for a name no form has.
const ItemSchema* SettingsItem(const std::string& item);
const FormSchema* FindForm(const std::vector<FormSchema>& forms, const std::string& name);
// "formA, formB, ..." for messages.
std::string FormList(const std::vector<FormSchema>& forms);
// Why a value cannot mean what the tasks read from the item (a negative
// size, an unknown keyword digit, ...); empty when it can.
std::string ValueProblem(const ItemSchema& item, const std::string& value);

}  // namespace zul

#endif  // SETTINGS_SETTINGS_SCHEMA_H_
