// What every zulctl verb shares: the outcome of a verb and its exit code,
// the failure of a platform call, note IDs as an administrator writes them,
// UTF-8 names for the platform.
#ifndef TOOLS_ZULCTL_CLI_SUPPORT_H_
#define TOOLS_ZULCTL_CLI_SUPPORT_H_

#include <string>

#include "base/status.h"
#include "notesapi/platform.h"

namespace zulctl {

// What a verb returns: OK, or what failed, which zulctl prints as
// "zulctl: MESSAGE" on standard error (an empty message: said already).
using zul::Status;

// The exit code of a verb's outcome: 0 OK, 2 a command line or an operand
// that is wrong, 1 any other failure. Prints the failure.
int ExitCodeOf(const Status& outcome);
// "zulctl: MESSAGE" on standard error now: one failure among several that a
// verb goes on past. Returns the outcome to give when done, its message said.
Status Say(const Status& failure);

// "WHAT: TEXT" carrying the status, printed with "(status 0x...)". Without
// a platform the host's own status texts are used.
Status Fail(notesapi::Platform* platform, const std::string& what, notesapi::Status status);
// "0x8F8" or "2296"; InvalidArgument for anything else.
Status ParseNoteId(const std::string& text, notesapi::NoteId* id);
// UTF-8 to the Notes character set; unchanged when it does not translate.
std::string ToLmbcs(notesapi::Platform* platform, const std::string& utf8);
// ASCII letters upper-cased (task and queue names).
std::string Upper(std::string text);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_CLI_SUPPORT_H_
