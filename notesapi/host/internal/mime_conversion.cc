#include "notesapi/host/internal/mime_conversion.h"

#include <algorithm>

#include "notesapi/host/internal/mime_structure.h"
#include "notesapi/host/internal/smime_content.h"
#include "notesapi/stored_structures.h"
#include "mime/transfer_decoding.h"

namespace notesapi::host {

using namespace mime;

namespace {

// S/MIME inside S/MIME is unwrapped this deep; deeper is not read.
constexpr int kMaxSignedDepth = 4;

bool HasContent(std::string_view bytes) { return bytes.find_first_not_of(" \t\r\n") != std::string_view::npos; }

bool IsInlineText(const MimeHeaders& h) { return h.type == "text" && !h.attachment && h.filename.empty(); }

bool EndsWith(std::string_view text, std::string_view end) {
  if (text.size() < end.size()) return false;
  return std::equal(end.begin(), end.end(), text.end() - static_cast<std::ptrdiff_t>(end.size()),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// An S/MIME message part, by its type or by the name clients know it by.
bool IsSmimePart(const MimeHeaders& h) {
  return (h.type == "application" && (h.subtype == "pkcs7-mime" || h.subtype == "x-pkcs7-mime")) ||
         EndsWith(h.filename, ".p7m");
}

// The mail's own body: through mixed, related, signed and the rest the first
// part; through alternative every alternative; never what a digest or an
// attached message holds.
void CollectBody(const MimeStructure& structure, size_t index, std::vector<bool>* body) {
  const MimeEntity& e = structure.entities[index];
  if (e.kind == MimeEntityKind::kLeaf) {
    if (IsInlineText(e.headers)) (*body)[index] = true;
    return;
  }
  if (e.kind != MimeEntityKind::kMultipart || e.children.empty() || e.headers.subtype == "digest") return;
  if (e.headers.subtype == "alternative") {
    for (size_t child : e.children) CollectBody(structure, child, body);
    return;
  }
  CollectBody(structure, e.children.front(), body);
}

// Where every file inside a part that can only go whole is written back
// (the inside of an S/MIME part, another reader's reading of a part): the
// part's content.
struct WholePart {
  size_t from = 0;
  size_t to = 0;
  std::string transferEncoding;
  int depth = 0;
};

class Presenter {
 public:
  Presenter(std::string_view message, Charsets& charsets, ConvertedMessage* out, Conversion conversion,
            const WholePart* outer = nullptr)
      : message_(message), charsets_(charsets), out_(*out), whole_(conversion == Conversion::kWhole), outer_(outer) {}

  void PresentMessage(const MimeStructure& structure) {
    body_.assign(structure.entities.size(), false);
    if (outer_ == nullptr) CollectBody(structure, 0, &body_);
    Present(structure, 0);
  }

 private:
  void Present(const MimeStructure& structure, size_t index) {
    PresentAsRead(structure, index);
    const MimeEntity& e = structure.entities[index];
    for (const MimeVariant& variant : e.variants) PresentVariant(structure, index, variant);
  }

  // Another reader's reading of an entity: its parts are files that go, on
  // a finding, with the whole entity as this reading sees it.
  void PresentVariant(const MimeStructure& structure, size_t index, const MimeVariant& variant) {
    const MimeEntity& e = structure.entities[index];
    MimeStructure read;
    ParseVariantStructure(message_, structure, index, variant, charsets_.NativeName(), &read);
    WholePart whole{e.headersEnd, std::max(e.end, e.headersEnd), e.headers.transferEncoding, 0};
    if (outer_ != nullptr) whole = *outer_;
    PresentInside(message_, read, whole);
  }

  // Presents `structure` of `text` with every file going back as `whole`.
  void PresentInside(std::string_view text, const MimeStructure& structure, const WholePart& whole) {
    ConvertedMessage nested;
    nested.files = std::move(out_.files);
    Presenter(text, charsets_, &nested, Conversion::kWhole, &whole).PresentMessage(structure);
    out_.files = std::move(nested.files);
  }

  void PresentAsRead(const MimeStructure& structure, size_t index) {
    const MimeEntity& e = structure.entities[index];
    switch (e.kind) {
      case MimeEntityKind::kLeaf:
        PresentLeaf(e, index);
        return;
      case MimeEntityKind::kRaw:
        // Not split any further: the entity as it stands, headers and all.
        AddRange(e.headers.filename, ".eml", e.boundaryEnd, e.end);
        out_.files.back().flags |= kFileFlagUnsplit;
        return;
      case MimeEntityKind::kMultipart:
        if (HasContent(Range(e.headersEnd, e.prologueEnd))) AddRange("", ".txt", e.headersEnd, e.prologueEnd);
        for (size_t child : e.children) Present(structure, child);
        if (HasContent(Range(e.closingEnd, e.end))) AddRange("", ".txt", e.closingEnd, e.end);
        return;
      case MimeEntityKind::kMessage:
        for (size_t child : e.children) Present(structure, child);
        return;
    }
  }

  std::string_view Range(size_t from, size_t to) const { return message_.substr(from, to > from ? to - from : 0); }

  void PresentLeaf(const MimeEntity& e, size_t index) {
    const MimeHeaders& h = e.headers;
    // Content sent as it is (7bit, 8bit, binary) is read where it stands,
    // not copied first.
    std::string_view content = Range(e.headersEnd, e.end);
    bool inlineText = IsInlineText(h);
    bool smime = IsSmimePart(h);
    std::string decodedBytes;
    std::string_view decoded = content;
    if ((whole_ || inlineText || smime || outer_ != nullptr) && !IsIdentityTransferEncoding(h.transferEncoding)) {
      decodedBytes = DecodeTransferEncoding(h.transferEncoding, content);
      decoded = decodedBytes;
    }
    if (smime && PresentSmime(e, decoded)) return;
    PresentOtherDecodings(e, content);
    // Text with zero bytes in it is no text a reader sees: it goes as a file.
    bool text = inlineText && decoded.find('\0') == std::string_view::npos;
    if (text && body_[index]) {
      PresentBodyText(e, index, decoded, std::move(decodedBytes));
      return;
    }
    // Text that is no body is a file, replaced alone; the files inside it
    // are found all the same.
    std::vector<EmbeddedFile> embeddedFiles;
    if (text) embeddedFiles = FindEmbeddedFiles(decoded);
    size_t file = out_.files.size();
    const char* extension = h.type == "text" ? (h.subtype == "html" ? ".html" : ".txt") : h.type == "message" ? ".eml" : ".dat";
    AddPartFile(e, extension, std::move(decodedBytes));
    if (!text) return;
    size_t textPart = AddTextPart(e, index, false, file);
    for (EmbeddedFile& embedded : embeddedFiles) AddEmbedded(std::move(embedded), textPart);
  }

  // What other readers decode from the part where their decoders part from
  // this one: each a file of its own that goes, on a finding, with the part.
  void PresentOtherDecodings(const MimeEntity& e, std::string_view content) {
    const MimeHeaders& h = e.headers;
    if (!HasOtherDecodings(h.transferEncoding, content)) return;
    std::string decoded = DecodeTransferEncoding(h.transferEncoding, content);
    for (std::string& other : OtherDecodings(h.transferEncoding, content, decoded)) {
      ConvertedFile file = NewFile(h.filename, ".dat");
      file.data = std::move(other);
      file.source = FileSource::kPartContent;
      file.from = e.headersEnd;
      file.to = std::max(e.end, e.headersEnd);
      file.transferEncoding = h.transferEncoding;
      Place(&file);
      out_.files.push_back(std::move(file));
    }
  }

  // A text whose declared character set does not read ASCII as ASCII (UTF-16,
  // EBCDIC) shows other characters than its bytes spell: a reader that takes
  // the bytes as they are gets the bytes.
  bool ReadsAsciiAsAscii(const std::string& charset) const {
    static constexpr std::string_view kProbe = "Az09+/=<>\n";
    if (charset.empty()) return true;
    std::string out;
    if (charsets_.DecodeNamed(charset, kProbe, &out) != kNoError) return true;  // unknown: read in the native set
    return out == kProbe;
  }

  void PresentBodyText(const MimeEntity& e, size_t index, std::string_view decoded, std::string decodedBytes) {
    const MimeHeaders& h = e.headers;
    size_t textPart = AddTextPart(e, index, true, 0);
    // Each form of a large text goes as soon as the next is made.
    std::vector<EmbeddedFile> embeddedFiles = FindEmbeddedFiles(decoded);
    if (h.subtype == "html" || !ReadsAsciiAsAscii(h.charset)) {
      // A browser gets the source, not the text the body shows; the bytes
      // of a text in a wide or EBCDIC set are the body too.
      ConvertedFile source;
      source.name = h.subtype == "html" ? "Body (text/html)" : "Body (as sent)";
      source.source = FileSource::kBodySource;
      source.textPart = textPart;
      source.flags = kFileFlagBodySource;
      if (whole_) source.data = std::string(decoded);
      out_.files.push_back(std::move(source));
    }
    if (whole_) {
      std::string utf8 = TextToUtf8(charsets_, h.charset, decoded);
      std::string().swap(decodedBytes);
      AddText(std::move(utf8));
    }
    for (EmbeddedFile& embedded : embeddedFiles) AddEmbedded(std::move(embedded), textPart);
  }

  size_t AddTextPart(const MimeEntity& e, size_t index, bool body, size_t file) {
    const MimeHeaders& h = e.headers;
    out_.textParts.push_back(ConvertedTextPart{index, e.headersEnd, std::max(e.end, e.headersEnd), h.subtype, h.charset,
                                               h.transferEncoding, body, file});
    return out_.textParts.size() - 1;
  }

  void AddEmbedded(EmbeddedFile embedded, size_t textPart) {
    ConvertedFile file = NewFile(embedded.name, ".dat");
    file.data = std::move(embedded.data);
    file.source = FileSource::kInText;
    file.textPart = textPart;
    file.blockBegin = embedded.begin;
    file.blockEnd = embedded.end;
    Place(&file);
    out_.files.push_back(std::move(file));
  }

  // A part as a file: its content decoded (`decodedBytes`, or the content
  // as it stands when its encoding is the identity).
  void AddPartFile(const MimeEntity& e, const char* extension, std::string decodedBytes) {
    const MimeHeaders& h = e.headers;
    ConvertedFile file = NewFile(h.filename, extension);
    file.otherNames = h.otherNames;
    if (whole_ || outer_ != nullptr) {
      bool identity = IsIdentityTransferEncoding(h.transferEncoding);
      file.data = identity ? std::string(Range(e.headersEnd, e.end)) : std::move(decodedBytes);
    }
    file.source = FileSource::kPartContent;
    file.from = e.headersEnd;
    file.to = std::max(e.end, e.headersEnd);
    file.transferEncoding = h.transferEncoding;
    Place(&file);
    out_.files.push_back(std::move(file));
  }

  // S/MIME: what is inside a signed part is shown as its readers see it;
  // encrypted content is shown as a file no scanner reads. False: no CMS
  // structure, an ordinary file.
  bool PresentSmime(const MimeEntity& e, std::string_view decoded) {
    std::string inner;
    SmimeContent content = ReadSmimeContent(decoded, &inner);
    if (content == SmimeContent::kNone) return false;
    int depth = outer_ != nullptr ? outer_->depth + 1 : 1;
    if (content == SmimeContent::kSigned && depth <= kMaxSignedDepth) {
      WholePart outer{e.headersEnd, std::max(e.end, e.headersEnd), e.headers.transferEncoding, depth};
      if (outer_ != nullptr) outer = *outer_;  // the outermost part is what is written back
      outer.depth = depth;
      MimeStructure structure;
      ParseMimeStructure(inner, charsets_.NativeName(), &structure);
      PresentInside(inner, structure, outer);
      return true;
    }
    AddPartFile(e, ".p7m", std::string(decoded));
    out_.files.back().flags |= content == SmimeContent::kEncrypted ? kFileFlagEncryptedContent : kFileFlagUnsplit;
    return true;
  }

  // Inside a signed part every file goes back as the whole part.
  void Place(ConvertedFile* file) const {
    if (outer_ == nullptr) return;
    file->source = FileSource::kInWholePart;
    file->from = outer_->from;
    file->to = outer_->to;
    file->transferEncoding = outer_->transferEncoding;
  }

  void AddText(std::string text) {
    size_t start = 0;
    for (size_t feed; (feed = text.find('\n', start)) != std::string::npos; start = feed + 1) {
      if (feed + 1 == text.size()) {
        text.resize(feed);
        AddLastLine(std::move(text), start);
        out_.textLines.emplace_back();  // the text ended with its line end
        return;
      }
      out_.textLines.push_back(text.substr(start, feed - start));
    }
    if (start < text.size()) AddLastLine(std::move(text), start);
  }

  // The text's last line from `start`: a line that is most of the text (one
  // long line) keeps the text's own memory instead of a second copy.
  void AddLastLine(std::string text, size_t start) {
    if (text.size() - start < text.size() / 2) {
      out_.textLines.push_back(text.substr(start));
      return;
    }
    text.erase(0, start);
    out_.textLines.push_back(std::move(text));
  }

  ConvertedFile NewFile(const std::string& name, const char* extension) const {
    ConvertedFile file;
    file.name = name.empty() ? "part" + std::to_string(out_.files.size() + 1) + extension : name;
    return file;
  }
  void AddRange(const std::string& name, const char* extension, size_t from, size_t to) {
    ConvertedFile file = NewFile(name, extension);
    if (whole_ || outer_ != nullptr) file.data = std::string(Range(from, to));
    file.from = from;
    file.to = std::max(from, to);
    Place(&file);
    out_.files.push_back(std::move(file));
  }

  std::string_view message_;
  Charsets& charsets_;
  ConvertedMessage& out_;
  bool whole_;
  const WholePart* outer_;
  std::vector<bool> body_;
};

}  // namespace

std::string TextToUtf8(Charsets& charsets, const std::string& charset, std::string_view bytes) {
  std::string utf8;
  bool plainAscii = charset.empty() || charset == "us-ascii" || charset == "US-ASCII";
  if (!plainAscii && charsets.DecodeNamed(charset, bytes, &utf8) == kNoError) return utf8;
  // Undeclared or unknown: UTF-8 when it is that, else the native code page,
  // never Latin-1.
  if (Charsets::IsUtf8(bytes)) return std::string(bytes);
  if (charsets.DecodeNamed(charsets.NativeName(), bytes, &utf8) == kNoError) return utf8;
  return std::string(bytes);
}

namespace {

// A carriage return with no line feed after it.
size_t FirstBareCr(std::string_view message) {
  for (size_t at = message.find('\r'); at != std::string_view::npos; at = message.find('\r', at + 1)) {
    if (at + 1 >= message.size() || message[at + 1] != '\n') return at;
  }
  return std::string_view::npos;
}

}  // namespace

void ConvertMimeMessage(std::string_view message, Charsets& charsets, ConvertedMessage* converted,
                        Conversion conversion) {
  MimeStructure structure;
  ParseMimeStructure(message, charsets.NativeName(), &structure);
  ConvertedMessage result;
  Presenter(message, charsets, &result, conversion).PresentMessage(structure);
  // Readers that end a line at a lone carriage return see other lines, and
  // so other parts: that reading is scanned too, and on a finding the
  // message goes from the line where the readings part.
  if (size_t cr = FirstBareCr(message); cr != std::string_view::npos) {
    std::string lines(message);
    for (size_t at = cr; at < lines.size(); ++at) {
      if (lines[at] == '\r' && (at + 1 == lines.size() || lines[at + 1] != '\n')) lines[at] = '\n';
    }
    size_t feed = message.rfind('\n', cr);
    WholePart whole{feed == std::string_view::npos ? 0 : feed + 1, message.size(), "", 0};
    MimeStructure read;
    ParseMimeStructure(lines, charsets.NativeName(), &read);
    Presenter(lines, charsets, &result, conversion, &whole).PresentMessage(read);
  }
  *converted = std::move(result);
}

std::string ContentOf(std::string_view message, const ConvertedFile& file) {
  if (file.source == FileSource::kInText || file.source == FileSource::kInWholePart) return file.data;
  if (file.source == FileSource::kBodySource) return file.data;
  std::string_view range = message.substr(std::min(file.from, message.size()), file.to - file.from);
  if (file.source == FileSource::kRange || IsIdentityTransferEncoding(file.transferEncoding)) return std::string(range);
  return DecodeTransferEncoding(file.transferEncoding, range);
}

}  // namespace notesapi::host
