#include "notesapi/host/internal/mime_view_role.h"

#include <algorithm>

#include "notesapi/host/internal/mime_conversion.h"
#include "notesapi/host/mime_import.h"
#include "notesapi/item_values.h"
#include "notesapi/rich_text.h"

namespace notesapi::host {

void MimeViewRole::PresentConverted(NoteHandle handle) {
  OpenNote* open = s_.FindNote(handle);
  OpenDatabase* db = open == nullptr ? nullptr : s_.FindDb(open->db);
  if (db == nullptr) return;
  auto& items = open->note.items;
  bool mime = std::any_of(items.begin(), items.end(), [](const auto& i) { return SameName(i.name, "MIME_Version"); });
  if (!mime) return;
  auto readObject = [&](std::string_view name, std::string* data) {
    return ReadAttachmentByName(handle, name, data) ? kNoError : kItemNotFound;
  };
  std::string message;
  std::vector<std::string> partFiles;  // attachments that only hold large part contents
  for (const auto& item : items) {
    uint16_t type = 0;
    if (ValueType(item.value, &type) != kNoError || type != TYPE_MIME_PART) continue;
    std::string partFile;
    if (AppendMimePart(s_.platform, std::string_view(item.value).substr(2), readObject, &message, &partFile) !=
        kNoError) {
      return;
    }
    if (!partFile.empty()) partFiles.push_back(std::move(partFile));
  }
  ConvertedMessage converted;
  if (ConvertMimeMessage(message, &converted) != kNoError) return;
  std::vector<StoredItem> kept;
  for (auto& item : items) {
    uint16_t type = 0;
    (void)ValueType(item.value, &type);  // too short: kept as it is
    if (type == TYPE_MIME_PART || SameName(item.name, "MIME_Version")) continue;
    if (type == TYPE_OBJECT && IsPartFile(item, partFiles)) {
      // Saving the converted note lets the raw part's object go.
      FileObject file;
      if (ParseFileObject(std::string_view(item.value).substr(2), &file) == kNoError) {
        open->note.detachedObjects.push_back(file.header.rrv);
      }
      continue;
    }
    kept.push_back(std::move(item));
  }
  items = std::move(kept);
  CompoundText body{handle, "Body", {}, {}};
  AppendPabDefinition(&body.records, 1);
  for (const std::string& line : converted.textLines) {
    std::string lmbcs;
    if (s_.charsets->Convert(Charset::kUtf8, Charset::kLmbcs, line, &lmbcs) != kNoError) lmbcs = line;
    AppendParagraph(&body.records);
    AppendPabReference(&body.records, 1);
    AppendText(&body.records, kDefaultFontId, lmbcs);
  }
  std::vector<std::string> attached;
  for (const ConvertedFile& file : converted.files) {
    std::string lmbcs;
    if (s_.charsets->Convert(Charset::kUtf8, Charset::kLmbcs, file.name, &lmbcs) != kNoError) lmbcs = file.name;
    // A part that cannot be attached is left out of the view.
    if (AttachData(s_, handle, file.data, lmbcs, 1, false, nullptr) == kNoError) attached.push_back(lmbcs);
  }
  for (const std::string& name : attached) {
    AppendParagraph(&body.records);
    AppendPabReference(&body.records, 1);
    AppendFileHotspot(&body.records, name, name);
  }
  (void)WriteRichTextItems(s_, body);  // the note is open and the records are ours
}

bool MimeViewRole::IsPartFile(const StoredItem& item, const std::vector<std::string>& partFiles) {
  FileObject file;
  std::string_view body = std::string_view(item.value).substr(2);
  if (ParseFileObject(body, &file) != kNoError || body.size() - 36 < file.fileNameLength) return false;
  std::string name(body.substr(36, file.fileNameLength));
  return std::find(partFiles.begin(), partFiles.end(), name) != partFiles.end();
}

bool MimeViewRole::ReadAttachmentByName(NoteHandle handle, std::string_view name, std::string* data) {
  BlockId found;
  if (FindAttachmentItem(s_, handle, name, &found) != kNoError) return false;
  std::string shown;
  return ReadAttachment(s_, handle, *s_.FindItemByBlock(found), &shown, data);
}

}  // namespace notesapi::host
