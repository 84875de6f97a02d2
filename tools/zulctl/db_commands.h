// zulctl db ls / show / extract: the notes of a database as a person reads them.
#ifndef TOOLS_ZULCTL_DB_COMMANDS_H_
#define TOOLS_ZULCTL_DB_COMMANDS_H_

#include <string>

#include "notesapi/platform.h"
#include "tools/zulctl/cli_support.h"

namespace zulctl {

Status ListDatabase(notesapi::Platform* platform, const std::string& path);
// MIME mail is shown as stored, or as a reader sees it with `converted`.
Status ShowNote(notesapi::Platform* platform, const std::string& path, const std::string& noteIdText, bool converted);

// Writes every attachment of one note into `folder` under its shown name, so
// an administrator sees exactly what the scanner would see.
Status ExtractNote(notesapi::Platform* platform, const std::string& path, const std::string& noteIdText, bool converted,
                   const std::string& folder);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_DB_COMMANDS_H_
