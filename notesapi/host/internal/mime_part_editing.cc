#include "notesapi/host/internal/mime_part_editing.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "mime/header_fields.h"

namespace notesapi::host {

using namespace mime;

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The line end a piece of the message uses: CRLF when it has one, else LF
// when it has one, else that of the whole message.
std::string LineEndOf(std::string_view piece, std::string_view message) {
  size_t feed = piece.find('\n');
  if (feed == std::string_view::npos) {
    piece = message;
    feed = piece.find('\n');
  }
  return feed != std::string_view::npos && feed > 0 && piece[feed - 1] == '\r' ? "\r\n" : "\n";
}

std::string WithLineEnds(std::string_view text, const std::string& lineEnd) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n') {
      out += lineEnd;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

bool EndsWithLineEnd(std::string_view text) { return !text.empty() && text.back() == '\n'; }

namespace {

// Data that reads as text (no control bytes but line ends and tabs): its
// lines may take the part's line ends without changing what it says.
bool IsText(std::string_view data) {
  return std::all_of(data.begin(), data.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x20 || c == '\n' || c == '\r' || c == '\t';
  });
}

bool IsUuencoding(const std::string& name) { return name == "x-uuencode" || name == "uuencode" || name == "x-uue"; }

// Data as a uuencoded block under the begin line the original had (its
// mode and name), so that a client decodes it as the same file.
std::string Uuencode(std::string_view data, std::string_view original) {
  std::string begin = "begin 644 attachment";
  size_t at = original.find("begin ");
  if (at != std::string_view::npos && (at == 0 || original[at - 1] == '\n')) {
    size_t end = original.find_first_of("\r\n", at);
    begin = std::string(original.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
  }
  auto digit = [](unsigned value) { return static_cast<char>(value == 0 ? '`' : 0x20 + (value & 0x3F)); };
  std::string out = begin + "\n";
  for (size_t line = 0; line < data.size(); line += 45) {
    size_t n = std::min<size_t>(45, data.size() - line);
    out += digit(static_cast<unsigned>(n));
    for (size_t i = 0; i < n; i += 3) {
      unsigned char a = static_cast<unsigned char>(data[line + i]);
      unsigned char b = i + 1 < n ? static_cast<unsigned char>(data[line + i + 1]) : 0;
      unsigned char c = i + 2 < n ? static_cast<unsigned char>(data[line + i + 2]) : 0;
      out += digit(a >> 2);
      out += digit(((a << 4) | (b >> 4)) & 0x3F);
      out += digit(((b << 2) | (c >> 6)) & 0x3F);
      out += digit(c & 0x3F);
    }
    out += "\n";
  }
  return out + "`\nend\n";
}

}  // namespace

// Data in a part's own transfer encoding (through GMime's encoders, or a
// uuencoded block), with the part's line ends, ending in a line end exactly
// when `original` did. Under an identity encoding, text takes the part's
// line ends too; other data goes as it is.
std::string EncodeContent(const std::string& transferEncoding, std::string_view data, std::string_view original,
                          std::string_view message) {
  std::string name = Lower(transferEncoding);
  std::string lineEnd = LineEndOf(original, message);
  std::string out;
  if (IsUuencoding(name)) {
    out = Uuencode(data, original);
  } else if (name == "base64" || name == "quoted-printable") {
    GMimeEncoding state;
    bool base64 = name == "base64";
    g_mime_encoding_init_encode(&state, base64 ? GMIME_CONTENT_ENCODING_BASE64 : GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
    out.assign(g_mime_encoding_outlen(&state, data.size()) + 16, '\0');
    out.resize(g_mime_encoding_flush(&state, data.data(), data.size(), out.data()));
    // A quoted-printable line break is data: the last one stays, and the
    // line break before the next delimiter is the delimiter's.
    if (!base64) return WithLineEnds(out, lineEnd);
  } else if (IsText(data)) {
    return WithLineEnds(data, lineEnd);
  } else {
    return std::string(data);  // identity encodings carry binary data as it is
  }
  while (EndsWithLineEnd(out)) out.pop_back();
  out = WithLineEnds(out, lineEnd);
  if (EndsWithLineEnd(original)) out += lineEnd;
  return out;
}

// Text for an HTML body: every character that is not plain ASCII as a
// character reference, so the block reads the same in any character set.
std::string EscapedHtml(Charsets& charsets, std::string_view utf8) {
  std::u16string units = charsets.Utf8ToUtf16(utf8);
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t code = units[i];
    bool pair = code >= 0xD800 && code <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
    if (pair) code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
    if (code == '&') {
      out += "&amp;";
    } else if (code == '<') {
      out += "&lt;";
    } else if (code == '>') {
      out += "&gt;";
    } else if (code == '\r') {
      continue;
    } else if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else {
      out += "&#" + std::to_string(code) + ";";
    }
  }
  return out;
}

std::string HtmlBlock(Charsets& charsets, std::string_view utf8, const std::string& lineEnd) {
  return "<pre>" + WithLineEnds(EscapedHtml(charsets, utf8), lineEnd) + "</pre>" + lineEnd;
}

// Where a block goes in front of an HTML body: after its <body> tag, else
// at the very start.
size_t HtmlBodyStart(std::string_view html) {
  std::string lower = Lower(html);
  size_t body = lower.find("<body");
  if (body == std::string::npos) return 0;
  size_t close = lower.find('>', body);
  return close == std::string::npos ? 0 : close + 1;
}

// The header block with the charset parameter set to `charset` (when not
// empty) and, when `eightBit`, the transfer encoding said as 8bit; nothing
// else of it changes.
std::string HeadersWith(std::string block, const std::string& charset, bool eightBit, const std::string& lineEnd) {
  bool setCharset = !charset.empty();
  size_t blank = block.size();
  while (blank > 0 && (block[blank - 1] == '\n' || block[blank - 1] == '\r')) --blank;
  std::string tail = block.substr(blank);  // the blank line that ends the block
  block.resize(blank);
  if (!block.empty()) block += lineEnd;
  if (setCharset) {
    auto [start, end] = FindHeaderField(block, "Content-Type");
    if (start == std::string::npos) {
      block += "Content-Type: text/plain; charset=" + charset + lineEnd;
    } else {
      std::string field = block.substr(start, end - start);
      std::string lower = Lower(field);
      size_t at = lower.find("charset=");
      if (at != std::string::npos) {
        size_t value = at + 8;
        size_t stop = value;
        if (stop < field.size() && field[stop] == '"') {
          stop = field.find('"', stop + 1);
          stop = stop == std::string::npos ? field.size() : stop + 1;
        } else {
          while (stop < field.size() && !std::strchr(" \t;\r\n", field[stop])) ++stop;
        }
        field.replace(value, stop - value, charset);
      } else {
        size_t content = field.size();
        while (content > 0 && (field[content - 1] == '\n' || field[content - 1] == '\r')) --content;
        field.insert(content, "; charset=" + charset);
      }
      block.replace(start, end - start, field);
    }
  }
  if (eightBit) {
    auto [start, end] = FindHeaderField(block, "Content-Transfer-Encoding");
    std::string field = "Content-Transfer-Encoding: 8bit" + lineEnd;
    if (start == std::string::npos) {
      block += field;
    } else {
      block.replace(start, end - start, field);
    }
  }
  if (!block.empty() && block.size() >= lineEnd.size()) block.resize(block.size() - lineEnd.size());
  return block + (tail.empty() ? lineEnd + lineEnd : tail);
}

}  // namespace notesapi::host
