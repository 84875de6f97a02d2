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
inline constexpr size_t kMaxMimeEntities = 5000;
// Another reading of an entity is split this far (the rest stays one entity).
inline constexpr size_t kMaxVariantEntities = 500;

// A type a header block gives, with its boundary.
struct MimeTypeReading {
  std::string type;  // lower case
  std::string subtype;
  std::string boundary;
  friend bool operator==(const MimeTypeReading&, const MimeTypeReading&) = default;
};

// What an entity's header block says, decoded.
struct MimeHeaders {
  std::string type = "text";  // lower case
  std::string subtype = "plain";
  std::string boundary;
  std::string transferEncoding;  // lower case, empty when not given
  std::string charset;           // as given
  std::string filename;          // UTF-8, empty when none: what a client shows (the first name, cut at a zero byte)
  std::vector<std::string> otherNames;  // UTF-8: every other name a client may show instead
  bool attachment = false;       // Content-Disposition: attachment
  bool typeGiven = false;        // the block has a Content-Type field
  // Where readers part: every other type and boundary the block gives (a
  // second Content-Type field, a second boundary parameter, a boundary read
  // trimmed or decoded), and every other transfer encoding.
  std::vector<MimeTypeReading> otherTypes;
  std::vector<std::string> otherEncodings;
};

enum class MimeEntityKind { kLeaf, kMultipart, kMessage, kRaw };

// Another reading of an entity's own header block: where a reader may end
// it, and what it says to that reader.
struct MimeVariant {
  size_t headersEnd = 0;
  MimeHeaders headers;
};

// At most this many other readings for one entity and for one message.
inline constexpr size_t kMaxVariantsPerEntity = 8;
inline constexpr size_t kMaxVariants = 16;

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
  // Where readers part on this entity's header block (a line a strict
  // reader stops at, a field or parameter given twice, a boundary that may
  // be read trimmed, decoded or empty): every other reading, whose parts
  // are scanned as well.
  std::vector<MimeVariant> variants;
  bool forced = false;  // its headers are given, not read (a variant's root)
};

struct MimeStructure {
  std::vector<MimeEntity> entities;  // entities[0] is the message
};

// The structure of the entity `index` of `structure` read the way `variant`
// says, its parts in turn read the usual way only (no readings of readings).
void ParseVariantStructure(std::string_view message, const MimeStructure& structure, size_t index,
                           const MimeVariant& variant, const std::string& fallbackCharset, MimeStructure* out);

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
