// The mail hook of an MTA: one message from standard input, with its SMTP
// envelope, stored held in mail.box and announced to the mail monitor.
#ifndef TOOLS_ZULSUBMIT_MAIL_HOOK_H_
#define TOOLS_ZULSUBMIT_MAIL_HOOK_H_

#include <string>
#include <string_view>

#include "notesapi/host/mime_import.h"
#include "notesapi/platform.h"

namespace mailhook {

// Exit codes of sysexits.h, as an MTA's pipe delivery understands them.
inline constexpr int kExitDataError = 65;  // not a message: the MTA bounces it
inline constexpr int kExitTempFail = 75;   // not stored now: the MTA keeps it and retries

// Whether the hook of `task` holds mail for scanning (else it is paused and
// mail goes on unscanned). Applies the monitor's commands waiting in the
// task's hook queue first; the state is kept across runs.
bool HookHolds(notesapi::Platform* p, const std::string& serverDirectory, const std::string& task);
// The server's data folder: notes.ini Directory, relative to the server
// directory unless absolute; "data" when unset.
std::string DataDirectory(notesapi::Platform* p, const std::string& serverDirectory);

// Posts the scan request for a held note; on failure deletes the note, so
// nothing stays held that the monitor was not asked for.
notesapi::Status PostHookRequest(notesapi::Platform* p, notesapi::DbHandle box, notesapi::NoteId noteId,
                                 std::string* request);

// 0 only once the note is committed and its hook request posted. `program`
// starts each line of the reasons written to standard error.
int SubmitFromStandardInput(notesapi::Platform* p, const std::string& serverDirectory, const std::string& task,
                            const notesapi::MessageEnvelope* envelope, std::string_view program);

}  // namespace mailhook

#endif  // TOOLS_ZULSUBMIT_MAIL_HOOK_H_
