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
int OpenNote(Platform* platform, const std::string& path, const std::string& noteIdText, bool converted, ScopedDb* db,
             ScopedNote* note) {
  NoteId id = 0;
  if (!ParseNoteId(noteIdText, &id)) return 2;
  if (Status s = platform->DbOpen(ToLmbcs(platform, path), db->put()); s != kNoError) return Fail(platform, path, s);
  uint32_t flags = converted ? 0 : kOpenRawMime;
  if (Status s = platform->NoteOpen(db->get(), id, flags, note->put()); s != kNoError) {
    return Fail(platform, "note 0x" + Hex(id, 0), s);
  }
  return 0;
}

// The name an attachment is written under: its shown name, made safe for a
// file system and unique in `written`.
std::string OutputName(const std::string& shown, std::vector<std::string>* written) {
  std::string name = shown;
  for (char& c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  if (name.empty() || name == "." || name == "..") name = "attachment";
  std::string candidate = name;
  for (int n = 2; std::find(written->begin(), written->end(), candidate) != written->end(); ++n) {
    candidate = std::to_string(n) + "-" + name;
  }
  written->push_back(candidate);
  return candidate;
}

}  // namespace

int ExtractNote(Platform* platform, const std::string& path, const std::string& noteIdText, bool converted,
                const std::string& folder) {
  ScopedDb db(platform);
  ScopedNote note(platform);
  if (int code = OpenNote(platform, path, noteIdText, converted, &db, &note); code != 0) return code;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::cerr << "zulctl: cannot create " << folder << ": " << error.message() << "\n";
    return 1;
  }
  std::vector<std::string> written;
  ItemInfo item;
  for (Status s = platform->ItemInfoByName(note.get(), "$FILE", &item); s == kNoError;
       s = platform->ItemInfoNext(note.get(), item.item, "$FILE", &item)) {
    std::string value;
    FileObject file;
    std::string_view stored;
    if (platform->ItemValue(item.value, &value) != kNoError || AttachmentName(value, &file, &stored) != kNoError) {
      std::cerr << "zulctl: a damaged attachment item is left out\n";
      continue;
    }
    std::string name = OutputName(ToUtf8(platform, std::string(stored)), &written);
    std::string target = folder + "/" + name;
    if (Status st = platform->ExtractFile(note.get(), item.item, WideUtf8(platform, target)); st != kNoError) {
      return Fail(platform, "cannot write " + target, st);
    }
    std::printf("%s\t%llu bytes\n", target.c_str(), static_cast<unsigned long long>(std::filesystem::file_size(target, error)));
  }
  if (written.empty()) std::printf("no attachments\n");
  return 0;
}

int ListDatabase(Platform* platform, const std::string& path) {
  ScopedDb db(platform);
  if (Status s = platform->DbOpen(ToLmbcs(platform, path), db.put()); s != kNoError) return Fail(platform, path, s);
  std::vector<NoteId> ids;
  if (Status s = platform->DbNoteIds(db.get(), &ids); s != kNoError) return Fail(platform, path, s);
  std::printf("%-10s %-19s %5s  %-20s %s\n", "NOTEID", "MODIFIED", "ITEMS", "FORM", "SUBJECT / DESCRIPTION");
  for (NoteId id : ids) {
    ScopedNote note(platform);
    if (Status s = platform->NoteOpen(db.get(), id, kOpenRawMime, note.put()); s != kNoError) {
      std::printf("0x%-8s (cannot open: %s)\n", Hex(id, 0).c_str(), platform->StatusText(s).c_str());
      continue;
    }
    NoteInfo info;
    (void)platform->NoteGetInfo(note.get(), &info);  // the note was just opened
    std::string modified;
    (void)platform->TimeToText(info.modified, &modified);  // always succeeds
    int items = 0;
    ItemInfo item;
    for (Status s = platform->ItemInfoFirst(note.get(), &item); s == kNoError;
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
  return 0;
}

int ShowNote(Platform* platform, const std::string& path, const std::string& noteIdText, bool converted) {
  ScopedDb db(platform);
  ScopedNote note(platform);
  if (int code = OpenNote(platform, path, noteIdText, converted, &db, &note); code != 0) return code;
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
  for (Status s = platform->ItemInfoFirst(note.get(), &item); s == kNoError;
       s = platform->ItemInfoNext(note.get(), item.item, {}, &item)) {
    std::string value;
    (void)platform->ItemValue(item.value, &value);  // the block was just reported
    std::printf("%-24s %-12s %s\n", ToUtf8(platform, item.name).c_str(), TypeName(item.type).c_str(),
                FormatValue(platform, value).c_str());
  }
  return 0;
}

}  // namespace zulctl
