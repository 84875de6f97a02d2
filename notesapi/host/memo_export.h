// A Notes memo (rich-text "Body", "$FILE" attachments) written out as an
// RFC 822 message, for mail that leaves the server after the scan changed
// it: the body as plain text, every attachment byte for byte in base64.
#ifndef NOTESAPI_HOST_MEMO_EXPORT_H_
#define NOTESAPI_HOST_MEMO_EXPORT_H_

#include <string>

#include "notesapi/platform.h"

namespace notesapi {

[[nodiscard]] Status ComposeMemoMessage(Platform* platform, NoteHandle note, const std::u16string& scratchFolder,
                                        std::string* rfc822);

}  // namespace notesapi

#endif  // NOTESAPI_HOST_MEMO_EXPORT_H_
