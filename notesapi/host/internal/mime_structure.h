// The structure of a MIME message as byte ranges of the original: every
// entity (the message, each part, each embedded message) with its
// delimiter line, header block and content, found by the part boundaries.
// GMime reads each header block (types, parameters, encoded words, file
// names); the ranges are found here, because a parser's own offsets lose
// exactly the content that hostile mail hides: a body that follows its
// headers without a blank line, content outside every boundary, nesting
// beyond a limit. Every byte of the message belongs to exactly one stored
// segment, so storage is lossless, and every byte a client could decode is
// in some entity.
#ifndef NOTESAPI_HOST_INTERNAL_MIME_STRUCTURE_H_
#define NOTESAPI_HOST_INTERNAL_MIME_STRUCTURE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace notesapi::host {

// Nesting beyond this depth, or entities beyond this count, are not split
// further: the rest is one raw entity, presented as a file of its own.
inline constexpr int kMaxMimeDepth = 64;
inline constexpr size_t kMaxMimeEntities = 20000;

// What an entity's header block says, decoded.
struct MimeHeaders {
  std::string type = "text";  // lower case
  std::string subtype = "plain";
  std::string boundary;
  std::string transferEncoding;  // lower case, empty when not given
  std::string charset;           // as given
  std::string filename;          // UTF-8, empty when none
  std::string otherName;         // UTF-8: Content-Type's name when it is not the filename
  bool attachment = false;       // Content-Disposition: attachment
  bool typeGiven = false;        // the block has a Content-Type field
};

enum class MimeEntityKind { kLeaf, kMultipart, kMessage, kRaw };

struct MimeEntity {
  MimeEntityKind kind = MimeEntityKind::kLeaf;
  int depth = 0;
  bool delimited = false;   // a part of a multipart: starts with its delimiter line
  bool inDigest = false;    // a part of a multipart/digest: untyped, it is a message
  size_t start = 0;         // first byte (the line break before the delimiter, when there is one)
  size_t boundaryEnd = 0;   // end of the delimiter line (start when not delimited)
  size_t headersEnd = 0;    // end of the header block, its blank line included
  size_t end = 0;           // end of the entity
  // Multipart: the prologue is [headersEnd, prologueEnd); the closing
  // delimiter line [closingStart, closingEnd) and the epilogue after it run
  // to `end`. Without a closing delimiter closingStart == closingEnd == end.
  size_t prologueEnd = 0;
  size_t closingStart = 0;
  size_t closingEnd = 0;
  std::vector<size_t> children;  // indices, in document order
  MimeHeaders headers;
};

struct MimeStructure {
  std::vector<MimeEntity> entities;  // entities[0] is the message
};

// The structure of `message`; never fails (what cannot be split stays one
// entity). `fallbackCharset` is ReadMimeHeaders'.
void ParseMimeStructure(std::string_view message, const std::string& fallbackCharset, MimeStructure* structure);

// Reads a header block (NUL bytes are ignored) with GMime. `fallbackCharset`
// decodes raw 8-bit header text that is not UTF-8.
MimeHeaders ReadMimeHeaders(std::string_view block, const std::string& fallbackCharset);

// One stored segment: consecutive segments tile the message exactly.
struct MimeSegment {
  uint8_t partType = 0;  // kMimePart* of mime_import.h
  size_t start = 0;
  size_t boundaryLength = 0;
  size_t headersLength = 0;
  size_t end = 0;
};
// The segments of the message in document order; empty ones are left out.
std::vector<MimeSegment> MimeSegments(const MimeStructure& structure);

// True when a line (without its line end) starts a header field
// ("Name:" with a name of printable characters).
bool IsHeaderLine(std::string_view line);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_MIME_STRUCTURE_H_
