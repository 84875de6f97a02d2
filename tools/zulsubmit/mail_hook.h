// The mail hook of an MTA: one message from standard input, with its SMTP
// envelope, stored held in mail.box and announced to the mail monitor.
#ifndef TOOLS_ZULSUBMIT_MAIL_HOOK_H_
#define TOOLS_ZULSUBMIT_MAIL_HOOK_H_

#include <string>
#include <string_view>

#include "base/status.h"
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

// An item a caller sets on the stored note before the monitor is asked.
struct ItemMark {
  std::string name;
  std::string value;
};

struct StoredMessage {
  notesapi::NoteId noteId = 0;
  bool held = false;     // false: the hook is paused, and the message goes on unscanned
  std::string refusal;   // why it is no message
};

// Stores one message in mail.box, held for the monitor (unless the hook of
// `task` is paused), with its envelope, and posts its hook request: the one
// writer of the hook and the milter. With a `mark`, the mark is set before
// the request is posted, and a paused hook stores nothing. InvalidArgument
// for bytes that are no message (or too many recipients), Corrupt for a
// damaged mail.box; anything else may work later. Nothing stays held that
// the monitor was not asked for.
zul::Status StoreForScan(notesapi::Platform* p, const std::string& serverDirectory, const std::string& task,
                         std::string_view message, const notesapi::MessageEnvelope* envelope, const ItemMark* mark,
                         StoredMessage* stored);

// 0 only once the note is committed and its hook request posted. `program`
// starts each line of the reasons written to standard error.
int SubmitFromStandardInput(notesapi::Platform* p, const std::string& serverDirectory, const std::string& task,
                            const notesapi::MessageEnvelope* envelope, std::string_view program);

}  // namespace mailhook

#endif  // TOOLS_ZULSUBMIT_MAIL_HOOK_H_
