// Byte-range edits of a message as stored: each replaces [from, to) with
// `bytes`. Edits that overlap or leave the message are refused
// (kBadArgument), never applied in part: the mail then stays as it was.
#ifndef NOTESAPI_HOST_INTERNAL_MESSAGE_EDITS_H_
#define NOTESAPI_HOST_INTERNAL_MESSAGE_EDITS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "notesapi/status.h"

namespace notesapi::host {

struct MessageEdit {
  size_t from;
  size_t to;
  std::string bytes;
};

// The edits without those that lie inside another: a part that goes whole
// takes what was to change inside it (a reading of a part that goes whole
// holds the parts of another reading). Of two edits of one range the first
// given stays; an insertion at either end of a range is not inside it.
std::vector<MessageEdit> OutermostEdits(std::vector<MessageEdit> edits);

// `message` with `edits` applied, built front to back at its final size.
[[nodiscard]] Status EditedCopy(const std::string& message, std::vector<MessageEdit> edits, std::string* result);

// The same made within `message` itself when every edit grows (or every
// edit shrinks) what it replaces, so a large message is held once; a mix
// goes through EditedCopy.
[[nodiscard]] Status ApplyEdits(std::string* message, std::vector<MessageEdit> edits);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_MESSAGE_EDITS_H_
