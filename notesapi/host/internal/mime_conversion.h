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

// Where a presented file comes from, so that a change to it can be
// written back in its place.
enum class FileSource {
  kPartContent,  // a part's content [from, to), in `transferEncoding`
  kRange,        // bytes [from, to) that no part places, taken as they are
  kInText,       // a uuencoded or yEnc block inside text part `textPart`
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
  bool unsplit = false;   // an entity the structure could not split further
  std::string otherName;  // UTF-8: a second name the part gives the file
};

// A text part shown in the body: its content [from, to) of the message.
struct ConvertedTextPart {
  size_t entity = 0;
  size_t from = 0;
  size_t to = 0;
  std::string subtype;  // lower case: "plain", "html", ...
  std::string charset;
  std::string transferEncoding;
};

struct ConvertedMessage {
  // UTF-8, one paragraph each; a carriage return before a line feed stays
  // at the end of its paragraph, so the text keeps its line ends.
  std::vector<std::string> textLines;
  std::vector<ConvertedFile> files;
  std::vector<ConvertedTextPart> textParts;
};

// kPlacesOnly finds the same text parts and files, in the same order, but
// leaves out the text lines and the data of files taken from a part or a
// range (ContentOf gives it back): what a write-back needs of a large message.
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
