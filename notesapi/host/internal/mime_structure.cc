#include "notesapi/host/internal/mime_structure.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "notesapi/host/internal/gobject_ptr.h"
#include "notesapi/host/mime_import.h"

namespace notesapi::host {

namespace {

void InitGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

std::string LowerText(const char* text) {
  std::string out = text != nullptr ? text : "";
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Trim(std::string text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

struct Line {
  size_t start = 0;
  size_t end = 0;   // before the line end
  size_t next = 0;  // after the line end
};

Line LineAt(std::string_view data, size_t pos, size_t limit) {
  size_t feed = data.find('\n', pos);
  if (feed == std::string_view::npos || feed >= limit) return {pos, limit, limit};
  size_t end = feed > pos && data[feed - 1] == '\r' ? feed - 1 : feed;
  return {pos, end, feed + 1};
}

// The end of the header block that starts at `from`: after its blank line,
// or, when a line that is no header comes first, at that line, which then
// starts the body (as forgiving clients read it).
size_t HeaderBlockEnd(std::string_view data, size_t from, size_t limit, size_t* fieldsStart) {
  size_t pos = from;
  *fieldsStart = from;
  bool any = false;
  while (pos < limit) {
    Line line = LineAt(data, pos, limit);
    std::string_view text = data.substr(line.start, line.end - line.start);
    if (text.empty()) return line.next;
    if (pos == 0 && text.substr(0, 5) == "From ") {  // an mbox separator line before the message
      pos = *fieldsStart = line.next;
      continue;
    }
    bool continuation = any && (text[0] == ' ' || text[0] == '\t');
    if (!continuation && !IsHeaderLine(text)) return line.start;
    any = true;
    pos = line.next;
  }
  return limit;
}

// A reader that reads past lines a strict one stops at (a line that is no
// header field, a "From " line) ends the block at its first blank line; the
// fields among what it read past still count for it.
size_t LenientHeaderBlockEnd(std::string_view data, size_t from, size_t limit, std::string* fields) {
  size_t pos = from;
  while (pos < limit) {
    Line line = LineAt(data, pos, limit);
    std::string_view text = data.substr(line.start, line.end - line.start);
    if (text.empty()) return line.next;
    bool continuation = !fields->empty() && (text[0] == ' ' || text[0] == '\t');
    if (continuation || IsHeaderLine(text)) fields->append(data.substr(line.start, line.next - line.start));
    pos = line.next;
  }
  return limit;
}

struct Delimiter {
  size_t start = 0;    // the line break before the delimiter line, when there is one
  size_t lineEnd = 0;  // after the delimiter line's own line end
  bool closing = false;
};

// A delimiter line at `pos` (a line start): "--" boundary, "--" when it
// closes, blanks, and the line end.
bool DelimiterAt(std::string_view data, size_t pos, size_t limit, const std::string& boundary, Delimiter* found) {
  size_t at = pos + 2 + boundary.size();
  if (at > limit) return false;
  bool closing = at + 2 <= limit && data.compare(at, 2, "--") == 0;
  if (closing) at += 2;
  while (at < limit && (data[at] == ' ' || data[at] == '\t')) ++at;
  if (at < limit && data[at] == '\r' && at + 1 < limit && data[at + 1] == '\n') ++at;
  if (at < limit && data[at] != '\n') return false;
  found->lineEnd = at < limit ? at + 1 : limit;
  found->closing = closing;
  return true;
}

// The delimiters of a multipart in [from, limit), up to the closing one.
std::vector<Delimiter> FindDelimiters(std::string_view data, size_t from, size_t limit, const std::string& boundary) {
  std::vector<Delimiter> delimiters;
  std::string marker = "--" + boundary;
  size_t earliest = from;  // no delimiter takes bytes of the one before it
  size_t pos = data.find(marker, from);
  while (pos != std::string_view::npos && pos < limit) {
    Delimiter delimiter;
    bool atLineStart = pos == from || data[pos - 1] == '\n';
    if (!atLineStart || !DelimiterAt(data, pos, limit, boundary, &delimiter)) {
      pos = data.find(marker, pos + 1);
      continue;
    }
    // The line break before a delimiter belongs to the delimiter.
    size_t start = pos;
    if (start > earliest && data[start - 1] == '\n') --start;
    if (start > earliest && data[start - 1] == '\r') --start;
    delimiter.start = start;
    delimiters.push_back(delimiter);
    if (delimiter.closing) break;
    earliest = delimiter.lineEnd;
    pos = data.find(marker, delimiter.lineEnd);
  }
  return delimiters;
}

bool IsTransparentEncoding(const std::string& encoding) {
  return encoding.empty() || encoding == "7bit" || encoding == "8bit" || encoding == "binary";
}

class StructureBuilder {
 public:
  StructureBuilder(std::string_view data, const std::string& fallback, MimeStructure* structure, bool variants)
      : data_(data), fallback_(fallback), s_(*structure), variants_(variants),
        maxEntities_(variants ? kMaxMimeEntities : kMaxVariantEntities) {}

  void Expand(size_t index) {
    size_t fieldsStart = 0;
    MimeEntity& e = s_.entities[index];
    if (!e.forced) {
      e.headersEnd = HeaderBlockEnd(data_, e.boundaryEnd, e.end, &fieldsStart);
      e.headers = ReadMimeHeaders(data_.substr(fieldsStart, e.headersEnd - fieldsStart), fallback_);
      if (variants_) FindVariants(index, fieldsStart);
    }
    if (e.inDigest && !e.headers.typeGiven) {
      // The default type of a digest's entries: what a client reads there.
      e.headers.type = "message";
      e.headers.subtype = "rfc822";
    }
    if (e.kind == MimeEntityKind::kRaw) return;
    if (e.depth > kMaxMimeDepth) {
      e.kind = MimeEntityKind::kRaw;
      return;
    }
    if (e.headers.type == "multipart" && (!e.headers.boundary.empty() || e.forced)) {
      ExpandMultipart(index);
    } else if (e.headers.type == "message" && e.headers.subtype != "delivery-status" &&
               IsTransparentEncoding(e.headers.transferEncoding)) {
      // Every message type but a delivery report holds a message to the
      // readers that parse it: external-body, partial, any x- type.
      e.kind = MimeEntityKind::kMessage;
      MimeEntity inner;
      inner.depth = e.depth + 1;
      inner.start = inner.boundaryEnd = e.headersEnd;
      inner.end = e.end;
      Add(index, inner);
    }
  }

 private:
  void ExpandMultipart(size_t index) {
    MimeEntity& e = s_.entities[index];
    e.kind = MimeEntityKind::kMultipart;
    std::vector<Delimiter> delimiters = FindDelimiters(data_, e.headersEnd, e.end, e.headers.boundary);
    e.prologueEnd = delimiters.empty() ? e.end : delimiters.front().start;
    e.closingStart = e.closingEnd = e.end;
    if (!delimiters.empty() && delimiters.back().closing) {
      e.closingStart = delimiters.back().start;
      e.closingEnd = delimiters.back().lineEnd;
      delimiters.pop_back();
    }
    size_t partsEnd = e.closingStart;
    int depth = e.depth + 1;
    bool digest = e.headers.subtype == "digest";  // `e` moves once a part is added
    for (size_t i = 0; i < delimiters.size(); ++i) {
      MimeEntity part;
      part.depth = depth;
      part.delimited = true;
      part.inDigest = digest;
      part.start = delimiters[i].start;
      part.boundaryEnd = delimiters[i].lineEnd;
      part.end = i + 1 < delimiters.size() ? delimiters[i + 1].start : partsEnd;
      // Past the budget the remaining parts stay together, unsplit.
      if (s_.entities.size() + 1 >= maxEntities_) {
        part.kind = MimeEntityKind::kRaw;
        part.end = partsEnd;
        Add(index, part);
        break;
      }
      Add(index, part);
    }
  }

  // Every other reading of the block: past the lines a strict reader stops
  // at, by another type or boundary it gives, by another transfer encoding.
  void FindVariants(size_t index, size_t fieldsStart) {
    MimeEntity& e = s_.entities[index];
    auto add = [&](MimeVariant variant) {
      if (e.variants.size() < kMaxVariantsPerEntity && variantCount_ < kMaxVariants) {
        e.variants.push_back(std::move(variant));
        ++variantCount_;
      }
    };
    std::string fields;
    size_t lenientEnd = LenientHeaderBlockEnd(data_, fieldsStart, e.end, &fields);
    if (lenientEnd > e.headersEnd) add({lenientEnd, ReadMimeHeaders(fields, fallback_)});
    for (const MimeTypeReading& reading : e.headers.otherTypes) {
      MimeVariant variant{e.headersEnd, e.headers};
      variant.headers.type = reading.type;
      variant.headers.subtype = reading.subtype;
      variant.headers.boundary = reading.boundary;
      add(std::move(variant));
    }
    // A multipart whose boundary is empty: some readers split it at "--".
    if (e.headers.type == "multipart" && e.headers.boundary.empty()) add({e.headersEnd, e.headers});
    for (const std::string& encoding : e.headers.otherEncodings) {
      MimeVariant variant{e.headersEnd, e.headers};
      variant.headers.transferEncoding = encoding;
      add(std::move(variant));
    }
  }

  void Add(size_t parent, const MimeEntity& child) {
    s_.entities.push_back(child);
    size_t index = s_.entities.size() - 1;
    s_.entities[parent].children.push_back(index);
    Expand(index);  // the depth is bounded, so the recursion is too
  }

  std::string_view data_;
  const std::string& fallback_;
  MimeStructure& s_;
  bool variants_;
  size_t maxEntities_;
  size_t variantCount_ = 0;
};

void EmitSegments(const MimeStructure& structure, size_t index, std::vector<MimeSegment>* out) {
  const MimeEntity& e = structure.entities[index];
  auto push = [&](uint8_t type, size_t start, size_t boundary, size_t headers, size_t end) {
    if (end > start) out->push_back(MimeSegment{type, start, boundary, headers, end});
  };
  size_t boundary = e.boundaryEnd - e.start;
  size_t headers = e.headersEnd - e.boundaryEnd;
  switch (e.kind) {
    case MimeEntityKind::kLeaf:
    case MimeEntityKind::kRaw:
      if (e.delimited) {
        push(kMimePartBody, e.start, boundary, headers, e.end);
      } else {
        push(kMimePartMessage, e.start, 0, headers, e.headersEnd);
        push(kMimePartBody, e.headersEnd, 0, 0, e.end);
      }
      return;
    case MimeEntityKind::kMultipart:
      if (e.delimited) {
        push(kMimePartProlog, e.start, boundary, headers, e.prologueEnd);
      } else {
        push(kMimePartMessage, e.start, 0, headers, e.headersEnd);
        push(kMimePartProlog, e.headersEnd, 0, 0, e.prologueEnd);
      }
      for (size_t child : e.children) EmitSegments(structure, child, out);
      push(kMimePartEpilog, e.closingStart, e.closingEnd - e.closingStart, 0, e.end);
      return;
    case MimeEntityKind::kMessage:
      push(kMimePartMessage, e.start, boundary, headers, e.headersEnd);
      for (size_t child : e.children) EmitSegments(structure, child, out);
      return;
  }
}

}  // namespace

bool IsHeaderLine(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  for (size_t i = 0; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c <= 32 || c >= 127) return false;
  }
  return true;
}

namespace {

// A zero byte would end the header text early: it is read as this marker,
// and a name with it in is taken both cut there and whole.
constexpr char kZeroMarker = '\x01';

void Unmark(std::string* text) { text->erase(std::remove(text->begin(), text->end(), kZeroMarker), text->end()); }

void AddName(std::vector<std::string>* names, const char* value) {
  if (value == nullptr || *value == '\0') return;
  std::string name = value;
  std::string cut = name.substr(0, name.find(kZeroMarker));
  Unmark(&name);
  for (std::string* form : {&cut, &name}) {
    if (!form->empty() && std::find(names->begin(), names->end(), *form) == names->end()) names->push_back(*form);
  }
}

void AddParameters(GMimeParamList* list, const char* wanted, std::vector<std::string>* values) {
  int count = list == nullptr ? 0 : g_mime_param_list_length(list);
  for (int i = 0; i < count; ++i) {
    GMimeParam* param = g_mime_param_list_get_parameter_at(list, i);
    const char* name = g_mime_param_get_name(param);
    if (name != nullptr && g_ascii_strcasecmp(name, wanted) == 0) values->push_back(g_mime_param_get_value(param));
  }
}

// Each boundary as readers may take it: as written, trimmed, and with an
// encoded word decoded.
void AddBoundaryForms(const std::string& boundary, std::vector<std::string>* forms) {
  auto add = [&](std::string form) {
    if (std::find(forms->begin(), forms->end(), form) == forms->end()) forms->push_back(std::move(form));
  };
  add(boundary);
  add(Trim(boundary));
  if (boundary.find("=?") != std::string::npos) {
    char* decoded = g_mime_utils_header_decode_text(nullptr, boundary.c_str());
    if (decoded != nullptr) add(decoded);
    g_free(decoded);
  }
}

// What every field of the block says, where a block says a thing twice:
// names, types and boundaries, transfer encodings.
void ReadEveryField(GMimeObject* object, GMimeParserOptions* options, MimeHeaders* headers,
                    std::vector<std::string>* dispositionNames, std::vector<std::string>* typeNames) {
  GMimeHeaderList* list = g_mime_object_get_header_list(object);
  int count = list == nullptr ? 0 : g_mime_header_list_get_count(list);
  MimeTypeReading primary{headers->type, headers->subtype, headers->boundary};
  for (int i = 0; i < count; ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
    const char* name = g_mime_header_get_name(header);
    const char* value = g_mime_header_get_raw_value(header);
    if (name == nullptr || value == nullptr) continue;
    if (g_ascii_strcasecmp(name, "Content-Disposition") == 0) {
      GMimeContentDisposition* disposition = g_mime_content_disposition_parse(options, value);
      if (disposition == nullptr) continue;
      std::vector<std::string> values;
      AddParameters(g_mime_content_disposition_get_parameters(disposition), "filename", &values);
      for (const std::string& v : values) AddName(dispositionNames, v.c_str());
      g_object_unref(disposition);
    } else if (g_ascii_strcasecmp(name, "Content-Type") == 0) {
      GMimeContentType* type = g_mime_content_type_parse(options, value);
      if (type == nullptr) continue;
      std::vector<std::string> values;
      AddParameters(g_mime_content_type_get_parameters(type), "name", &values);
      for (const std::string& v : values) AddName(typeNames, v.c_str());
      std::vector<std::string> boundaries;
      AddParameters(g_mime_content_type_get_parameters(type), "boundary", &boundaries);
      std::vector<std::string> forms;
      for (const std::string& b : boundaries) AddBoundaryForms(b, &forms);
      if (forms.empty()) forms.emplace_back();
      for (std::string& form : forms) {
        Unmark(&form);
        MimeTypeReading reading{LowerText(g_mime_content_type_get_media_type(type)),
                                LowerText(g_mime_content_type_get_media_subtype(type)), form};
        bool known = reading == primary || std::find(headers->otherTypes.begin(), headers->otherTypes.end(), reading) !=
                                               headers->otherTypes.end();
        if (!known) headers->otherTypes.push_back(std::move(reading));
      }
      g_object_unref(type);
    } else if (g_ascii_strcasecmp(name, "Content-Transfer-Encoding") == 0) {
      std::string encoding = Trim(LowerText(value));
      Unmark(&encoding);
      auto& others = headers->otherEncodings;
      if (encoding != headers->transferEncoding && std::find(others.begin(), others.end(), encoding) == others.end()) {
        others.push_back(encoding);
      }
    }
  }
}

}  // namespace

MimeHeaders ReadMimeHeaders(std::string_view block, const std::string& fallbackCharset) {
  InitGMime();
  std::string text;
  text.reserve(block.size() + 4);
  for (char c : block) text.push_back(c == '\0' ? kZeroMarker : c);
  text += "\n\n";  // headers only, whether or not the block had its blank line
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  GMimeParserOptions* options = g_mime_parser_options_new();
  const char* fallback[] = {"UTF-8", fallbackCharset.c_str(), nullptr};
  g_mime_parser_options_set_fallback_charsets(options, fallback);
  g_mime_parser_options_set_rfc2047_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
  g_mime_parser_options_set_parameter_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
  GPtr<GMimeObject> object(g_mime_parser_construct_part(parser.get(), options));
  MimeHeaders headers;
  if (!object) {
    g_mime_parser_options_free(options);
    return headers;
  }
  headers.typeGiven = g_mime_object_get_header(object.get(), "Content-Type") != nullptr;
  if (GMimeContentType* type = g_mime_object_get_content_type(object.get())) {
    if (g_mime_content_type_get_media_type(type) != nullptr) {
      headers.type = LowerText(g_mime_content_type_get_media_type(type));
      headers.subtype = LowerText(g_mime_content_type_get_media_subtype(type));
    }
    const char* boundary = g_mime_content_type_get_parameter(type, "boundary");
    if (boundary != nullptr) headers.boundary = boundary;
    const char* charset = g_mime_content_type_get_parameter(type, "charset");
    if (charset != nullptr) headers.charset = Trim(charset);
  }
  headers.transferEncoding = Trim(LowerText(g_mime_object_get_header(object.get(), "Content-Transfer-Encoding")));
  for (std::string* field : {&headers.type, &headers.subtype, &headers.boundary, &headers.charset, &headers.transferEncoding}) {
    Unmark(field);
  }
  if (GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object.get())) {
    headers.attachment = g_mime_content_disposition_is_attachment(disposition);
  }
  // A client may show any of the names: the disposition's first, cut at a
  // zero byte, is the one shown here, and every other is kept for the name
  // filter.
  std::vector<std::string> names;
  std::vector<std::string> typeNames;
  ReadEveryField(object.get(), options, &headers, &names, &typeNames);
  g_mime_parser_options_free(options);
  for (std::string& name : typeNames) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
  }
  if (!names.empty()) {
    headers.filename = names.front();
    headers.otherNames.assign(names.begin() + 1, names.end());
  }
  return headers;
}

void ParseMimeStructure(std::string_view message, const std::string& fallbackCharset, MimeStructure* structure) {
  structure->entities.clear();
  MimeEntity root;
  root.end = message.size();
  structure->entities.push_back(root);
  StructureBuilder(message, fallbackCharset, structure, true).Expand(0);
}

void ParseVariantStructure(std::string_view message, const MimeStructure& structure, size_t index,
                           const MimeVariant& variant, const std::string& fallbackCharset, MimeStructure* out) {
  const MimeEntity& e = structure.entities[index];
  MimeEntity root;
  root.depth = e.depth;
  root.delimited = e.delimited;
  root.start = e.start;
  root.boundaryEnd = e.boundaryEnd;
  root.headersEnd = std::min(variant.headersEnd, e.end);
  root.end = e.end;
  root.headers = variant.headers;
  root.forced = true;
  out->entities.clear();
  out->entities.push_back(std::move(root));
  StructureBuilder(message, fallbackCharset, out, false).Expand(0);
}

std::vector<MimeSegment> MimeSegments(const MimeStructure& structure) {
  std::vector<MimeSegment> segments;
  if (!structure.entities.empty()) EmitSegments(structure, 0, &segments);
  return segments;
}

}  // namespace notesapi::host
