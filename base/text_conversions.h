// Conversions between the tasks' native code page, the server's character
// set (LMBCS, "Notes" below) and UTF-16, over the platform's translation.
// Results live in static areas, as callers use them at once: the native to
// Notes direction has one area, valid until its next call; every other
// direction has a ring of 100 areas, so a result stays valid for 100 further
// conversions of the same direction. An area holds at most 65535 bytes
// (UTF-16: 65535 units); longer results are cut there. A failed translation
// gives an empty text.
#ifndef BASE_TEXT_CONVERSIONS_H_
#define BASE_TEXT_CONVERSIONS_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace zul {

inline constexpr size_t kTranslationAreaBytes = 65535;

std::string_view NativeToNotes(std::string_view native);
std::string_view NotesToNative(std::string_view notes);
std::string_view UnicodeToNotes(std::u16string_view unicode);
std::u16string_view NotesToUnicode(std::string_view notes);

// Native text translated to Notes and cut to at most maxBytes without
// splitting a character. Not from an area: the caller owns the result.
std::string NativeToNotesWithin(std::string_view native, size_t maxBytes);

}  // namespace zul

#endif  // BASE_TEXT_CONVERSIONS_H_
