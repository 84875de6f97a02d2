// Edits of the bytes of one MIME part, for writing changes back into a
// stored message: content in the part's own transfer encoding and line ends,
// a block of text for an HTML body, header fields set in a header block
// with everything else of it kept.
#ifndef NOTESAPI_HOST_INTERNAL_MIME_PART_EDITING_H_
#define NOTESAPI_HOST_INTERNAL_MIME_PART_EDITING_H_

#include <string>
#include <string_view>
#include <utility>

#include "notesapi/host/internal/charsets.h"
#include "notesapi/host/internal/host_state.h"  // Lower

namespace notesapi::host {

bool IsAscii(std::string_view text);
bool EndsWithLineEnd(std::string_view text);
// The line end a piece of the message uses: CRLF when it has one, else LF
// when it has one, else that of the whole message.
std::string LineEndOf(std::string_view piece, std::string_view message);
std::string WithLineEnds(std::string_view text, const std::string& lineEnd);
// Data in a part's own transfer encoding, with the part's line ends, ending
// in a line end exactly when `original` (the part's content) did.
std::string EncodeContent(const std::string& transferEncoding, std::string_view data, std::string_view original,
                          std::string_view message);
// UTF-8 text as a <pre> block, every non-ASCII character a reference.
std::string HtmlBlock(Charsets& charsets, std::string_view utf8, const std::string& lineEnd);
// Where a block goes in front of an HTML body: after its <body> tag, else 0.
size_t HtmlBodyStart(std::string_view html);
// The header field `name` of a header block: [start, end) with its
// continuation lines; npos when absent.
std::pair<size_t, size_t> FindField(std::string_view block, std::string_view name);
// The header block with the charset parameter set to `charset` (when not
// empty) and, when `eightBit`, the transfer encoding said as 8bit.
std::string HeadersWith(std::string block, const std::string& charset, bool eightBit, const std::string& lineEnd);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_MIME_PART_EDITING_H_
