#include "mime/transfer_decoding.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace mime {

namespace {

constexpr std::array<int8_t, 256> Base64Values() {
  std::array<int8_t, 256> values{};
  for (auto& v : values) v = -1;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  return values;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// The lines of `text` without their line ends.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// One uuencoded line: a length character, then groups of four characters.
void UudecodeLine(std::string_view line, std::string* out) {
  if (line.empty()) return;
  size_t count = static_cast<size_t>((line[0] - ' ') & 0x3F);
  std::string bytes;
  for (size_t i = 1; i < line.size() && bytes.size() < count; i += 4) {
    auto six = [&](size_t at) { return at < line.size() ? static_cast<uint32_t>((line[at] - ' ') & 0x3F) : 0u; };
    uint32_t group = six(i) << 18 | six(i + 1) << 12 | six(i + 2) << 6 | six(i + 3);
    bytes.push_back(static_cast<char>(group >> 16));
    bytes.push_back(static_cast<char>(group >> 8 & 0xFF));
    bytes.push_back(static_cast<char>(group & 0xFF));
  }
  bytes.resize(std::min(bytes.size(), count));
  out->append(bytes);
}

void YdecodeLine(std::string_view line, std::string* out) {
  for (size_t i = 0; i < line.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == '=' && i + 1 < line.size()) c = static_cast<unsigned char>(line[++i] - 64);
    out->push_back(static_cast<char>(c - 42));
  }
}

std::string YencName(std::string_view header) {
  size_t at = header.find(" name=");
  return at == std::string_view::npos ? std::string() : std::string(Trimmed(header.substr(at + 6)));
}

}  // namespace

std::string DecodeBase64Leniently(std::string_view text) {
  static constexpr std::array<int8_t, 256> kValues = Base64Values();
  // Written in place into room for the most the text can give, then cut.
  std::string out(text.size() / 4 * 3 + 3, '\0');
  char* next = out.data();
  uint32_t bits = 0;
  int count = 0;
  // A partial quantum gives the whole bytes it holds.
  auto flush = [&] {
    if (count == 2) *next++ = static_cast<char>(bits >> 4);
    if (count == 3) {
      *next++ = static_cast<char>(bits >> 10);
      *next++ = static_cast<char>(bits >> 2 & 0xFF);
    }
    bits = 0;
    count = 0;
  };
  for (unsigned char c : text) {
    if (c == '=') {
      flush();  // padding ends a quantum, never the decoding: what follows starts afresh
      continue;
    }
    int8_t value = kValues[c];
    if (value < 0) continue;  // white space and garbage: skipped
    bits = bits << 6 | static_cast<uint32_t>(value);
    if (++count == 4) {
      next[0] = static_cast<char>(bits >> 16);
      next[1] = static_cast<char>(bits >> 8 & 0xFF);
      next[2] = static_cast<char>(bits & 0xFF);
      next += 3;
      bits = 0;
      count = 0;
    }
  }
  flush();
  out.resize(static_cast<size_t>(next - out.data()));
  return out;
}

std::string DecodeQuotedPrintableLeniently(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '=') {
      out.push_back(c);
      continue;
    }
    int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
    int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
    if (high >= 0 && low >= 0) {
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
      continue;
    }
    // A soft line break: "=" and white space up to the line end.
    size_t end = i + 1;
    while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) ++end;
    if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
    if (end < text.size() && text[end] == '\n') {
      i = end;
      continue;
    }
    if (end == text.size() && end > i + 1) {
      i = end;
      continue;
    }
    out.push_back('=');  // a bad sequence stands as it is
  }
  return out;
}

namespace {

// Every name a client decodes as uuencode.
bool IsUuencodeName(const std::string& name) {
  return name == "x-uuencode" || name == "uuencode" || name == "x-uue" || name == "uue";
}

// Base64 with "=" taken for nothing at all, as readers that skip every
// character outside the alphabet take it: "WD=VP" is "WDVP" to them.
std::string DecodeBase64SkippingPadding(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    if (c != '=') kept.push_back(c);
  }
  return DecodeBase64Leniently(kept);
}

// Quoted-printable where "=" before a carriage return is a soft line break
// that takes the rest of its line with it, as some readers end a line at a
// lone carriage return.
std::string DecodeQuotedPrintableBreakingAtCr(std::string_view text) {
  std::string cleaned;
  cleaned.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    size_t end = i + 1;
    while (text[i] == '=' && end < text.size() && (text[end] == ' ' || text[end] == '\t')) ++end;
    if (text[i] == '=' && end < text.size() && text[end] == '\r' && !(end + 1 < text.size() && text[end + 1] == '\n')) {
      size_t feed = text.find('\n', end);
      i = feed == std::string_view::npos ? text.size() : feed;
      continue;
    }
    cleaned.push_back(text[i]);
  }
  return DecodeQuotedPrintableLeniently(cleaned);
}

}  // namespace

std::string DecodeTransferEncoding(std::string_view encoding, std::string_view content) {
  std::string name = Lower(Trimmed(encoding));
  if (name == "base64") return DecodeBase64Leniently(content);
  if (name == "quoted-printable") return DecodeQuotedPrintableLeniently(content);
  if (IsUuencodeName(name)) {
    std::vector<EmbeddedFile> files = FindEmbeddedFiles(content);
    if (!files.empty()) return std::move(files.front().data);
  }
  return std::string(content);
}

bool HasOtherDecodings(std::string_view encoding, std::string_view content) {
  std::string name = Lower(Trimmed(encoding));
  if (name == "base64") {
    // Padding only at the very end reads the same to every reader.
    size_t pad = content.find('=');
    return pad != std::string_view::npos && content.find_first_not_of("= \t\r\n", pad) != std::string_view::npos;
  }
  if (name == "quoted-printable") {
    for (size_t at = content.find('='); at != std::string_view::npos; at = content.find('=', at + 1)) {
      size_t end = content.find_first_not_of(" \t", at + 1);
      if (end != std::string_view::npos && content[end] == '\r' && (end + 1 >= content.size() || content[end + 1] != '\n')) {
        return true;
      }
    }
  }
  return false;
}

std::vector<std::string> OtherDecodings(std::string_view encoding, std::string_view content, const std::string& decoded) {
  std::string name = Lower(Trimmed(encoding));
  std::vector<std::string> others;
  auto add = [&](std::string other) {
    if (other != decoded && std::find(others.begin(), others.end(), other) == others.end()) others.push_back(std::move(other));
  };
  if (name == "base64" && content.find('=') != std::string_view::npos) add(DecodeBase64SkippingPadding(content));
  if (name == "quoted-printable" && content.find('\r') != std::string_view::npos) {
    add(DecodeQuotedPrintableBreakingAtCr(content));
  }
  return others;
}

bool IsIdentityTransferEncoding(std::string_view encoding) {
  std::string name = Lower(Trimmed(encoding));
  return name != "base64" && name != "quoted-printable" && !IsUuencodeName(name);
}

std::vector<EmbeddedFile> FindEmbeddedFiles(std::string_view text) {
  std::vector<EmbeddedFile> files;
  std::vector<std::string_view> lines = Lines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    // Any mode, however short, and a name or none: readers take them all.
    bool uu = line.substr(0, 6) == "begin " && line.size() > 6 && std::isdigit(static_cast<unsigned char>(line[6]));
    bool yenc = line.substr(0, 8) == "=ybegin ";
    if (!uu && !yenc) continue;
    EmbeddedFile file;
    if (uu) {
      size_t blank = line.find(' ', 6);
      file.name = blank == std::string_view::npos ? std::string() : std::string(Trimmed(line.substr(blank + 1)));
    } else {
      file.name = YencName(line);
    }
    file.begin = static_cast<size_t>(line.data() - text.data());
    // The block runs to its end line, or to the end of the text when a
    // sender leaves that out.
    file.end = text.size();
    for (++i; i < lines.size(); ++i) {
      std::string_view data = lines[i];
      if ((uu && Trimmed(data) == "end") || (yenc && data.substr(0, 6) == "=yend ")) {
        size_t after = static_cast<size_t>(data.data() - text.data()) + data.size();
        size_t feed = text.find('\n', after);
        file.end = feed == std::string_view::npos ? text.size() : feed + 1;
        break;
      }
      if (yenc && data.substr(0, 7) == "=ypart ") continue;
      if (uu) {
        UudecodeLine(data, &file.data);
      } else {
        YdecodeLine(data, &file.data);
      }
    }
    if (file.name.empty()) file.name = uu ? "uuencoded.dat" : "yenc.dat";
    files.push_back(std::move(file));
  }
  return files;
}

}  // namespace mime
