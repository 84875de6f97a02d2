#include "records/quarantine.h"

#include <cstdio>
#include <optional>
#include <string>

#include "base/server_variables.h"
#include "notesapi/process_platform.h"
#include "notesapi/rich_text.h"
#include "records/mail_items.h"
#include "base/message_text.h"
#include "records/notifications.h"
#include "base/task_log.h"
#include "base/text_conversions.h"
#include "settings/temporary_paths.h"
#include "settings/settings_records.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr size_t kMaxMailItemText = 10239;
constexpr size_t kOleFieldBlock = 65406;
constexpr uint32_t kQuarantineFontId = 1u | 0u << 8 | 0u << 16 | 10u << 24;

struct QuarantineContext {
  DbHandle db = kNullHandle;
  NoteHandle note = kNullHandle;
  DbHandle mailDb = kNullHandle;
  NoteId noteId = 0;
  std::optional<std::string> listText;
};

QuarantineContext& Context() {
  static QuarantineContext context;
  return context;
}

void LogError(Msg message, notesapi::Status status) {
  LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, "%s", status, MessageText(message));
}

// Closing only lets go of handles: what was saved stays saved.
void CloseDocumentAndDatabase() {
  Platform* p = ProcessPlatform();
  QuarantineContext& q = Context();
  if (q.note != kNullHandle) (void)p->NoteClose(q.note);
  if (q.db != kNullHandle) (void)p->DbClose(q.db);
  q.note = kNullHandle;
  q.db = kNullHandle;
}

notesapi::Status WriteAddressList(NoteHandle mail, const char* from, const char* to) {
  Platform* p = ProcessPlatform();
  NoteHandle note = Context().note;
  bool first = true;
  for (const std::string& piece : AddressPieces(MailItemText(mail, from, kMaxMailItemText))) {
    notesapi::Status s = first ? p->ItemCreateTextList(note, to, piece) : p->ItemAppendTextList(note, to, piece, false);
    if (s != kNoError) return s;
    first = false;
  }
  return first ? p->ItemSetText(note, to, "") : kNoError;
}

void PutLe16(std::string* out, uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}

// Appends one record if it fits into the rest of the block.
bool AppendRecord(std::string* block, uint16_t signature, const std::string& body) {
  std::string record;
  PutLe16(&record, signature);
  PutLe16(&record, static_cast<uint16_t>(4 + body.size()));
  record += body;
  if (record.size() % 2) record.push_back('\0');
  if (block->size() + record.size() > kOleFieldBlock) return false;
  block->append(record);
  return true;
}

// The rich-text field that shows an OLE object: begin, its name, end.
notesapi::Status AppendOleField(NoteHandle note, const ObjectRecord& record, const std::string& className) {
  std::string begin;
  PutLe16(&begin, 2);  // version
  PutLe16(&begin, 0x11);
  PutLe16(&begin, 0);  // flags, high word
  PutLe16(&begin, 8);  // clipboard format
  PutLe16(&begin, static_cast<uint16_t>(record.objectName.size()));
  PutLe16(&begin, static_cast<uint16_t>(className.size()));
  PutLe16(&begin, 0);
  begin += record.objectName + className;
  std::string text;
  PutLe16(&text, static_cast<uint16_t>(kQuarantineFontId & 0xFFFF));
  PutLe16(&text, static_cast<uint16_t>(kQuarantineFontId >> 16));
  text += record.objectName;
  std::string end(4, '\0');
  std::string block;
  PutLe16(&block, TYPE_COMPOSITE);
  if (!AppendRecord(&block, SIG_CD_OLEBEGIN, begin) || !AppendRecord(&block, SIG_CD_TEXT, text) ||
      !AppendRecord(&block, SIG_CD_OLEEND, end)) {
    return kBadArgument;
  }
  return ProcessPlatform()->ItemAppend(note, 0, record.oleFieldName, block, nullptr);
}

std::string ClassIdText(const std::array<uint8_t, 16>& id) {
  char text[40];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id[3], id[2],
                id[1], id[0], id[5], id[4], id[7], id[6], id[8], id[9], id[10], id[11], id[12], id[13], id[14], id[15]);
  return text;
}

notesapi::Status CopyWholeMessage(NoteHandle mail) {
  Platform* p = ProcessPlatform();
  QuarantineContext& q = Context();
  CloseDocumentAndDatabase();
  if (notesapi::Status s = OpenQuarantineDocument(mail, 0, kNullHandle); s != kNoError) return s;
  NoteHandle stored = kNullHandle;
  if (notesapi::Status s = p->NoteOpen(q.mailDb, q.noteId, kOpenRawMime, &stored); s != kNoError) return s;
  ItemInfo item;
  notesapi::Status s = p->ItemInfoFirst(stored, &item);
  notesapi::Status copied = kNoError;
  for (; s == kNoError && copied == kNoError; s = p->ItemInfoNext(stored, item.item, {}, &item)) {
    copied = p->ItemCopy(q.note, item.item);  // a whole copy or none: the mail is released on its strength
  }
  (void)p->NoteClose(stored);  // read only
  if (copied != kNoError) return copied;
  return IsError(s, kItemNotFound) ? kNoError : s;
}

}  // namespace

notesapi::Status OpenQuarantineDocument(NoteHandle mail, NoteId noteId, DbHandle mailDb) {
  Platform* p = ProcessPlatform();
  QuarantineContext& q = Context();
  std::string server = MailServerName();
  const std::string& path = Variables().quarantineDatabase;
  if (notesapi::Status s = p->DbOpen(path, &q.db); s != kNoError) {
    q.db = kNullHandle;
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::QuarantineOpenFailed), s, path.c_str());
    return s;
  }
  if (notesapi::Status s = p->NoteCreate(q.db, &q.note); s != kNoError) {
    q.note = kNullHandle;
    LogError(Msg::QuarantineDocumentFailed, s);
    CloseDocumentAndDatabase();
    return s;
  }
  if (mailDb != kNullHandle) {
    q.mailDb = mailDb;
    q.noteId = noteId;
    q.listText.reset();
  }
  // Who sent the mail to whom, and when: a document without them cannot be
  // released or purged, so it is not made.
  std::string sender = MailItemText(mail, "SMTPOriginator", kMaxMailItemText);
  if (sender.empty()) sender = MailItemText(mail, "From", kMaxMailItemText);
  notesapi::Status s = p->ItemSetTime(q.note, "qmDateCreate", p->TimeNow());
  if (s == kNoError) s = p->ItemSetText(q.note, "Form", "QuarantinedMemo");
  if (s == kNoError) s = p->ItemSetText(q.note, "qmServer", server);
  if (s == kNoError) s = p->ItemSetText(q.note, "qmSender", sender);
  for (auto [from, to] : {std::pair{"Recipients", "qmRecipients"}, std::pair{"SendTo", "qmSendTo"},
                          std::pair{"CopyTo", "qmCopyTo"}, std::pair{"BlindCopyTo", "qmBlindCopyTo"}}) {
    if (s == kNoError) s = WriteAddressList(mail, from, to);
  }
  if (s != kNoError) {
    LogError(Msg::QuarantineDocumentFailed, s);
    CloseDocumentAndDatabase();
    return s;
  }
  return p->ItemSetText(q.note, "qmSubject", MailItemText(mail, "Subject", kMaxMailItemText));
}

notesapi::Status AddToQuarantine(const ObjectRecord& record) {
  Platform* p = ProcessPlatform();
  QuarantineContext& q = Context();
  if (record.quarantine) {
    if (!q.listText) q.listText = std::string(NativeToNotes(MessageText(Msg::QuarantineDeliveredHeader)));
    q.listText->append(record.reportText);
  }
  notesapi::Status s = kInvalidHandle;  // no quarantine document: the add fails
  if (record.kind == KindText) {
    if (q.note != kNullHandle) s = p->ItemCopy(q.note, record.item);
    if (s != kNoError && LogLevelAbove(kLogFromLevel4)) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, "Error NSFItemCopy", s);
    }
    return s;
  }
  if (record.kind == KindOle) {
    if (LogLevelAbove(kLogFromLevel4)) LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, "Append OLE to quarantine.", 0);
    if (q.note != kNullHandle) {
      s = p->OleInsertObject(q.note, PathForFiles(record.scanCopyPath), record.objectName, record.oleClass,
                             record.oleDescription, record.oleFieldName);
    }
    if (s == kNoError) {
      std::string progId;
      if (p->ClassToProgId(ClassIdText(record.oleClass), &progId) != kNoError) progId.clear();
      progId.resize(std::min<size_t>(progId.size(), 259));
      return AppendOleField(q.note, record, progId);
    }
  } else if (q.note != kNullHandle) {
    uint64_t size = 0;
    std::u16string copy = PathForFiles(record.scanCopyPath);
    // An object that could not be written out is kept as the item it is.
    bool written = !record.scanCopyPath.empty() && p->FileSize(copy, &size) == kNoError;
    s = written ? p->AttachFile(q.note, copy, record.objectName, 1, false, nullptr) : p->ItemCopy(q.note, record.item);
    if (s == kNoError) return kNoError;
  }
  LogError(Msg::QuarantineObjectFailed, s);
  return s;
}

notesapi::Status CloseQuarantineDocument(NoteHandle mail, bool /*mime*/) {
  Platform* p = ProcessPlatform();
  QuarantineContext& q = Context();
  if (!q.listText) {
    CloseDocumentAndDatabase();
    return kNoError;
  }
  if (Monitor().quarantineBody) {
    if (notesapi::Status s = CopyWholeMessage(mail); s != kNoError) {
      CloseDocumentAndDatabase();  // never left open after a failed copy
      q.listText.reset();
      return s;
    }
  }
  q.listText->append(NativeToNotes(MessageText(Msg::QuarantineOriginalObjects)));
  notesapi::Status saved = kInvalidHandle;
  if (q.note != kNullHandle) {
    CompoundTextHandle rich = kNullHandle;
    // The list of reports is for the reader; the objects it names are what
    // the copy promises, so a list that cannot be written is left out.
    if (TextToRichText(*q.listText, &rich) == kNoError) {
      (void)p->CompoundTextAssimilateItem(rich, q.note, "qmBody");
      (void)p->ItemDelete(q.note, "qmBody");
      MemHandle buffer = kNullHandle;
      uint32_t length = 0;
      std::u16string file;
      if (p->CompoundTextClose(rich, &buffer, &length, &file) == kNoError) {
        if (buffer != kNullHandle) {
          (void)p->ItemAppendFromMemory(q.note, 0, "qmBody", buffer, length);
          (void)p->MemFree(buffer);
        }
        if (!file.empty()) (void)p->FileDelete(file);
      }
    }
    saved = p->NoteUpdate(q.note, kUpdateForce);
  }
  if (saved != kNoError) LogError(Msg::QuarantineDocumentFailed, saved);
  q.listText.reset();
  CloseDocumentAndDatabase();
  return saved;  // the copies the reports promise exist only once saved
}

}  // namespace zul
