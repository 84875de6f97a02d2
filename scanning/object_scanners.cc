#include "scanning/object_scanners.h"

#include <algorithm>
#include <optional>

#include "mime/header_fields.h"
#include "notesapi/process_platform.h"
#include "notesapi/stored_structures.h"
#include "mime/transfer_decoding.h"
#include "notesapi/types.h"
#include "base/message_text.h"
#include "base/task_log.h"
#include "base/text_conversions.h"
#include "scanning/object_filters.h"
#include "scanning/scan_steps.h"
#include "scanning/scan_kernel.h"
#include "settings/temporary_paths.h"
#include "settings/settings_records.h"

namespace zul {

using namespace mime;

using namespace notesapi;

namespace {

void FilterOut(ObjectRecord* record, ScanResult result, int level, Msg message) {
  record->result = result;
  record->description = Native(record->objectName);
  if (LogLevelAbove(level)) LogMessage(kTargets, JournalInformation, "%s", 0, MessageText(message));
}

// The filters decided; what the object holds is still learned, so that the
// engine's reading of the whole message knows this object's payload.
void LearnWhatItHolds(ObjectRecord* record) {
  std::string found;
  ScanResult held = KernelScan(PathForFiles(record->scanCopyPath), &found);
  if (held != ResultClean && !found.empty()) record->threatInside = found;
}

const char* HostTypeName(uint16_t host) {
  switch (host) {
    case HOST_MSDOS: return "HOST_MSDOS";
    case HOST_OLE: return "HOST_OLE";
    case HOST_MAC: return "HOST_MAC";
    case HOST_UNKNOWN: return "HOST_UNKNOWN";
    case HOST_HPFS: return "HOST_HPFS";
    case HOST_OLELIB: return "HOST_OLELIB";
    case HOST_BYTEARRAY_EXT: return "HOST_BYTEARRAY_EXT";
    case HOST_BYTEARRAY_PAGE: return "HOST_BYTEARRAY_PAGE";
    case HOST_CDSTORAGE: return "HOST_CDSTORAGE";
    case HOST_STREAM: return "HOST_STREAM";
    default: return "UNKNOWN HOST TYPE";
  }
}

const char* CompressionName(uint16_t compression) {
  if (compression == 0) return "Not compressed";
  if (compression == 1) return "Huffman encoded";
  return "Unknown compress method";
}

// A second name the message gives the same file (kOtherFileNamesItem):
// a client may show it instead, so the filter sees it too.
bool OtherNameMatches(const ObjectRecord& record, const std::string& name, std::string_view filter) {
  Platform* p = ProcessPlatform();
  uint16_t count = p->ItemTextListCount(record.note, kOtherFileNamesItem);
  for (uint16_t i = 0; i < count; ++i) {
    std::string entry;
    if (p->ItemTextListEntry(record.note, kOtherFileNamesItem, i, &entry) != kNoError) continue;
    if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '\t' &&
        MatchesNameFilter(Native(std::string_view(entry).substr(name.size() + 1)), filter)) {
      return true;
    }
  }
  return false;
}

}  // namespace

int WriteBufferToFile(std::u16string_view path, std::string_view data) {
  return ProcessPlatform()->FileWrite(path, data) == kNoError ? 0 : -1;
}

ScannerOutcome ScanRichTextItem(ObjectRecord* record) {
  Platform* p = ProcessPlatform();
  ItemInfo info;
  if (notesapi::Status s = p->ItemQuery(record->item, &info); s != kNoError) {
    LogWriteError(Msg::RichTextWriteFailed, s, *record);
    CommonWriteFailure(record);
    return ScannerOutcome::kResult;
  }
  MemHandle text = kNullHandle;
  uint32_t length = 0;
  if (notesapi::Status s = p->ConvertRichTextToText(info.value, "\n", 65535, &text, &length); s != kNoError) {
    // Rich text that does not convert is damaged: a failed check, not one
    // that merely could not be written out.
    LogWriteError(Msg::RichTextWriteFailed, s, *record);
    CommonWriteFailure(record);
    record->result = ResultFailed;
    return ScannerOutcome::kResult;
  }
  uint8_t* bytes = p->MemLock(text);
  size_t size = bytes == nullptr ? 0 : std::min<size_t>(length, p->MemSize(text));
  std::string_view content(reinterpret_cast<const char*>(bytes), size);
  // A body without text is an empty scan copy, which the kernel calls clean.
  bool readable = bytes != nullptr || length == 0;
  WriteAndScan(record, content, {Msg::RichTextWriteFailed, Msg::RichTextWritten, Msg::RichTextScanned}, readable);
  p->MemUnlock(text);
  (void)p->MemFree(text);
  return ScannerOutcome::kResult;
}

ScannerOutcome ScanOleObject(ObjectRecord* record) {
  Platform* p = ProcessPlatform();
  record->kind = KindOle;
  std::string bytes;
  std::string memory;
  size_t offset = 0;
  OleObjectInfo info;
  notesapi::Status read = ItemBytes(*record, &bytes) ? p->ReadStructure(kStructOleObjectInfo, bytes, &offset, &memory) : kValueTooShort;
  if (read == kNoError) read = ParseOleObjectInfo(memory, &info);
  if (read == kNoError && !(TextAt(bytes, &offset, info.fileObjectNameLength, &record->objectName) &&
                            TextAt(bytes, &offset, info.descriptionLength, &record->oleDescription) &&
                            TextAt(bytes, &offset, info.fieldNameLength, &record->oleFieldName))) {
    read = kValueTooShort;
  }
  record->scanCopyPath = DrawTemporaryPath();
  if (read != kNoError) {
    LogWriteError(Msg::OleWriteFailed, read, *record);
    CommonWriteFailure(record);
    return ScannerOutcome::kResult;
  }
  record->objectName.resize(std::min(record->objectName.size(), kMaxObjectName));
  record->oleDescription.resize(std::min(record->oleDescription.size(), kMaxOleText));
  record->oleFieldName.resize(std::min(record->oleFieldName.size(), kMaxOleText));
  record->oleClass = info.classId;
  if (notesapi::Status s = p->OleWriteObject(record->note, record->objectName, PathForFiles(record->scanCopyPath)); s != kNoError) {
    LogWriteError(Msg::OleWriteFailed, s, *record);
    CommonWriteFailure(record);
    return ScannerOutcome::kResult;
  }
  Trace(kLogFromLevel4, Msg::OleWritten);
  if (Monitor().sizeLimitEnabled) {
    uint64_t size = 0;
    (void)p->FileSize(PathForFiles(record->scanCopyPath), &size);  // it was just written
    uint32_t size32 = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
    if (LogLevelAbove(kLogFromLevel4)) LogMessage(kTargets, JournalInformation, "OLE Size is %d.", 0, static_cast<int>(size32));
    if (IsTooLarge(size32, true, Monitor().sizeLimit)) {
      FilterOut(record, ResultTooLarge, kLogFromLevel1, Msg::ObjectTooLarge);
      return ScannerOutcome::kResult;
    }
  }
  CommonScanStep(record, Msg::OleScanned);
  return ScannerOutcome::kResult;
}

ScannerOutcome ScanAttachment(ObjectRecord* record) {
  Platform* p = ProcessPlatform();
  std::string bytes;
  std::string memory;
  size_t offset = 0;
  ObjectDescriptor descriptor;
  notesapi::Status read = ItemBytes(*record, &bytes) ? p->ReadStructure(kStructObjectDescriptor, bytes, &offset, &memory) : kValueTooShort;
  if (read == kNoError) read = ParseObjectDescriptor(memory, &descriptor);
  if (read == kNoError && descriptor.objectType != 0) return ScannerOutcome::kSkipObject;
  FileObject file;
  offset = 0;
  if (read == kNoError) read = p->ReadStructure(kStructFileObject, bytes, &offset, &memory);
  if (read == kNoError) read = ParseFileObject(memory, &file);
  if (read == kNoError && !TextAt(bytes, &offset, file.fileNameLength, &record->objectName)) read = kValueTooShort;
  if (read != kNoError) {
    // A damaged descriptor hides what the item holds: never a silent pass.
    record->kind = KindAttachment;
    LogWriteError(Msg::FileExtractFailed, read, *record);
    CommonWriteFailure(record);
    return ScannerOutcome::kResult;
  }
  // The filter sees the whole name; only what is kept of it is cut.
  const std::string fullName = record->objectName;
  record->objectName.resize(std::min(record->objectName.size(), kMaxObjectName));
  uint16_t host = file.hostType & 0x0F00;
  uint16_t compression = file.compressionType & 0x000F;
  if (LogLevelAbove(kLogFromLevel3)) {
    LogMessage(kTargets, JournalInformation, MessageText(Msg::FileTrace), 0, Native(record->objectName).c_str(),
               HostTypeName(host), CompressionName(compression), static_cast<int>(file.fileSize));
  }
  if (LogLevelAbove(kLogFromLevel4)) {
    LogMessage(kTargets, JournalInformation, "--- hNote     = 0%04x", 0, record->note);
    LogMessage(kTargets, JournalInformation, "--- ItemValue = 0%04x:0%04x", 0, record->value.block, record->value.pool);
    LogMessage(kTargets, JournalInformation, "--- ItemBlock = 0%04x:0%04x", 0, record->item.block, record->item.pool);
  }
  if (host != HOST_MSDOS && host != HOST_UNKNOWN && host != HOST_HPFS) return ScannerOutcome::kSkipObject;
  record->kind = KindAttachment;
  record->scanCopyPath = DrawTemporaryPath();
  if (LogLevelAbove(kLogFromLevel4)) {
    LogMessage(kTargets, JournalInformation, "Try to NSFNoteExtractFile %s.", 0, Native(record->scanCopyPath).c_str());
  }
  if (notesapi::Status s = p->ExtractFile(record->note, record->item, PathForFiles(record->scanCopyPath)); s != kNoError) {
    if (IsError(s, kAttachmentEncrypted)) {
      record->result = KernelOptions().encryptedObjects ? ResultClean : ResultNotProcessed;
      record->description = MessageText(Msg::AttachmentEncrypted);
      return ScannerOutcome::kResult;
    }
    LogWriteError(Msg::FileExtractFailed, s, *record);
    CommonWriteFailure(record);
    return ScannerOutcome::kResult;
  }
  Trace(kLogFromLevel4, Msg::FileWritten);
  if (file.flags & kFileFlagEncryptedContent) {
    // Sent encrypted to its recipient: no scanner reads it.
    record->result = ResultProtected;
    record->description = kEncryptedContentName;
    return ScannerOutcome::kResult;
  }
  if (file.flags & kFileFlagWholeMessage) {
    record->wholeMessage = true;
    CommonScanStep(record, Msg::FileScanned);
    return ScannerOutcome::kResult;
  }
  if (file.flags & kFileFlagBodySource) {
    // The body as a browser gets it: no attachment, so no filter takes it;
    // a finding in it takes the body.
    record->bodySource = true;
    CommonScanStep(record, Msg::FileScanned);
    return ScannerOutcome::kResult;
  }
  const MonitorSettings& monitor = Monitor();
  if (IsTooLarge(file.fileSize, monitor.sizeLimitEnabled != 0, monitor.sizeLimit)) {
    FilterOut(record, ResultTooLarge, kLogFromLevel1, Msg::ObjectTooLarge);
    return ScannerOutcome::kResult;
  }
  if (IsExcludedByType(PathForFiles(record->scanCopyPath), monitor.typeFilter)) {
    FilterOut(record, ResultFilteredByType, kLogFromLevel1, Msg::FilteredByType);
    LearnWhatItHolds(record);
    return ScannerOutcome::kResult;
  }
  if (MatchesNameFilter(Native(fullName), monitor.nameFilter) || OtherNameMatches(*record, fullName, monitor.nameFilter)) {
    FilterOut(record, ResultFilteredByName, kLogFromLevel1, Msg::FilteredByName);
    LearnWhatItHolds(record);
    return ScannerOutcome::kResult;
  }
  CommonScanStep(record, Msg::FileScanned);
  // Content nested past the MIME reader's limit was read as plain bytes, not
  // as the mail it is: a finding stands, a clean verdict does not.
  if ((file.flags & kFileFlagUnsplit) && record->result == ResultClean) {
    record->result = ResultNotProcessed;
    record->description = MessageText(Msg::NestedTooDeep);
  }
  return ScannerOutcome::kResult;
}

ScannerOutcome ScanScriptObject(ObjectRecord* record) {
  std::string bytes;
  bool readable = ItemBytes(*record, &bytes);
  WriteAndScan(record, bytes, {Msg::FileExtractFailed, Msg::LsWritten, Msg::LsScanned}, readable);
  return ScannerOutcome::kResult;
}

}  // namespace zul
