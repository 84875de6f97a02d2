// What every zulctl verb shares: the error line for a failed platform call,
// note IDs as an administrator writes them, UTF-8 names for the platform.
#ifndef TOOLS_ZULCTL_CLI_SUPPORT_H_
#define TOOLS_ZULCTL_CLI_SUPPORT_H_

#include <string>

#include "notesapi/platform.h"

namespace zulctl {

// "zulctl: WHAT: TEXT (status 0x...)" on standard error; returns exit code 1.
// Without a platform the host's own status texts are used.
int Fail(notesapi::Platform* platform, const std::string& what, notesapi::Status status);
// "0x8F8" or "2296"; false (after saying so on standard error) for anything else.
bool ParseNoteId(const std::string& text, notesapi::NoteId* id);
// UTF-8 to the Notes character set; unchanged when it does not translate.
std::string ToLmbcs(notesapi::Platform* platform, const std::string& utf8);
// ASCII letters upper-cased (task and queue names).
std::string Upper(std::string text);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_CLI_SUPPORT_H_
