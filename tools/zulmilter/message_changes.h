// What the monitor changed in a message, in the terms an MTA's milter
// interface takes: the top-level header fields changed, removed or added,
// and the body when it differs. Applied to the message as it was sent, the
// changes give the released message byte for byte.
#ifndef TOOLS_ZULMILTER_MESSAGE_CHANGES_H_
#define TOOLS_ZULMILTER_MESSAGE_CHANGES_H_

#include <string>
#include <string_view>
#include <vector>

namespace zulmilter {

// One field of a header block: its name, and its value as written after
// the colon (leading white space and the line ends of folded lines kept,
// the final line end not).
struct HeaderField {
  std::string name;
  std::string value;
};

struct HeaderChange {
  enum class Kind { kChange, kRemove, kInsert };
  Kind kind;
  std::string name;
  // kChange, kRemove: which field of that name (1 the first);
  // kInsert: the position among all fields (0 the topmost).
  int index = 0;
  std::string value;
};

struct MessageChanges {
  std::vector<HeaderChange> headers;
  bool bodyChanged = false;
  std::string body;  // the released body, when it changed
};

// The header fields and the body of a message (everything after the empty
// line that ends the header block). False when there is no header block.
bool SplitMessage(std::string_view message, std::vector<HeaderField>* fields, std::string* body);

// The changes that make `released` of `sent`, in the order to make them:
// changed values, then removals (the last of a name first), then insertions
// from the top down.
MessageChanges ChangesBetween(std::string_view sent, std::string_view released);

}  // namespace zulmilter

#endif  // TOOLS_ZULMILTER_MESSAGE_CHANGES_H_
