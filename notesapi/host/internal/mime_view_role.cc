#include "notesapi/host/internal/mime_view_role.h"

#include <algorithm>

#include "notesapi/host/internal/mime_conversion.h"
#include "notesapi/host/internal/mime_write_back.h"
#include "notesapi/host/internal/spooled_file.h"
#include "notesapi/host/mime_import.h"
#include "notesapi/item_values.h"
#include "notesapi/rich_text.h"

namespace notesapi::host {

namespace {

// A file name of the view: control bytes would cut it short in places.
std::string CleanName(std::string name) {
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  return name.empty() ? std::string("part.dat") : name;
}

// Two attachments of one name get internal names of their own ("a~2.txt"),
// so each can be found, removed or replaced alone; readers see the name
// the message gave.
std::string UniqueName(const std::string& name, const std::vector<std::string>& used) {
  auto taken = [&](const std::string& candidate) {
    return std::any_of(used.begin(), used.end(), [&](const std::string& u) { return SameName(u, candidate); });
  };
  if (!taken(name)) return name;
  size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string::npos) dot = name.size();
  for (int n = 2;; ++n) {
    std::string candidate = name.substr(0, dot) + "~" + std::to_string(n) + name.substr(dot);
    if (!taken(candidate)) return candidate;
  }
}

// Tells the scanner what the view knows of a file that its bytes do not
// say: that nothing read it as what it is, that it is the body's source, or
// that it is encrypted.
void MarkFile(StoredItem* item, uint16_t flags) {
  FileObject file;
  if (item == nullptr || ParseFileObject(std::string_view(item->value).substr(2), &file) != kNoError) return;
  file.flags |= flags;
  item->value.replace(2, 36, EncodeFileObject(file));
}

constexpr char kWholeMessageName[] = "Message (as sent)";
constexpr size_t kLargestWholeReading = size_t{32} << 20;

}  // namespace

Status MimeViewRole::Rebuild(NoteHandle handle, std::string* message, std::vector<std::string>* partFiles) {
  OpenNote* open = s_.FindNote(handle);
  auto readObject = [&](std::string_view name, std::string* data) {
    return AppendAttachmentByName(handle, name, data) ? kNoError : kItemNotFound;
  };
  for (const auto& item : open->note.items) {
    uint16_t type = 0;
    if (ValueType(item.value, &type) != kNoError || type != TYPE_MIME_PART) continue;
    std::string partFile;
    if (Status st = AppendMimePart(s_.platform, std::string_view(item.value).substr(2), readObject, message, &partFile);
        st != kNoError) {
      return st;
    }
    if (!partFile.empty()) partFiles->push_back(std::move(partFile));
  }
  return kNoError;
}

namespace {

constexpr size_t kConvertedPieceBytes = 1 << 20;

// The length of the first piece of `text` of at most `limit` bytes that
// ends on a character boundary (the whole text when it is shorter).
size_t Utf8PieceLength(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut > 0 ? cut : limit;
}

}  // namespace

Status MimeViewRole::PresentConverted(NoteHandle handle) {
  OpenNote* open = s_.FindNote(handle);
  OpenDatabase* db = open == nullptr ? nullptr : s_.FindDb(open->db);
  if (db == nullptr) return kInvalidHandle;
  auto& items = open->note.items;
  bool mime = std::any_of(items.begin(), items.end(), [](const auto& i) { return SameName(i.name, "MIME_Version"); });
  if (!mime) return kNoError;
  std::string message;
  std::vector<std::string> partFiles;  // attachments that only hold large part contents
  if (Rebuild(handle, &message, &partFiles) != kNoError) return kMimeViewFailed;
  ConvertedMessage converted;
  ConvertMimeMessage(message, *s_.charsets, &converted);
  // The engine reads the message as mail too: its reading owes nothing to
  // the view's. Kept on disk, it costs no memory until it is scanned; the
  // engine's reading of a large message costs it several times its size,
  // so past a size the view's readings stand alone.
  std::shared_ptr<const SpooledFile> whole;
  if (message.size() <= kLargestWholeReading &&
      SpoolData(s_.serverDirectory + "/run", message, &whole) != kNoError) {
    return kMimeViewFailed;
  }
  auto origin = std::make_shared<MimeOrigin>();
  for (const auto& item : items) {
    if (SameName(item.name, "MIME_Version")) origin->mimeItems.push_back(item);
  }
  std::string().swap(message);  // rebuilt from the stored parts if a change is written back
  std::vector<StoredItem> kept;
  std::vector<std::string> used;
  for (auto& item : items) {
    uint16_t type = 0;
    (void)ValueType(item.value, &type);  // too short: kept as it is
    if (SameName(item.name, "MIME_Version")) continue;
    if (type == TYPE_MIME_PART) {
      origin->storedParts.push_back(std::move(item));
      continue;
    }
    FileObject file;
    bool attachment = type == TYPE_OBJECT && ParseFileObject(std::string_view(item.value).substr(2), &file) == kNoError;
    if (attachment && IsPartFile(item, partFiles)) {
      open->note.detachedObjects.push_back(file.header.rrv);  // saving the converted note lets the raw part go
      origin->storedParts.push_back(std::move(item));
      continue;
    }
    if (attachment && item.value.size() >= size_t{38} + file.fileNameLength) {
      used.push_back(item.value.substr(2 + 36, file.fileNameLength));
    }
    kept.push_back(std::move(item));
  }
  items = std::move(kept);
  CompoundText body{handle, "Body", {}, {}};
  // A large text is held once as lines, once as records: the records are
  // reserved at their size and each line goes once it is converted.
  size_t textBytes = 0;
  for (const std::string& line : converted.textLines) textBytes += line.size();
  body.records.reserve(textBytes + textBytes / 64 + 32 * (converted.textLines.size() + converted.files.size()) + 64);
  AppendPabDefinition(&body.records, 1);
  for (std::string& line : converted.textLines) {
    AppendParagraph(&body.records);
    AppendPabReference(&body.records, 1);
    // A long line goes in pieces, never whole in a second character set.
    std::string_view rest = line;
    do {
      size_t cut = Utf8PieceLength(rest, kConvertedPieceBytes);
      std::string lmbcs;
      if (s_.charsets->Convert(Charset::kUtf8, Charset::kLmbcs, rest.substr(0, cut), &lmbcs) != kNoError) {
        return kMimeViewFailed;
      }
      AppendText(&body.records, kDefaultFontId, lmbcs);
      rest.remove_prefix(cut);
    } while (!rest.empty());
    std::string().swap(line);
  }
  std::vector<std::string> otherNames;
  for (ConvertedFile& file : converted.files) {
    std::string shown;
    if (s_.charsets->Convert(Charset::kUtf8, Charset::kLmbcs, CleanName(file.name), &shown) != kNoError) {
      shown = CleanName(file.name);
    }
    std::string internal = UniqueName(shown, used);
    used.push_back(internal);
    origin->internalNames.push_back(internal);
    // A part that cannot be presented fails the view: never a view without it.
    BlockId attached;
    if (!AttachPresented(handle, std::move(file.data), internal, &attached)) return kMimeViewFailed;
    FileObject object;
    std::string_view stored;
    if (AttachmentName(s_.FindItemByBlock(attached)->value, &object, &stored) != kNoError) return kMimeViewFailed;
    origin->presentedObjects.push_back(object.header.rrv);
    if (file.flags != 0) MarkFile(s_.FindItemByBlock(attached), file.flags);
    for (const std::string& name : file.otherNames) {
      std::string other;
      if (s_.charsets->Convert(Charset::kUtf8, Charset::kLmbcs, CleanName(name), &other) != kNoError) {
        other = CleanName(name);
      }
      otherNames.push_back(internal + "\t" + other);
    }
    if (file.source == FileSource::kBodySource) continue;  // the body itself, not a file it carries
    AppendParagraph(&body.records);
    AppendPabReference(&body.records, 1);
    AppendFileHotspot(&body.records, internal, shown);
  }
  if (whole && !AttachWholeMessage(handle, std::move(whole), used, origin.get())) return kMimeViewFailed;
  if (WriteRichTextItems(s_, body) != kNoError) return kMimeViewFailed;
  std::string().swap(body.records);  // now in the items
  if (!otherNames.empty()) {
    std::string value;
    if (EncodeTextListValue(otherNames, &value) != kNoError ||
        AppendItem(s_, handle, ITEM_SUMMARY, kOtherFileNamesItem, std::move(value), nullptr) != kNoError) {
      return kMimeViewFailed;  // never a view whose second names the filter cannot see
    }
  }
  BodyTextDigest(s_, *open, &origin->presentedSize, &origin->presentedDigest);
  open->mimeOrigin = std::move(origin);
  return kNoError;
}

// A large file of the view waits on disk for the scanner, not in memory
// beside the message it came from.
bool MimeViewRole::AttachPresented(NoteHandle handle, std::string data, const std::string& name, BlockId* attached) {
  if (data.size() < kSpoolFromBytes) return AttachData(s_, handle, std::move(data), name, 1, false, attached) == kNoError;
  std::shared_ptr<const SpooledFile> spooled;
  if (SpoolData(s_.serverDirectory + "/run", data, &spooled) != kNoError) return false;
  std::string().swap(data);
  return AttachSpooled(s_, handle, std::move(spooled), name, 1, false, attached) == kNoError;
}

bool MimeViewRole::AttachWholeMessage(NoteHandle handle, std::shared_ptr<const SpooledFile> whole,
                                      const std::vector<std::string>& used, MimeOrigin* origin) {
  std::string internal = UniqueName(kWholeMessageName, used);
  BlockId attached;
  if (AttachSpooled(s_, handle, std::move(whole), internal, 1, false, &attached) != kNoError) return false;
  FileObject object;
  std::string_view stored;
  if (AttachmentName(s_.FindItemByBlock(attached)->value, &object, &stored) != kNoError) return false;
  MarkFile(s_.FindItemByBlock(attached), kFileFlagWholeMessage);
  origin->internalNames.push_back(internal);
  origin->presentedObjects.push_back(object.header.rrv);
  return true;
}

bool MimeViewRole::IsPartFile(const StoredItem& item, const std::vector<std::string>& partFiles) {
  FileObject file;
  std::string_view name;
  if (AttachmentName(item.value, &file, &name) != kNoError) return false;
  return std::find(partFiles.begin(), partFiles.end(), name) != partFiles.end();
}

bool MimeViewRole::AppendAttachmentByName(NoteHandle handle, std::string_view name, std::string* data) {
  BlockId found;
  if (FindAttachmentItem(s_, handle, name, &found) != kNoError) return false;
  FileObject file;
  std::string_view stored;
  uint32_t flags = 0;
  return AttachmentName(s_.FindItemByBlock(found)->value, &file, &stored) == kNoError &&
         AppendNoteObject(s_, handle, file.header.rrv, data, &flags) == kNoError;
}

}  // namespace notesapi::host
