// What a MIME message looks like once converted for a reader: its text
// parts as plain text and everything else as files. Every leaf the structure
// reaches is presented, at any depth; what the structure cannot place (a
// prologue or epilogue with content, a part beyond the nesting limit) is a
// file of its own, never left out. The host presents MIME notes this way when
// they are opened without keeping MIME raw.
#ifndef NOTESAPI_HOST_INTERNAL_MIME_CONVERSION_H_
#define NOTESAPI_HOST_INTERNAL_MIME_CONVERSION_H_

#include <string>
#include <string_view>
#include <vector>

#include "notesapi/host/internal/charsets.h"
#include "notesapi/status.h"

namespace notesapi::host {

struct ConvertedFile {
  std::string name;  // UTF-8, as the message names it (not yet unique)
  std::string data;  // decoded
};

struct ConvertedMessage {
  // UTF-8, one paragraph each; a carriage return before a line feed stays
  // at the end of its paragraph, so the text keeps its line ends.
  std::vector<std::string> textLines;
  std::vector<ConvertedFile> files;
};

void ConvertMimeMessage(std::string_view message, Charsets& charsets, ConvertedMessage* converted);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_MIME_CONVERSION_H_
