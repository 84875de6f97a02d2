// Creating and changing the settings database the way zulctl does, for the
// command line and for tests that want a server set up exactly as an
// administrator's: one document per form with a careful site's defaults,
// the profile "UIDStorage", the statistics and quarantine databases, and
// the change notices the settings database posts on a save.
#ifndef TOOLS_ZULCTL_SETTINGS_SETUP_H_
#define TOOLS_ZULCTL_SETTINGS_SETUP_H_

#include <string>
#include <utility>
#include <vector>

#include "notesapi/platform.h"

namespace zulctl {

// The databases named by ZULSetupDatabase, ZULStatDatabase and
// ZULQuarantineDatabase. `bases` is the bases folder ("" gives
// NotesProgram/bases, or <server>/bases). The tasks' temporary folder is
// `workFolder`, or <server>/tmp. kDatabaseExists when the settings database exists (nothing
// is changed then). On failure `error` says what failed, in English.
[[nodiscard]] notesapi::Status CreateSettingsDatabases(notesapi::Platform* p, const std::string& serverDirectory,
                                                       std::string bases, std::string* error,
                                                       const std::string& workFolder = "");

// Writes ITEM=VALUE pairs (UTF-8) into a form with their data types, saves it
// and posts "CONFIG|UPDATED" (and "OUTBREAK|UPDATED" for formOutbreak) to
// the tasks' database queues. Nothing is written when an item is unknown or a
// value does not fit its type.
[[nodiscard]] notesapi::Status ChangeSettings(notesapi::Platform* p, const std::string& form,
                                              const std::vector<std::pair<std::string, std::string>>& changes,
                                              std::string* error);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_SETTINGS_SETUP_H_
