// What the recipients, the sender and the administrators learn of a scanned
// mail: one report line per object, collected per audience during the walk
// and sent as one memo per audience afterwards; the scan report block put in
// front of the mail's own body; and the system warnings of the task log.
#ifndef RECORDS_NOTIFICATIONS_H_
#define RECORDS_NOTIFICATIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "notesapi/platform.h"
#include "scanning/object_record.h"

namespace zul {

// Audience codes, the notify bits of an action entry.
inline constexpr int kAudienceRecipients = 1;
inline constexpr int kAudienceSender = 2;
inline constexpr int kAudienceAdministrators = 4;

// Font of memo text: face 3, bold, colour 2, 8 points.
inline constexpr uint32_t kMemoFontId = 3u | 0x01u << 8 | 2u << 16 | 8u << 24;

void ClearNotifications();
// Forgets what was collected for one audience.
void ClearNotification(int audience);
// Texts in the Notes character set; other codes are ignored.
void AppendNotification(int audience, std::string_view text);
// The collected text of an audience; none when nothing was appended.
const std::optional<std::string>& NotificationList(int audience);

// Expands "%a %n %q %r %t %v" of the template (Notes character set) into the
// record's report text (at most 1022 bytes, then a line feed).
void FillReportTemplate(std::string_view stampText, ObjectRecord* record);
// Puts the report block in front of the document's "Body".
notesapi::Status FillMessageBody(notesapi::NoteHandle note, std::string_view reportText, bool mime);
// One memo per audience with text, administrators first, then recipients,
// then sender. `suffix` is native text.
void SendNotifications(notesapi::DbHandle db, notesapi::NoteHandle note, std::string_view suffix);
// Creates and sends one memo; with no database it goes through "mail.box".
notesapi::Status SendMemo(notesapi::DbHandle db, std::string_view body, std::string_view addresses,
                          std::string_view subject);
// A free-standing compound text of `text` in the style "Normal".
notesapi::Status TextToRichText(std::string_view text, notesapi::CompoundTextHandle* richText);

// The sender of system warnings (LOG_ADMIN) for the task log: one memo to
// the administrators, leaving the lists of a mail being scanned untouched.
void SendSystemWarning(std::string_view notesLine);

}  // namespace zul

#endif  // RECORDS_NOTIFICATIONS_H_
