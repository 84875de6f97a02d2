// Header text with RFC 2047 encoded words, decoded as that RFC says: each
// encoded word on its own (its padding ends only its own text), the white
// space between two adjacent encoded words dropped, every other character
// kept. Raw 8-bit text is UTF-8 when it is that, else in `fallbackCharset`.
#ifndef NOTESAPI_HOST_INTERNAL_ENCODED_WORDS_H_
#define NOTESAPI_HOST_INTERNAL_ENCODED_WORDS_H_

#include <string>
#include <string_view>

namespace notesapi::host {

// UTF-8 of an unstructured header value (Subject, Comments, ...), folded
// lines joined.
std::string DecodeHeaderText(std::string_view raw, const std::string& fallbackCharset);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_ENCODED_WORDS_H_
