#include "notesapi/host/internal/mime_conversion.h"

#include <algorithm>

#include "notesapi/host/internal/mime_structure.h"
#include "notesapi/transfer_decoding.h"

namespace notesapi::host {

namespace {

bool HasContent(std::string_view bytes) { return bytes.find_first_not_of(" \t\r\n") != std::string_view::npos; }

class Presenter {
 public:
  Presenter(std::string_view message, Charsets& charsets, ConvertedMessage* out, Conversion conversion)
      : message_(message), charsets_(charsets), out_(*out), whole_(conversion == Conversion::kWhole) {}

  void Present(const MimeStructure& structure, size_t index) {
    const MimeEntity& e = structure.entities[index];
    switch (e.kind) {
      case MimeEntityKind::kLeaf:
        PresentLeaf(e, index);
        return;
      case MimeEntityKind::kRaw:
        // Not split any further: the entity as it stands, headers and all.
        AddRange(e.headers.filename, ".eml", e.boundaryEnd, e.end);
        out_.files.back().unsplit = true;
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

 private:
  std::string_view Range(size_t from, size_t to) const { return message_.substr(from, to > from ? to - from : 0); }

  void PresentLeaf(const MimeEntity& e, size_t index) {
    const MimeHeaders& h = e.headers;
    // Content sent as it is (7bit, 8bit, binary) is read where it stands,
    // not copied first.
    std::string_view content = Range(e.headersEnd, e.end);
    bool inlineText = h.type == "text" && !h.attachment && h.filename.empty();
    std::string decodedBytes;
    std::string_view decoded = content;
    if ((whole_ || inlineText) && !IsIdentityTransferEncoding(h.transferEncoding)) {
      decodedBytes = DecodeTransferEncoding(h.transferEncoding, content);
      decoded = decodedBytes;
    }
    // Text with zero bytes in it is no text a reader sees: it goes as a file.
    if (!inlineText || decoded.find('\0') != std::string_view::npos) {
      ConvertedFile file = NewFile(h.filename, h.type == "text" ? ".txt" : h.type == "message" ? ".eml" : ".dat");
      file.otherName = h.otherName;
      if (whole_) file.data = decodedBytes.empty() ? std::string(decoded) : std::move(decodedBytes);
      file.source = FileSource::kPartContent;
      file.from = e.headersEnd;
      file.to = std::max(e.end, e.headersEnd);
      file.transferEncoding = h.transferEncoding;
      out_.files.push_back(std::move(file));
      return;
    }
    size_t textPart = out_.textParts.size();
    out_.textParts.push_back(ConvertedTextPart{index, e.headersEnd, std::max(e.end, e.headersEnd), h.subtype, h.charset,
                                               h.transferEncoding});
    // Each form of a large text goes as soon as the next is made.
    std::vector<EmbeddedFile> embeddedFiles = FindEmbeddedFiles(decoded);
    if (whole_) {
      std::string utf8 = TextToUtf8(charsets_, h.charset, decoded);
      std::string().swap(decodedBytes);
      AddText(std::move(utf8));
    }
    for (EmbeddedFile& embedded : embeddedFiles) {
      ConvertedFile file = NewFile(embedded.name, ".dat");
      file.data = std::move(embedded.data);
      file.source = FileSource::kInText;
      file.textPart = textPart;
      file.blockBegin = embedded.begin;
      file.blockEnd = embedded.end;
      out_.files.push_back(std::move(file));
    }
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
    if (whole_) file.data = std::string(Range(from, to));
    file.from = from;
    file.to = std::max(from, to);
    out_.files.push_back(std::move(file));
  }

  std::string_view message_;
  Charsets& charsets_;
  ConvertedMessage& out_;
  bool whole_;
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

void ConvertMimeMessage(std::string_view message, Charsets& charsets, ConvertedMessage* converted,
                        Conversion conversion) {
  MimeStructure structure;
  ParseMimeStructure(message, charsets.NativeName(), &structure);
  ConvertedMessage result;
  Presenter(message, charsets, &result, conversion).Present(structure, 0);
  *converted = std::move(result);
}

std::string ContentOf(std::string_view message, const ConvertedFile& file) {
  if (file.source == FileSource::kInText) return file.data;
  std::string_view range = message.substr(std::min(file.from, message.size()), file.to - file.from);
  if (file.source == FileSource::kRange || IsIdentityTransferEncoding(file.transferEncoding)) return std::string(range);
  return DecodeTransferEncoding(file.transferEncoding, range);
}

}  // namespace notesapi::host
