#include "tools/zulctl/cli_support.h"
#include "tools/zulctl/db_commands.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"
#include "tools/zulctl/value_format.h"

namespace zulctl {

using namespace notesapi;

namespace {

std::string Hex(uint32_t value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", width, value);
  return text;
}

std::string TextItem(Platform* platform, NoteHandle note, const char* name) {
  std::string text;
  if (platform->ItemGetText(note, name, 60, &text) != kNoError) return {};
  return ToUtf8(platform, text);
}

// Opens one note by its ID as stored, or as a reader sees it with `converted`.
Status OpenNote(Platform* platform, const std::string& path, const std::string& noteIdText, bool converted, ScopedDb* db,
                ScopedNote* note) {
  NoteId id = 0;
  if (Status parsed = ParseNoteId(noteIdText, &id); !parsed.ok()) return parsed;
  if (notesapi::Status s = platform->DbOpen(ToLmbcs(platform, path), db->put()); s != kNoError) return Fail(platform, path, s);
  uint32_t flags = converted ? 0 : kOpenRawMime;
  if (notesapi::Status s = platform->NoteOpen(db->get(), id, flags, note->put()); s != kNoError) {
    return Fail(platform, "note 0x" + Hex(id, 0), s);
  }
  return Status::OK();
}

constexpr size_t kLongestName = 200;  // bytes: room for " (999)" within a file system's 255

// The characters that turn the display of a name around: "a\u202Etxt.exe"
// shows as "aexe.txt".
bool IsDirectionControl(std::string_view utf8, size_t at, size_t* length) {
  static constexpr std::string_view kControls[] = {"\u200E", "\u200F", "\u202A", "\u202B", "\u202C",
                                                   "\u202D", "\u202E", "\u2066", "\u2067", "\u2068", "\u2069"};
  for (std::string_view control : kControls) {
    if (utf8.substr(at, control.size()) == control) {
      *length = control.size();
      return true;
    }
  }
  return false;
}

// The first `limit` bytes of a UTF-8 text, not cutting a character.
std::string Cut(std::string_view text, size_t limit) {
  if (text.size() <= limit) return std::string(text);
  while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
  return std::string(text.substr(0, limit));
}

// The name an attachment is written under: its shown name made a plain
// file name (no folder, no control or direction character, not longer than
// a file system takes, its extension kept), so it lands in the folder given
// and nowhere else, under a name that shows what it is.
std::string SafeName(const std::string& shown) {
  std::string name;
  for (size_t i = 0; i < shown.size();) {
    size_t length = 1;
    unsigned char c = static_cast<unsigned char>(shown[i]);
    if (IsDirectionControl(shown, i, &length) || c == '/' || c == '\\' || c < 0x20 || c == 0x7F) {
      name += '_';
    } else {
      name += shown[i];
    }
    i += length;
  }
  if (name.empty() || name == "." || name == "..") name = "attachment";
  if (name.size() > kLongestName) {
    size_t dot = name.rfind('.');
    std::string extension = dot != std::string::npos && name.size() - dot <= 16 ? name.substr(dot) : "";
    name = Cut(name, kLongestName - extension.size()) + extension;
  }
  return name;
}

// "name (n).ext": the n-th other name for a file, its extension kept.
std::string NumberedName(const std::string& name, int n) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) dot = name.size();
  return name.substr(0, dot) + " (" + std::to_string(n) + ")" + name.substr(dot);
}

constexpr int kMostOtherNames = 1000;

// Claims a name in `folder` that nothing holds yet: the file is created
// empty, never over an existing file and never through a link, and its path
// is returned; the sender chose the name, and it may be ".bashrc".
notesapi::Status ClaimNewFile(Platform* platform, const std::string& folder, const std::string& name, std::string* path) {
  notesapi::Status s = kFileExists;
  for (int n = 0; n <= kMostOtherNames && s == kFileExists; ++n) {
    *path = folder + "/" + (n == 0 ? name : NumberedName(name, n));
    s = platform->FileCreateNew(WideUtf8(platform, *path));
  }
  return s;
}

}  // namespace

Status ExtractNote(Platform* platform, const std::string& path, const std::string& noteIdText, bool converted,
                const std::string& folder) {
  ScopedDb db(platform);
  ScopedNote note(platform);
  if (Status opened = OpenNote(platform, path, noteIdText, converted, &db, &note); !opened.ok()) return opened;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return Status::Failed("cannot create " + folder + ": " + error.message());
  size_t written = 0;
  Status failed;
  ItemInfo item;
  for (notesapi::Status s = platform->ItemInfoByName(note.get(), "$FILE", &item); s == kNoError;
       s = platform->ItemInfoNext(note.get(), item.item, "$FILE", &item)) {
    std::string value;
    FileObject file;
    std::string_view stored;
    if (platform->ItemValue(item.value, &value) != kNoError || AttachmentName(value, &file, &stored) != kNoError) {
      failed = Say(Status::Corrupt("a damaged attachment item is left out"));
      continue;
    }
    std::string name = SafeName(ToUtf8(platform, std::string(stored)));
    std::string target;
    // One attachment that cannot be written does not keep the others back.
    if (notesapi::Status st = ClaimNewFile(platform, folder, name, &target); st != kNoError) {
      failed = Say(Fail(platform, "no free name for " + name + " in " + folder, st));
      continue;
    }
    if (notesapi::Status st = platform->ExtractFile(note.get(), item.item, WideUtf8(platform, target)); st != kNoError) {
      (void)platform->FileDelete(WideUtf8(platform, target));  // the empty file claimed above
      failed = Say(Fail(platform, "cannot write " + target, st));
      continue;
    }
    ++written;
    std::string renamed = target == folder + "/" + name ? "" : "\t(" + name + " exists there already)";
    std::printf("%s\t%llu bytes%s\n", target.c_str(),
                static_cast<unsigned long long>(std::filesystem::file_size(target, error)), renamed.c_str());
  }
  if (written == 0 && failed.ok()) std::printf("no attachments\n");
  return failed;
}

Status ListDatabase(Platform* platform, const std::string& path) {
  ScopedDb db(platform);
  if (notesapi::Status s = platform->DbOpen(ToLmbcs(platform, path), db.put()); s != kNoError) return Fail(platform, path, s);
  std::vector<NoteId> ids;
  if (notesapi::Status s = platform->DbNoteIds(db.get(), &ids); s != kNoError) return Fail(platform, path, s);
  std::printf("%-10s %-19s %5s  %-20s %s\n", "NOTEID", "MODIFIED", "ITEMS", "FORM", "SUBJECT / DESCRIPTION");
  for (NoteId id : ids) {
    ScopedNote note(platform);
    if (notesapi::Status s = platform->NoteOpen(db.get(), id, kOpenRawMime, note.put()); s != kNoError) {
      std::printf("0x%-8s (cannot open: %s)\n", Hex(id, 0).c_str(), platform->StatusText(s).c_str());
      continue;
    }
    NoteInfo info;
    (void)platform->NoteGetInfo(note.get(), &info);  // the note was just opened
    std::string modified;
    (void)platform->TimeToText(info.modified, &modified);  // always succeeds
    int items = 0;
    ItemInfo item;
    for (notesapi::Status s = platform->ItemInfoFirst(note.get(), &item); s == kNoError;
         s = platform->ItemInfoNext(note.get(), item.item, {}, &item)) {
      ++items;
    }
    std::string summary = TextItem(platform, note.get(), "Subject");
    if (summary.empty()) summary = TextItem(platform, note.get(), "JournalDescription");
    if (summary.empty()) summary = TextItem(platform, note.get(), "VirusDescription");
    std::printf("0x%-8s %-19s %5d  %-20s %s\n", Hex(id, 0).c_str(), modified.c_str(), items,
                TextItem(platform, note.get(), "Form").c_str(), summary.c_str());
  }
  std::printf("%zu note(s)\n", ids.size());
  return Status::OK();
}

Status ShowNote(Platform* platform, const std::string& path, const std::string& noteIdText, bool converted) {
  ScopedDb db(platform);
  ScopedNote note(platform);
  if (Status opened = OpenNote(platform, path, noteIdText, converted, &db, &note); !opened.ok()) return opened;
  NoteInfo info;
  (void)platform->NoteGetInfo(note.get(), &info);  // the note was just opened
  std::string created;
  std::string modified;
  (void)platform->TimeToText(info.created, &created);
  (void)platform->TimeToText(info.modified, &modified);
  std::printf("Note ID     0x%X\n", info.noteId);
  std::printf("UNID        %s%s%s%s\n", Hex(info.unid.file.innards[1], 8).c_str(), Hex(info.unid.file.innards[0], 8).c_str(),
              Hex(info.unid.note.innards[1], 8).c_str(), Hex(info.unid.note.innards[0], 8).c_str());
  std::printf("Class       0x%04X\n", info.noteClass);
  std::printf("Created     %s\nModified    %s\n\n", created.c_str(), modified.c_str());
  ItemInfo item;
  for (notesapi::Status s = platform->ItemInfoFirst(note.get(), &item); s == kNoError;
       s = platform->ItemInfoNext(note.get(), item.item, {}, &item)) {
    std::string value;
    (void)platform->ItemValue(item.value, &value);  // the block was just reported
    std::printf("%-24s %-12s %s\n", ToUtf8(platform, item.name).c_str(), TypeName(item.type).c_str(),
                FormatValue(platform, value).c_str());
  }
  return Status::OK();
}

}  // namespace zulctl
