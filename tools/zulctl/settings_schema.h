// The forms of the settings database as zulctl creates and edits them: each
// form's items with their data types and the values a new site starts with.
#ifndef TOOLS_ZULCTL_SETTINGS_SCHEMA_H_
#define TOOLS_ZULCTL_SETTINGS_SCHEMA_H_

#include <string>
#include <vector>

namespace zulctl {

enum class ItemKind { kText, kNumber, kTime };

struct ItemSchema {
  std::string name;
  ItemKind kind;
  std::string initial;  // UTF-8; a number as text; a time as "+Nh" from now or "HH:MM" today
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
const FormSchema* FindForm(const std::vector<FormSchema>& forms, const std::string& name);
// "formA, formB, ..." for messages.
std::string FormList(const std::vector<FormSchema>& forms);
// Why a value cannot mean what the tasks read from the item (a negative
// size, an unknown keyword digit, ...); empty when it can.
std::string ValueProblem(const ItemSchema& item, const std::string& value);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_SETTINGS_SCHEMA_H_
