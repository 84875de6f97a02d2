#include "scanning/scan_driver.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "base/server_variables.h"
#include "notesapi/process_platform.h"
#include "base/held_mail_items.h"
#include "base/journal_records.h"
#include "records/mail_items.h"
#include "base/message_text.h"
#include "records/notifications.h"
#include "records/outbreak_monitor.h"
#include "records/quarantine.h"
#include "base/task_log.h"
#include "base/text_conversions.h"
#include "scanning/object_record.h"
#include "scanning/object_scanners.h"
#include "scanning/scan_steps.h"
#include "settings/temporary_paths.h"
#include "settings/settings_records.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr uint32_t kTargets = LOG_FILE | LOG_CONSOLE;
constexpr size_t kMaxSender = 1023;

struct DataTypeNameEntry {
  uint16_t type;
  const char* name;
};

constexpr DataTypeNameEntry kDataTypeNames[] = {
    {0x100, "TYPE_ERROR"},         {0x200, "TYPE_UNAVAILABLE"},     {0x500, "TYPE_TEXT"},
    {0x501, "TYPE_TEXT_LIST"},     {0x300, "TYPE_NUMBER"},          {0x301, "TYPE_NUMBER_RANGE"},
    {0x400, "TYPE_TIME"},          {0x401, "TYPE_TIME_RANGE"},      {0x600, "TYPE_FORMULA"},
    {0x700, "TYPE_USERID"},        {0, "TYPE_INVALID_OR_UNKNOWN"},  {1, "TYPE_COMPOSITE"},
    {2, "TYPE_COLLATION"},         {3, "TYPE_OBJECT"},              {4, "TYPE_NOTEREF_LIST"},
    {5, "TYPE_VIEW_FORMAT"},       {6, "TYPE_ICON"},                {7, "TYPE_NOTELINK_LIST"},
    {8, "TYPE_SIGNATURE"},         {9, "TYPE_SEAL"},                {10, "TYPE_SEALDATA"},
    {11, "TYPE_SEAL_LIST"},        {12, "TYPE_HIGHLIGHTS"},         {13, "TYPE_WORKSHEET_DATA"},
    {14, "TYPE_USERDATA"},         {15, "TYPE_QUERY"},              {16, "TYPE_ACTION"},
    {17, "TYPE_ASSISTANT_INFO"},   {18, "TYPE_VIEWMAP_DATASET"},    {19, "TYPE_VIEWMAP_LAYOUT"},
    {20, "TYPE_LSOBJECT"},         {21, "TYPE_HTML"},               {25, "TYPE_MIME_PART"},
    {0x502, "TYPE_RFC822_TEXT"},
};

void Log(int level, uint16_t type, Msg message, notesapi::Status status = 0) {
  if (level == kLogAlways || LogLevelAbove(level)) LogMessage(kTargets, type, "%s", status, MessageText(message));
}

void Trace(const char* text, notesapi::Status status = 0, uint16_t type = JournalInformation) {
  LogMessage(kTargets, type, "%s", status, text);
}

class DocumentScan {
 public:
  DocumentScan(DbHandle db, NoteHandle note, uint8_t mask, NoteId noteId)
      : p_(ProcessPlatform()), db_(db), note_(note), mask_(mask), noteId_(noteId) {}

  NoteHandle note() const { return note_; }

  notesapi::Status Run() {
    mime_ = HasItem(note_, "MIME_Version");
    if (mime_) ReopenConverted();
    ClearNotifications();
    (void)OpenQuarantineDocument(note_, noteId_, db_);  // a missing quarantine shows in the adds
    ItemInfo item;
    notesapi::Status s = p_->ItemInfoFirst(note_, &item);
    if (s != kNoError && !IsError(s, kItemNotFound)) {
      Log(kLogAlways, JournalError, Msg::ItemAccessError, s);
      return ErrorExit(s);
    }
    record_ = ObjectRecord();
    record_.note = note_;
    record_.db = db_;
    while (s == kNoError) {
      HandleItem(item);
      s = p_->ItemInfoNext(note_, item.item, {}, &item);
      if (s != kNoError && !IsError(s, kItemNotFound)) {
        Log(kLogAlways, JournalError, Msg::NextItemAccessError, s);
        return ErrorExit(s);
      }
    }
    return FinalPhase();
  }

 private:
  void ReopenConverted() {
    NoteInfo info;
    (void)p_->NoteGetInfo(note_, &info);  // the note is open
    if (LogLevelAbove(kLogFromLevel3)) Trace("ReOpen MIME NOTE");
    if (notesapi::Status s = p_->NoteClose(note_); s != kNoError) {
      Trace("ERROR CD-CONVERT NOTE(2)", s, JournalError);
      return;
    }
    note_ = kNullHandle;
    if (notesapi::Status s = p_->NoteOpenByUnid(db_, info.unid, 0, &note_); s == kNoError) return;
    else Trace("ERROR CD-CONVERT NOTE(3)", s, JournalError);
    note_ = kNullHandle;
    if (LogLevelAbove(kLogFromLevel3)) LogMessage(kTargets, JournalInformation, "H_NOTE_BEFORE 0x%08x", 0, note_);
    // The stored parts are scanned instead, raw.
    if (notesapi::Status s = p_->NoteOpen(db_, noteId_, kOpenRawMime, &note_); s != kNoError) {
      note_ = kNullHandle;
      Trace("ERROR CD-CONVERT NOTE(4)", s, JournalError);
    }
    if (LogLevelAbove(kLogFromLevel3)) LogMessage(kTargets, JournalInformation, "H_NOTE_AFTRER 0x%08x", 0, note_);
  }

  void PrepareRecord(const ItemInfo& item) {
    record_.valueLength = item.valueLength;
    record_.value = item.value;
    record_.item = item.item;
    record_.kind = KindOther;
    record_.result = ResultClean;
    record_.description.clear();
    record_.reportText.clear();
    record_.scanCopyPath.clear();
    record_.bodySource = false;
    record_.wholeMessage = false;
    record_.threatInside.clear();
  }

  void DrawPaths() { record_.scanCopyPath = DrawTemporaryPath(); }

  void HandleItem(const ItemInfo& item) {
    PrepareRecord(item);
    ItemInfo named;
    std::string name = p_->ItemQuery(item.item, &named) == kNoError ? named.name : item.name;
    name.resize(std::min(name.size(), kMaxObjectName));
    record_.objectName = name;
    ScannerOutcome scanned = ScannerOutcome::kResult;
    if (name.find("$OLEOBJINFO") != std::string::npos) {
      if (!(mask_ & MonitorOle)) return;
      scanned = ScanOleObject(&record_);
    } else {
      switch (item.type) {
        case TYPE_COMPOSITE:
          if (!(mask_ & MonitorBody)) {
            if (Monitor().quarantineBody) {
              record_.quarantine = 0;
              record_.kind = KindText;
              (void)AddToQuarantine(record_);  // a courtesy copy of a body that passes unscanned by choice
            }
            return;
          }
          record_.kind = KindText;
          DrawPaths();
          if (name == "Body") bodyItems_.push_back(item.item);
          scanned = ScanRichTextItem(&record_);
          break;
        case TYPE_OBJECT:
          if (!(mask_ & MonitorAttachments)) return;
          scanned = ScanAttachment(&record_);
          break;
        case TYPE_LSOBJECT:
          if (!(mask_ & MonitorScripts)) return;
          record_.kind = KindScript;
          DrawPaths();
          scanned = ScanScriptObject(&record_);
          break;
        case TYPE_MIME_PART:
          if (!(mask_ & MonitorBody)) return;
          record_.kind = KindMimePart;
          DrawPaths();
          scanned = ScanMimePart(&record_);
          break;
        default:
          if (LogLevelAbove(kLogFromLevel3)) {
            LogMessage(kTargets, JournalInformation, MessageText(Msg::TypeNotSupported), 0, DataTypeName(item.type),
                       std::string(NotesToNative(name)).c_str());
          }
          return;
      }
    }
    if (scanned == ScannerOutcome::kSkipObject) {
      DeleteCopy();
      return;
    }
    if (record_.bodySource) {
      ReactToBodySource();
      return;
    }
    if (record_.wholeMessage) {
      wholeMessage_ = record_;  // judged once every other object was
      return;
    }
    if (record_.kind == KindAttachment) attachments_.emplace_back(record_.item, record_.objectName);
    ReactToResult();
  }

  // The body's HTML source, which the converted view shows as a file: a
  // finding there takes the body, as a finding in its text would.
  void ReactToBodySource() {
    size_t queued = queue_.size();
    ReactToResult();
    if (queue_.size() == queued) return;
    bodyTaken_ = true;
    queue_.back().kind = KindText;  // the source goes with the body, without a placeholder
  }

  // The engine's own reading of the whole message found what no object of
  // the view showed (a reading the view does not take): the body and every
  // attachment go, since any of them may hold it, and the report says why.
  void JudgeWholeMessage() {
    if (!wholeMessage_) return;
    record_ = *wholeMessage_;
    wholeMessage_.reset();
    bool detection = record_.result == ResultInfected || record_.result == ResultSuspicious;
    bool seen = std::find(found_.begin(), found_.end(), record_.description) != found_.end();
    if (!detection || seen) {
      DeleteCopy();
      return;
    }
    size_t queued = queue_.size();
    ReactToResult();
    if (queue_.size() == queued) return;
    queue_.back().kind = KindText;  // the message itself is no part to put a placeholder in
    bodyTaken_ = true;
    ObjectRecord removal = queue_.back();
    removal.kind = KindAttachment;
    removal.action = ActionDelete;
    for (const auto& [item, name] : attachments_) {
      bool already = std::any_of(queue_.begin(), queue_.end(), [&](const ObjectRecord& r) {
        return r.item.pool == item.pool && r.item.block == item.block;
      });
      removal.item = item;
      removal.objectName = name;
      if (!already) queue_.push_back(removal);
    }
  }

  // A body taken for a finding in its source goes whole: every body item
  // the walk met, each once.
  void QueueBodyRemoval() {
    if (!bodyTaken_ || queue_.empty()) return;
    ObjectRecord removal = queue_.back();
    removal.kind = KindText;
    removal.action = ActionDelete;
    for (BlockId body : bodyItems_) {
      bool already = std::any_of(queue_.begin(), queue_.end(), [&](const ObjectRecord& r) {
        return r.kind == KindText && r.item.pool == body.pool && r.item.block == body.block;
      });
      removal.item = body;
      if (!already) queue_.push_back(removal);
    }
  }

  void ReactToResult() {
    ReportScanEvent(record_.result, record_.description);
    int32_t result = record_.result >= 0 && record_.result < static_cast<int32_t>(kObjectActionCount) ? record_.result
                                                                                                     : ResultFailed;
    const ObjectActionEntry entry = ObjectActions()[static_cast<size_t>(result)];
    record_.quarantine = entry.quarantine;
    record_.action = entry.action;
    Log(kLogFromLevel4, JournalInformation, Msg::FillingObjectTemplate);
    FillReportTemplate(entry.stampText, &record_);
    if (LogLevelAbove(kLogFromLevel4)) {
      LogMessage(kTargets, JournalInformation, MessageText(Msg::TemplateTrace), 0,
                 std::string(NotesToNative(record_.reportText)).c_str());
    }
    if (record_.result != ResultClean) found_.push_back(record_.description);
    if (record_.result == ResultInfected || record_.result == ResultSuspicious) threats_.push_back(record_.description);
    if (!record_.threatInside.empty()) found_.push_back(record_.threatInside);
    // Every object that needs removal or replacement is queued: none may
    // reach the recipient because others came first.
    bool queued = record_.action == ActionDelete || record_.action == ActionReplaceCured;
    if (queued) queue_.push_back(record_);
    if (record_.quarantine) {
      if (notesapi::Status s = AddToQuarantine(record_); s != kNoError) QuarantineFailed(s);
    } else if (Monitor().quarantineBody) {
      (void)AddToQuarantine(record_);  // kept only beside an object whose reaction asks for a copy
    }
    Log(kLogFromLevel4, JournalInformation, Msg::BuildingNotificationLists);
    if (entry.notifyFlags & AddToBody) {
      if (!bodyReport_) bodyReport_.emplace();
      bodyReport_->append(record_.reportText);
    }
    if (entry.notifyFlags & NotifySender) AppendNotification(kAudienceSender, record_.reportText);
    if (entry.notifyFlags & NotifyRecipients) AppendNotification(kAudienceRecipients, record_.reportText);
    if (entry.notifyFlags & NotifyAdmin) AppendNotification(kAudienceAdministrators, record_.reportText);
    if (entry.notifyFlags & RecordStatistics) {
      std::string sender = MailItemText(note_, "SMTPOriginator", kMaxSender);
      if (sender.empty()) sender = MailItemText(note_, "From", kMaxSender);
      if (notesapi::Status s = WriteVirusRecord(Variables().statDatabase, static_cast<uint16_t>(entry.recordType),
                                      record_.description, sender);
          s != kNoError) {
        // The mail does not wait for its statistics; the lost record is said.
        LogMessage(LOG_FILE | LOG_CONSOLE, JournalTaskFault, "%s", s, MessageText(Msg::JournalRecordFailed));
      }
    }
    Log(kLogFromLevel4, JournalInformation, Msg::DeletingFile);
    DeleteCopy();
  }

  // A copy that cannot be deleted now is removed at the task's next start.
  void DeleteCopy() {
    if (!record_.scanCopyPath.empty()) (void)p_->FileDelete(PathForFiles(record_.scanCopyPath));
  }

  notesapi::Status Attach(const std::u16string& file, const std::string& name) {
    return p_->AttachFile(note_, file, name, 1, false, nullptr);
  }

  // No engine here cures, so a replacement puts the placeholder where the
  // object was, as a removal does; an OLE object simply goes.
  notesapi::Status ApplyReplacement(const ObjectRecord& r) {
    std::u16string placeholder = PathForFiles(NativeToNotes(Variables().placeholderFile));
    if (r.kind == KindOle) return p_->OleRemoveObject(note_, r.objectName);
    bool removal = r.action == ActionDelete;
    if (removal && r.kind == KindMimePart) {
      mimePartRemoved_ = true;
      if (LogLevelAbove(kLogFromLevel3)) {
        LogMessage(kTargets, JournalInformation, "MIME PART NAMED %s", 0, std::string(NotesToNative(r.objectName)).c_str());
      }
    }
    if (notesapi::Status s = p_->ItemDeleteByBlock(note_, r.item); s != kNoError) return s;
    return removal && r.kind == KindText ? kNoError : Attach(placeholder, r.objectName);
  }

  // A copy the reaction asks for could not be made: the object must not be
  // removed without it, so the mail stays held and the administrators learn
  // which quarantine database failed.
  void QuarantineFailed(notesapi::Status s) {
    if (failed_ == kNoError) failed_ = s;
    LogMessage(kTargets | LOG_ADMIN, JournalError, MessageText(Msg::QuarantineCopyFailed), s,
               Variables().quarantineDatabase.c_str(), noteId_);
  }

  // Every change is made in memory first and saved once; a step that fails
  // leaves the stored mail as it was, held, for the next attempt. The memos
  // go only after the save, so a retry never sends them twice.
  notesapi::Status FinalPhase() {
    JudgeWholeMessage();
    if (failed_ != kNoError) return ErrorExit(failed_);
    QueueBodyRemoval();
    Log(kLogFromLevel4, JournalInformation, Msg::RemovingInfectedObjects);
    for (const ObjectRecord& r : queue_) {
      if (notesapi::Status s = ApplyReplacement(r); s != kNoError) {
        LogMessage(kTargets, JournalError, "Object %s not removed", s, std::string(NotesToNative(r.objectName)).c_str());
        return ErrorExit(s);
      }
    }
    Log(kLogFromLevel4, JournalInformation, Msg::ClosingQuarantine);
    if (notesapi::Status s = CloseQuarantineDocument(note_, mime_); s != kNoError) {
      QuarantineFailed(s);
      return ErrorExit(s, false);
    }
    if (bodyReport_) {
      Log(kLogFromLevel4, JournalInformation, Msg::FillingMailBody);
      if (!mimePartRemoved_) {
        if (notesapi::Status s = FillMessageBody(note_, *bodyReport_, mime_); s != kNoError) {
          LogMessage(kTargets, JournalError, "Report not written into document 0x%04x", s, noteId_);
          return ErrorExit(s, false);
        }
      }
    }
    bool told = false;
    if (notesapi::Status s = TellTheMilter(&told); s != kNoError) return ErrorExit(s, false);
    if (!queue_.empty() || bodyReport_ || told) {
      if (notesapi::Status s = p_->NoteUpdate(note_, kUpdateForce); s != kNoError) {
        // The stored note still holds what the scan removed: it must not be
        // released.
        LogMessage(kTargets, JournalError, MessageText(Msg::ScanDocumentSendFailed), s, note_);
        return ErrorExit(s, false);
      }
      if (LogLevelAbove(kLogFromLevel3)) LogMessage(kTargets, JournalInformation, MessageText(Msg::ScanDocumentProcessed), 0, note_);
    } else if (LogLevelAbove(kLogFromLevel4)) {
      LogMessage(kTargets, JournalInformation, "Note 0x%04x passed w/o update.", 0, note_);
    }
    Log(kLogFromLevel4, JournalInformation, Msg::SendingNotifications);
    SendNotifications(db_, note_, MessageText(Msg::ScanReport));
    Log(kLogFromLevel4, JournalInformation, Msg::FreeingNotificationLists);
    ClearNotifications();
    return kNoError;
  }

  // Mail the milter waits for carries what was found, for the SMTP reply;
  // when that reply refuses the mail, it is the sender's notice. *told when
  // the document gained the list and must be saved; a list that cannot be
  // written keeps the mail held, since a refusal needs its reason.
  notesapi::Status TellTheMilter(bool* told) {
    if (threats_.empty() || !HasItem(note_, kMilterOwnerItem)) return kNoError;
    notesapi::Status s = p_->ItemCreateTextList(note_, kMilterThreatsItem, threats_.front());
    for (size_t i = 1; s == kNoError && i < threats_.size(); ++i) {
      s = p_->ItemAppendTextList(note_, kMilterThreatsItem, threats_[i], false);
    }
    if (s != kNoError) return s;
    if (Variables().milterReject) ClearNotification(kAudienceSender);
    *told = true;
    return kNoError;
  }

  // The walk could not finish: nothing is removed, notified or saved, and
  // the failure goes back so that the document stays held.
  notesapi::Status ErrorExit(notesapi::Status failure, bool closeQuarantine = true) {
    if (closeQuarantine) (void)CloseQuarantineDocument(note_, mime_);  // the failure that ends the run is reported
    ClearNotifications();
    return failure;
  }

  Platform* p_;
  DbHandle db_;
  NoteHandle note_;
  uint8_t mask_;
  NoteId noteId_;
  bool mime_ = false;
  bool mimePartRemoved_ = false;
  std::vector<BlockId> bodyItems_;  // the rich-text body as presented
  bool bodyTaken_ = false;          // a finding in the body's source
  std::optional<ObjectRecord> wholeMessage_;  // the engine's reading of the message as sent
  std::vector<std::pair<BlockId, std::string>> attachments_;  // every attachment the walk met, by item and name
  std::vector<std::string> found_;            // what the walk found, by name
  std::vector<std::string> threats_;          // of that, what is infected or suspicious
  notesapi::Status failed_ = kNoError;
  ObjectRecord record_;
  std::vector<ObjectRecord> queue_;
  std::optional<std::string> bodyReport_;
};

}  // namespace

double MailTimeLimitSeconds() {
  int32_t seconds = ProcessPlatform()->IniGetNumber("ZulMailMonitorMailTimeLimit");
  return seconds > 0 ? seconds : kDefaultMailTimeLimitSeconds;
}

const char* DataTypeName(uint16_t type) {
  for (const DataTypeNameEntry& entry : kDataTypeNames) {
    if (entry.type == type) return entry.name;
  }
  return "UNKNOWN DATA TYPE";
}

notesapi::Status ScanMailDocument(DbHandle db, NoteHandle* note, uint8_t monitoredObjects, NoteId noteId) {
  DocumentScan scan(db, *note, monitoredObjects, noteId);
  StartMailClock(MailTimeLimitSeconds());
  notesapi::Status s = scan.Run();
  StopMailClock();
  *note = scan.note();
  return s;
}

}  // namespace zul
