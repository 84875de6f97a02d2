// What a MIME message looks like once converted for a reader: its text
// parts as plain text and its other parts as files. The host presents MIME
// notes this way when they are opened without keeping MIME raw.
#ifndef NOTESAPI_HOST_INTERNAL_MIME_CONVERSION_H_
#define NOTESAPI_HOST_INTERNAL_MIME_CONVERSION_H_

#include <string>
#include <string_view>
#include <vector>

#include "notesapi/status.h"

namespace notesapi::host {

struct ConvertedFile {
  std::string name;  // UTF-8
  std::string data;  // decoded
};

struct ConvertedMessage {
  std::vector<std::string> textLines;  // UTF-8, one paragraph each
  std::vector<ConvertedFile> files;
};

// kBadArgument when the bytes are not a mail message.
[[nodiscard]] Status ConvertMimeMessage(std::string_view rfc822, ConvertedMessage* converted);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_MIME_CONVERSION_H_
