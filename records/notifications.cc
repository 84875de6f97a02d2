#include "records/notifications.h"

#include <algorithm>
#include <array>

#include "notesapi/process_platform.h"
#include "notesapi/scoped_handles.h"
#include "records/mail_items.h"
#include "base/message_text.h"
#include "base/task_log.h"
#include "base/text_conversions.h"
#include "settings/settings_records.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr size_t kMaxTemplate = 1023;
constexpr size_t kMaxItemText = 1023;
constexpr size_t kMaxSubject = 1024;
constexpr char kMailBox[] = "mail.box";

std::array<std::optional<std::string>, 3> g_lists;
// Built for one SendNotifications call with a document, read by SendMemo.
std::optional<std::string> g_headerBlock;

std::optional<std::string>* ListOf(int audience) {
  switch (audience) {
    case kAudienceRecipients: return &g_lists[0];
    case kAudienceSender: return &g_lists[1];
    case kAudienceAdministrators: return &g_lists[2];
    default: return nullptr;
  }
}

void Trace(Msg message) {
  if (LogLevelAbove(kLogFromLevel4)) LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, "%s", 0, MessageText(message));
}

std::string Separator() { return std::string(104, '-') + " \n"; }

const char* KindLabel(int32_t kind) {
  switch (kind) {
    case KindAttachment: return MessageText(Msg::KindAttachment);
    case KindOle: return MessageText(Msg::KindOleObject);
    case KindText: return MessageText(Msg::KindText);
    case KindMimePart: return MessageText(Msg::KindMime);
    case KindOther: return MessageText(Msg::KindUnknown);
    default: return "";
  }
}

const char* ActionText(int32_t action) {
  if (action == ActionPass || action == ActionReplaceCured) return MessageText(Msg::ActionSkipped);
  if (action == ActionDelete) return MessageText(Msg::ActionDeleted);
  return "";
}

std::string Subject(Msg audience, std::string_view suffix) {
  std::string native = std::string(MessageText(audience)) + ": " + std::string(suffix);
  return NativeToNotesWithin(native, kMaxSubject);
}

// Ends a compound text that is not wanted after all.
void Abandon(CompoundTextHandle rich) {
  Platform* p = ProcessPlatform();
  MemHandle buffer = kNullHandle;
  uint32_t length = 0;
  std::u16string file;
  (void)p->CompoundTextClose(rich, &buffer, &length, &file);
  if (buffer != kNullHandle) (void)p->MemFree(buffer);
  if (!file.empty()) (void)p->FileDelete(file);
}

// Puts `text` as rich text in front of the note's "Body": rich text is
// appended as it is, a plain text body as text, and a note without a body
// gets the text alone. A result too large for memory comes back as a file
// and is taken from there.
notesapi::Status PrependToBody(NoteHandle note, std::string_view text) {
  Platform* p = ProcessPlatform();
  ItemInfo body;
  bool hasBody = p->ItemInfoByName(note, "Body", &body) == kNoError;
  std::string combined(text);
  if (hasBody && body.type == TYPE_TEXT) {
    std::string plain;
    (void)p->ItemGetText(note, "Body", 65535, &plain);  // an unreadable text body reads as empty
    combined += plain;
  }
  CompoundTextHandle rich = kNullHandle;
  if (notesapi::Status s = TextToRichText(combined, &rich); s != kNoError) return s;
  if (hasBody && body.type == TYPE_COMPOSITE) {
    if (notesapi::Status s = p->CompoundTextAssimilateItem(rich, note, "Body"); s != kNoError) {
      Abandon(rich);
      return s;
    }
  }
  (void)p->ItemDelete(note, "Body");  // none is fine
  MemHandle buffer = kNullHandle;
  uint32_t length = 0;
  std::u16string file;
  if (notesapi::Status s = p->CompoundTextClose(rich, &buffer, &length, &file); s != kNoError) return s;
  if (buffer != kNullHandle) {
    notesapi::Status s = p->ItemAppendFromMemory(note, 0, "Body", buffer, length);
    (void)p->MemFree(buffer);
    return s;
  }
  CompoundTextHandle onNote = kNullHandle;
  notesapi::Status s = p->CompoundTextCreate(note, "Body", &onNote);
  if (s == kNoError) {
    notesapi::Status assimilated = p->CompoundTextAssimilateFile(onNote, file);
    MemHandle unused = kNullHandle;
    uint32_t unusedLength = 0;
    std::u16string unusedFile;
    s = p->CompoundTextClose(onNote, &unused, &unusedLength, &unusedFile);
    if (assimilated != kNoError) s = assimilated;
  }
  (void)p->FileDelete(file);
  return s;
}

}  // namespace

void ClearNotifications() {
  for (auto& list : g_lists) list.reset();
}

void ClearNotification(int audience) {
  if (std::optional<std::string>* list = ListOf(audience)) list->reset();
}

void AppendNotification(int audience, std::string_view text) {
  std::optional<std::string>* list = ListOf(audience);
  if (list == nullptr) return;
  if (!*list) list->emplace();
  (*list)->append(text);
}

const std::optional<std::string>& NotificationList(int audience) {
  static const std::optional<std::string> kNone;
  std::optional<std::string>* list = ListOf(audience);
  return list == nullptr ? kNone : *list;
}

void FillReportTemplate(std::string_view stampText, ObjectRecord* record) {
  std::string templ(NotesToNative(stampText));
  templ.resize(std::min(templ.size(), kMaxTemplate));
  std::string out;
  for (size_t i = 0; i < templ.size(); ++i) {
    if (templ[i] != '%') {
      out += templ[i];
      continue;
    }
    if (++i == templ.size()) break;  // a "%" at the end is dropped
    switch (templ[i]) {
      case 'a': out += ActionText(record->action); break;
      case 'n': out += NotesToNative(record->objectName); break;
      case 'q': out += MessageText(record->quarantine ? Msg::Yes : Msg::No); break;
      case 'r': out += std::to_string(record->result); break;
      case 't': out += KindLabel(record->kind); break;
      case 'v': out += record->description; break;
      default: break;  // both characters dropped
    }
  }
  out.resize(std::min(out.size(), kMaxTemplate));
  record->reportText = NativeToNotesWithin(out, kMaxReportText) + "\n";
}

notesapi::Status FillMessageBody(NoteHandle note, std::string_view reportText, bool /*mime*/) {
  Platform* p = ProcessPlatform();
  std::string report = Separator() + "Tervala Anti-Virus Report\n" + Separator() + std::string(reportText) + Separator();
  if (!HasItem(note, "Body")) {
    if (notesapi::Status s = p->ItemSetText(note, "Body", NativeToNotes(MessageText(Msg::BodyRemoved))); s != kNoError) return s;
  }
  return PrependToBody(note, report);
}

notesapi::Status TextToRichText(std::string_view text, CompoundTextHandle* richText) {
  Platform* p = ProcessPlatform();
  CompoundTextHandle rich = kNullHandle;
  if (notesapi::Status s = p->CompoundTextCreate(kNullHandle, "", &rich); s != kNoError) return s;
  uint32_t style = 0;
  notesapi::Status s = p->CompoundTextDefineStyle(rich, "Normal", &style);
  if (s == kNoError) s = p->CompoundTextAddText(rich, style, kMemoFontId, text, "\r\n");
  if (s != kNoError) {
    Abandon(rich);
    return s;
  }
  *richText = rich;
  return kNoError;
}

notesapi::Status SendMemo(DbHandle db, std::string_view body, std::string_view addresses, std::string_view subject) {
  Platform* p = ProcessPlatform();
  ScopedDb mailBox(p);
  if (db == kNullHandle) {
    // A system warning has no mail file of its own: the memo goes out
    // through the server's mail box, which a new server makes with its
    // first mail; a warning that comes first must not be lost for that.
    notesapi::Status created = p->DbCreate(kMailBox, "Mail box");
    if (created != kNoError && created != kDatabaseExists) return created;
    if (notesapi::Status s = p->DbOpen(kMailBox, mailBox.put()); s != kNoError) return s;
    db = mailBox.get();
  }
  ScopedNote memo(p);
  if (notesapi::Status s = p->MailCreateMessage(db, memo.put()); s != kNoError) return s;
  // A memo that lacks a recipient, its subject or its report is not sent.
  notesapi::Status s = kNoError;
  std::string list(addresses.substr(0, kMaxItemText));
  bool first = true;
  for (const std::string& piece : AddressPieces(list)) {
    std::string canonical;
    if (p->CanonicalizeName(piece, &canonical) != kNoError) canonical = piece;
    canonical.resize(std::min<size_t>(canonical.size(), 255));
    for (const char* item : {"Recipients", "SendTo"}) {
      if (s == kNoError) {
        s = first ? p->ItemCreateTextList(memo.get(), item, canonical)
                  : p->ItemAppendTextList(memo.get(), item, canonical, true);
      }
    }
    first = false;
  }
  for (const char* item : {"Recipients", "SendTo"}) {
    if (first && s == kNoError) s = p->ItemSetText(memo.get(), item, "");
  }
  if (s == kNoError) s = p->ItemSetText(memo.get(), "Form", "Memo");
  if (s == kNoError) s = p->ItemSetText(memo.get(), "From", "Tervala Anti-Virus");
  if (s == kNoError) s = p->ItemSetText(memo.get(), "Subject", subject);
  if (s == kNoError) s = PrependToBody(memo.get(), body);
  if (s == kNoError && g_headerBlock) s = PrependToBody(memo.get(), *g_headerBlock);
  return s == kNoError ? p->MailTransferMessage(memo.get()) : s;
}

namespace {

// The mail goes on without a memo that could not be sent; the log says so.
void SendOrSay(DbHandle db, std::string_view body, const std::string& addresses, std::string_view subject) {
  if (notesapi::Status s = SendMemo(db, body, addresses, subject); s != kNoError) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::NotificationNotSent), s,
               std::string(NotesToNative(addresses)).c_str());
  }
}

}  // namespace

void SendNotifications(DbHandle db, NoteHandle note, std::string_view suffix) {
  bool any = std::any_of(g_lists.begin(), g_lists.end(), [](const auto& list) { return list.has_value(); });
  // The header names the mail; a recipient's own notice names that
  // recipient alone, so nobody learns who else (a Bcc included) got it.
  auto headerFor = [&](const std::string* onlyRecipient) {
    std::string header;
    auto line = [&](const char* item, const char* label, const char* end) {
      std::string text = onlyRecipient != nullptr && std::string_view(item) == "Recipients"
                             ? *onlyRecipient
                             : MailItemText(note, item, kMaxItemText);
      if (!text.empty()) header += std::string(label) + " : " + text + end;
    };
    line("From", "From", "\n");
    line("SMTPOriginator", "SMTPFrom", "\n");
    line("Recipients", "Recipients", "\n");
    line("Subject", "Subject", "\n\n");
    return header;
  };
  if (any && note != kNullHandle) {
    Trace(Msg::CreatingHeader);
    g_headerBlock = headerFor(nullptr);
  }
  if (any) {
    if (const auto& admins = NotificationList(kAudienceAdministrators)) {
      Trace(Msg::NotifyingAdministrator);
      SendOrSay(db, *admins, General().administrators, Subject(Msg::SubjectToAdministrator, suffix));
    }
    if (const auto& recipients = NotificationList(kAudienceRecipients); recipients && note != kNullHandle) {
      Trace(Msg::NotifyingRecipient);
      std::optional<std::string> full = std::move(g_headerBlock);
      for (const std::string& recipient : AddressPieces(MailItemText(note, "Recipients", kMaxItemText))) {
        g_headerBlock = headerFor(&recipient);
        SendOrSay(db, *recipients, recipient, Subject(Msg::SubjectToRecipient, suffix));
      }
      g_headerBlock = std::move(full);
    }
    if (const auto& sender = NotificationList(kAudienceSender); sender && note != kNullHandle) {
      Trace(Msg::NotifyingSender);
      const char* item = HasItem(note, "SMTPOriginator") ? "SMTPOriginator" : "From";
      SendOrSay(db, *sender, MailItemText(note, item, kMaxItemText), Subject(Msg::SubjectToSender, suffix));
    }
  }
  Trace(Msg::ClearingHeader);
  g_headerBlock.reset();
}

void SendSystemWarning(std::string_view notesLine) {
  // Its own memo, not the lists: a warning raised in the middle of a walk
  // must not take the reports of that very mail with it.
  std::optional<std::string> header = std::move(g_headerBlock);
  g_headerBlock.reset();
  SendOrSay(kNullHandle, notesLine, General().administrators,
            Subject(Msg::SubjectToAdministrator, MessageText(Msg::SystemWarning)));
  g_headerBlock = std::move(header);
}

}  // namespace zul
