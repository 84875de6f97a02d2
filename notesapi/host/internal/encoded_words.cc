#include "notesapi/host/internal/encoded_words.h"

#include <gmime/gmime.h>

#include <cctype>

#include "notesapi/host/internal/charsets.h"
#include "mime/transfer_decoding.h"

namespace notesapi::host {

using namespace mime;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Bytes in `charset` as UTF-8; an unknown set leaves UTF-8 as it is and
// reads anything else in the fallback set.
std::string ToUtf8(const std::string& bytes, std::string charset, const std::string& fallback) {
  if (size_t star = charset.find('*'); star != std::string::npos) charset.resize(star);  // RFC 2231 language
  for (const std::string& name : {charset, Charsets::IsUtf8(bytes) ? std::string("UTF-8") : fallback}) {
    if (name.empty()) continue;
    iconv_t cd = g_mime_iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) continue;
    char* converted = g_mime_iconv_strndup(cd, bytes.data(), bytes.size());
    g_mime_iconv_close(cd);
    if (converted == nullptr) continue;
    std::string out(converted);
    g_free(converted);
    return out;
  }
  return bytes;
}

std::string DecodeQ(std::string_view text) {
  std::string spaced(text);
  for (char& c : spaced) {
    if (c == '_') c = ' ';
  }
  return DecodeQuotedPrintableLeniently(spaced);
}

// One encoded word at `at`: its decoded text and its end, or false.
bool EncodedWordAt(std::string_view raw, size_t at, const std::string& fallback, std::string* text, size_t* end) {
  if (raw.compare(at, 2, "=?") != 0) return false;
  size_t charsetEnd = raw.find('?', at + 2);
  if (charsetEnd == std::string_view::npos || charsetEnd + 3 >= raw.size() || raw[charsetEnd + 2] != '?') return false;
  char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(raw[charsetEnd + 1])));
  if (encoding != 'B' && encoding != 'Q') return false;
  size_t textStart = charsetEnd + 3;
  size_t close = raw.find("?=", textStart);
  if (close == std::string_view::npos) return false;
  std::string_view payload = raw.substr(textStart, close - textStart);
  for (char c : payload) {
    if (IsBlank(c) || c == '?') return false;
  }
  std::string charset(raw.substr(at + 2, charsetEnd - at - 2));
  std::string bytes = encoding == 'B' ? DecodeBase64Leniently(payload) : DecodeQ(payload);
  *text = ToUtf8(bytes, charset, fallback);
  *end = close + 2;
  return true;
}

}  // namespace

std::string DecodeHeaderText(std::string_view raw, const std::string& fallbackCharset) {
  std::string unfolded;
  for (char c : raw) {
    if (c != '\r' && c != '\n') unfolded.push_back(c);
  }
  std::string out;
  std::string blanks;    // white space seen since the last word
  std::string plain;     // raw text waiting for its character set
  bool afterEncoded = false;
  auto flushPlain = [&] {
    if (!plain.empty()) out += ToUtf8(plain, "", fallbackCharset);
    plain.clear();
  };
  size_t i = 0;
  while (i < unfolded.size() && IsBlank(unfolded[i])) ++i;
  while (i < unfolded.size()) {
    std::string word;
    size_t end = 0;
    if (EncodedWordAt(unfolded, i, fallbackCharset, &word, &end)) {
      if (!afterEncoded) plain += blanks;  // only the space between two encoded words goes
      flushPlain();
      blanks.clear();
      out += word;
      afterEncoded = true;
      i = end;
      continue;
    }
    if (IsBlank(unfolded[i])) {
      blanks.push_back(unfolded[i++]);
      continue;
    }
    plain += blanks;
    blanks.clear();
    afterEncoded = false;
    while (i < unfolded.size() && !IsBlank(unfolded[i])) plain.push_back(unfolded[i++]);
  }
  flushPlain();
  return out;
}

}  // namespace notesapi::host
