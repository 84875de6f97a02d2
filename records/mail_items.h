// Texts of a mail document's items as the reactions read them: a text list
// reads as its entries joined by ";", so every recipient is reached and
// listed, not only the first.
#ifndef RECORDS_MAIL_ITEMS_H_
#define RECORDS_MAIL_ITEMS_H_

#include <string>
#include <string_view>
#include <vector>

#include "notesapi/platform.h"

namespace zul {

// At most `maxBytes` bytes (Notes character set); "" when the item is missing.
std::string MailItemText(notesapi::NoteHandle note, std::string_view name, size_t maxBytes);
bool HasItem(notesapi::NoteHandle note, std::string_view name);
// The pieces of an address text between ";", empty ones skipped and leading
// white space removed.
std::vector<std::string> AddressPieces(std::string_view addresses);

}  // namespace zul

#endif  // RECORDS_MAIL_ITEMS_H_
