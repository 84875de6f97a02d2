#include "records/mail_items.h"

#include "notesapi/process_platform.h"

namespace zul {

using namespace notesapi;

std::string MailItemText(NoteHandle note, std::string_view name, size_t maxBytes) {
  Platform* p = ProcessPlatform();
  ItemInfo info;
  if (p->ItemInfoByName(note, name, &info) != kNoError) return {};
  std::string text;
  if (info.type == TYPE_TEXT_LIST) {
    uint16_t count = p->ItemTextListCount(note, name);
    for (uint16_t i = 0; i < count && text.size() < maxBytes; ++i) {
      std::string entry;
      if (p->ItemTextListEntry(note, name, i, &entry) != kNoError) break;
      if (!text.empty()) text += ';';
      text += entry;
    }
  } else if (p->ItemGetText(note, name, maxBytes, &text) != kNoError) {
    return {};
  }
  text.resize(std::min(text.size(), maxBytes));
  return text;
}

bool HasItem(NoteHandle note, std::string_view name) {
  ItemInfo info;
  return ProcessPlatform()->ItemInfoByName(note, name, &info) == kNoError;
}

std::vector<std::string> AddressPieces(std::string_view addresses) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= addresses.size()) {
    size_t end = addresses.find(';', start);
    if (end == std::string_view::npos) end = addresses.size();
    std::string_view piece = addresses.substr(start, end - start);
    size_t first = piece.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos) pieces.emplace_back(piece.substr(first));
    start = end + 1;
  }
  return pieces;
}

}  // namespace zul
