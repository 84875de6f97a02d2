// What a MIME message looks like once converted for a reader: the text of
// its own body as plain text and everything else as files. Every leaf the
// structure reaches is presented, at any depth; what the structure cannot
// place (a prologue or epilogue with content, a part beyond the nesting
// limit) is a file of its own, never left out. The host presents MIME notes
// this way when they are opened without keeping MIME raw.
//
// A part's role decides where it goes. The body is the mail's own first
// text part at the top (through multipart/mixed, related and signed, the
// first part; through multipart/alternative, every alternative): a finding
// there takes the body, and the report goes there. Any other text part, an
// attachment of any type, and everything inside an attached message or a
// digest entry is a file, replaced alone. The inside of an opaque-signed
// S/MIME part is shown too, as its readers see it; it cannot be edited
// without breaking the signature, so a finding there replaces the whole
// signed part.
#ifndef NOTESAPI_HOST_INTERNAL_MIME_CONVERSION_H_
#define NOTESAPI_HOST_INTERNAL_MIME_CONVERSION_H_

#include <string>
#include <string_view>
#include <vector>

#include "notesapi/host/internal/charsets.h"
#include "notesapi/status.h"

namespace notesapi::host {

// Where a presented file comes from, so that a change to it can be
// written back in its place.
enum class FileSource {
  kPartContent,  // a part's content [from, to), in `transferEncoding`
  kRange,        // bytes [from, to) that no part places, taken as they are
  kInText,       // a uuencoded or yEnc block inside text part `textPart`
  kBodySource,   // the source of HTML body part `textPart`: edited through the body
  kInWholePart,  // inside a part that goes whole (an S/MIME part, another reading): its content [from, to), in `transferEncoding`
};

struct ConvertedFile {
  std::string name;  // UTF-8, as the message names it (not yet unique)
  std::string data;  // decoded
  FileSource source = FileSource::kRange;
  size_t from = 0;
  size_t to = 0;
  std::string transferEncoding;
  size_t textPart = 0;
  size_t blockBegin = 0;  // kInText: the block in the decoded text of the part
  size_t blockEnd = 0;
  uint16_t flags = 0;     // kFileFlag* of stored_structures.h
  std::vector<std::string> otherNames;  // UTF-8: every other name a client may show the file under
};

// A text part read as text: its content [from, to) of the message. A body
// part is shown in the body; any other is a file (`file`) whose blocks of
// files inside text are found all the same.
struct ConvertedTextPart {
  size_t entity = 0;
  size_t from = 0;
  size_t to = 0;
  std::string subtype;  // lower case: "plain", "html", ...
  std::string charset;
  std::string transferEncoding;
  bool body = true;
  size_t file = 0;  // not body: the index of the file that presents it
};

struct ConvertedMessage {
  // UTF-8, one paragraph each; a carriage return before a line feed stays
  // at the end of its paragraph, so the text keeps its line ends.
  std::vector<std::string> textLines;
  std::vector<ConvertedFile> files;
  std::vector<ConvertedTextPart> textParts;
};

// kPlacesOnly finds the same text parts and files, in the same order, but
// leaves out the text lines and the data of files taken from a part, a range
// or a body source (ContentOf gives it back): what a write-back needs of a
// large message.
enum class Conversion { kWhole, kPlacesOnly };

void ConvertMimeMessage(std::string_view message, Charsets& charsets, ConvertedMessage* converted,
                        Conversion conversion = Conversion::kWhole);

// The data of a file of `message` as kWhole gives it.
std::string ContentOf(std::string_view message, const ConvertedFile& file);

// Text of a part in its declared character set, as UTF-8: undeclared or
// unknown, UTF-8 when it is that, else the native code page.
std::string TextToUtf8(Charsets& charsets, const std::string& charset, std::string_view bytes);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_MIME_CONVERSION_H_
