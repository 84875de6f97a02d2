// Message texts of the task: from the message library "zelklocale.dll" when
// it holds the id, else the built-in text of the catalogue, both in the
// native code page.
#ifndef BASE_MESSAGE_TEXT_H_
#define BASE_MESSAGE_TEXT_H_

#include <string_view>

#include "base/message_catalogue.h"

namespace zul {

inline constexpr char16_t kMessageLibraryName[] = u"zelklocale.dll";

// Loads the library as a data file and keeps it; a bare file name is looked
// up in the server's program directory, then the working folder. False when
// it cannot be loaded; the built-in texts are then used.
bool LoadMessageLibrary(std::u16string_view fileName);
// The library a site chose (notes.ini ZulMessageLibrary), else zelklocale.dll.
std::u16string ConfiguredMessageLibrary();
void FreeMessageLibrary();

// A library text is copied into the next of 100 areas of 1024 bytes (at most
// 1023 characters) and stays valid for 100 further library texts; a
// built-in text is valid for the life of the process. Never null.
const char* MessageText(Msg message);

}  // namespace zul

#endif  // BASE_MESSAGE_TEXT_H_
