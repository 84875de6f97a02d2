// Reading the items of held mail that the tools look at, with the platform's
// failures taken as "not there".
#ifndef TOOLS_COMMON_NOTE_ITEMS_H_
#define TOOLS_COMMON_NOTE_ITEMS_H_

#include <string>
#include <vector>

#include "notesapi/platform.h"

namespace tools {

// The non-empty entries of a text list; none when it cannot be read.
inline std::vector<std::string> TextListItem(notesapi::Platform* p, notesapi::NoteHandle note, const char* name) {
  std::vector<std::string> entries;
  uint16_t count = p->ItemTextListCount(note, name);
  for (uint16_t i = 0; i < count; ++i) {
    std::string entry;
    if (p->ItemTextListEntry(note, name, i, &entry) == notesapi::kNoError && !entry.empty()) entries.push_back(entry);
  }
  return entries;
}

inline bool HasItem(notesapi::Platform* p, notesapi::NoteHandle note, const char* name) {
  notesapi::ItemInfo item;
  return p->ItemInfoByName(note, name, &item) == notesapi::kNoError;
}

}  // namespace tools

#endif  // TOOLS_COMMON_NOTE_ITEMS_H_
