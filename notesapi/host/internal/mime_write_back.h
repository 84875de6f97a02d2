// Mail the scan changed keeps everything but what was removed. A MIME note
// opened converted remembers the message it was presented from; when it is
// saved, the changes made to the converted note are written back into that
// message in place: a replaced attachment gets its new content in its own
// part, in the part's own transfer encoding; a block removed from inside
// text loses its lines; text put in front of the body goes in front of the
// first plain and the first HTML part; a removed body leaves the text that
// replaced it in its parts. Every other byte (header fields and their
// order, the MIME tree, the other parts, line ends) stays as it came.
#ifndef NOTESAPI_HOST_INTERNAL_MIME_WRITE_BACK_H_
#define NOTESAPI_HOST_INTERNAL_MIME_WRITE_BACK_H_

#include <string>
#include <vector>

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

struct MimeOrigin {
  // The message as stored, by its parts: the MIME part items and the
  // attachments that hold large part contents (their data stays in the
  // database), so the message is rebuilt only when a change is written back.
  std::vector<StoredItem> storedParts;
  // The UTF-8 plain text of the body as presented, without its line ends
  // (where the body's items break it is not its text), by its size and
  // SHA-256: a large body is not held twice while it is scanned.
  size_t presentedSize = 0;
  std::string presentedDigest;
  std::vector<std::string> internalNames;  // LMBCS "$FILE" name of each presented file, in order
  // The object each presented file was attached with. Objects are never
  // written over, so a file still on its object is unchanged and a large
  // one need not be read back to be compared.
  std::vector<uint32_t> presentedObjects;
  std::vector<StoredItem> mimeItems;       // "MIME_Version" as stored
};

// The note's body as plain UTF-8 text: every "Body" item in order.
std::string BodyPlainText(HostState& s, const OpenNote& open);
// SHA-256 of `text`, in hexadecimal.
std::string TextDigest(std::string_view text);
// `text` without its line ends.
std::string WithoutLineEnds(std::string_view text);
// The size and TextDigest of BodyPlainText without its line ends, without
// holding the text.
void BodyTextDigest(HostState& s, const OpenNote& open, size_t* size, std::string* digest);

// The message `origin` with the changes of the open note applied.
[[nodiscard]] Status ChangedMessage(HostState& s, NoteHandle handle, const MimeOrigin& origin, std::string* message);

// Puts the open note back into its MIME form, holding ChangedMessage.
[[nodiscard]] Status WriteBackMime(HostState& s, NoteHandle handle);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_MIME_WRITE_BACK_H_
