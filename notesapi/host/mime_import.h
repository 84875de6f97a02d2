// Imports an RFC 822 message into a note the way the server stores MIME mail:
// "MIME_Version", the header items ("From", "SendTo", "CopyTo",
// "BlindCopyTo", "Subject", "PostedDate", "SMTPOriginator", "Recipients")
// and one TYPE_MIME_PART "Body" item per MIME part: the part header
// structure, then the part's delimiter line, headers and content exactly as
// the message carries them, line ends included. The parts in order are the
// message byte for byte (an mbox "From " line, prologues and epilogues
// included), so an unchanged note exports as it came. A part too large for
// one item keeps its content in an attachment object, and a part whose
// delimiter and headers alone are too large keeps all of itself there.
// Address lists of any length take as many items as they need. For the
// host's tools (the mail hook stand-in).
#ifndef NOTESAPI_HOST_MIME_IMPORT_H_
#define NOTESAPI_HOST_MIME_IMPORT_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "notesapi/platform.h"
#include "notesapi/stored_structures.h"  // the part types and flags

namespace notesapi {

// The most recipients one mail document carries.
inline constexpr size_t kMaxRecipients = 0xFFFF;

struct ImportedMessage {
  NoteId noteId = 0;
  std::vector<std::string> recipients;  // bare addresses, as in "Recipients"
  std::string refusal;                  // why the bytes are no message ("empty file", "no header lines")
};

// Creates and saves the note in `db`; held (item "RoutingState") when `hold`.
// `scratchFolder` holds temporary copies of large parts. kNotAMessage (and
// `refusal` says why) when the bytes are not a mail message at all; nothing
// else is refused.
[[nodiscard]] Status ImportMimeMessage(Platform* platform, DbHandle db, std::string_view rfc822, bool hold,
                                       const std::u16string& scratchFolder, ImportedMessage* imported);

// The SMTP envelope of a message an MTA hands over: its sender becomes
// "SMTPOriginator" and its recipients "Recipients", whatever the headers say.
struct MessageEnvelope {
  std::string sender;
  std::vector<std::string> recipients;
};
[[nodiscard]] Status ImportMimeMessage(Platform* platform, DbHandle db, std::string_view rfc822, bool hold,
                                       const std::u16string& scratchFolder, const MessageEnvelope* envelope,
                                       ImportedMessage* imported);

// The message a MIME note holds, rebuilt from its "Body" parts; large parts
// are read back through a temporary copy in `scratchFolder`.
[[nodiscard]] Status ExportMimeMessage(Platform* platform, NoteHandle note, const std::u16string& scratchFolder,
                                       std::string* rfc822);

// Appends one stored MIME part (its value after the type word) to `message`:
// boundary line, headers and content. A part whose content lives in an
// attachment object names that object; `readObject` fetches it by file name
// and `objectName` (when given) reports the name, else is left empty.
// Stores `rfc822` in the open note as its MIME part items ("Body"), large
// contents in attachments named by their parts; together exactly the message.
[[nodiscard]] Status WriteMimeParts(Platform* platform, NoteHandle note, std::string_view rfc822,
                                    const std::u16string& scratchFolder);

// Adds the data of the part's object at the end of `data`.
using ReadPartObject = std::function<Status(std::string_view fileName, std::string* data)>;
[[nodiscard]] Status AppendMimePart(Platform* platform, std::string_view stored, const ReadPartObject& readObject,
                                    std::string* message, std::string* objectName);

}  // namespace notesapi

#endif  // NOTESAPI_HOST_MIME_IMPORT_H_
