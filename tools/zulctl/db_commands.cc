#include "tools/zulctl/db_commands.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "notesapi/scoped_handles.h"
#include "tools/zulctl/value_format.h"

namespace zulctl {

using namespace notesapi;

namespace {

int Fail(Platform* platform, const std::string& what, Status status) {
  std::cerr << "zulctl: " << what << ": " << platform->StatusText(status) << " (status 0x" << std::hex
            << ErrorOf(status) << std::dec << ")\n";
  return 1;
}

std::string ToLmbcs(Platform* platform, const std::string& utf8) {
  std::string lmbcs;
  if (platform->Translate(kTranslateUtf8ToLmbcs, utf8, &lmbcs) != kNoError) return utf8;
  return lmbcs;
}

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

}  // namespace

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
  char* end = nullptr;
  unsigned long id = std::strtoul(noteIdText.c_str(), &end, 0);
  if (noteIdText.empty() || *end != '\0' || id == 0 || id > 0xFFFFFFFFUL) {
    std::cerr << "zulctl: not a note ID: " << noteIdText << " (write it as 0x8F8 or 2296)\n";
    return 2;
  }
  ScopedDb db(platform);
  if (Status s = platform->DbOpen(ToLmbcs(platform, path), db.put()); s != kNoError) return Fail(platform, path, s);
  ScopedNote note(platform);
  uint32_t flags = converted ? 0 : kOpenRawMime;
  if (Status s = platform->NoteOpen(db.get(), static_cast<NoteId>(id), flags, note.put()); s != kNoError) {
    return Fail(platform, "note 0x" + Hex(static_cast<uint32_t>(id), 0), s);
  }
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
