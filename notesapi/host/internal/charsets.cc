#include "notesapi/host/internal/charsets.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <vector>

namespace notesapi::host {

namespace {

Status IcuStatus(UErrorCode code) { return U_FAILURE(code) ? kCharsetError : kNoError; }

UConverter* OpenConverter(const char* name, UErrorCode* code) {
  UConverter* converter = ucnv_open(name, code);
  if (U_FAILURE(*code)) return nullptr;
  *code = U_ZERO_ERROR;  // ambiguous-alias warnings are fine
  return converter;
}

}  // namespace

Status Charsets::Create(const std::string& nativeCodePage, std::unique_ptr<Charsets>* out) {
  std::unique_ptr<Charsets> charsets(new Charsets());
  UErrorCode code = U_ZERO_ERROR;
  charsets->lmbcs_ = OpenConverter("LMBCS-1", &code);
  if (charsets->lmbcs_ != nullptr) charsets->native_ = OpenConverter(nativeCodePage.c_str(), &code);
  if (charsets->native_ != nullptr) charsets->utf16_ = OpenConverter("UTF-16LE", &code);
  if (charsets->utf16_ != nullptr) charsets->utf8_ = OpenConverter("UTF-8", &code);
  if (Status s = IcuStatus(code); s != kNoError) return s;
  charsets->nativeName_ = nativeCodePage;
  *out = std::move(charsets);
  return kNoError;
}

Charsets::~Charsets() {
  for (UConverter* converter : {lmbcs_, native_, utf16_, utf8_}) {
    if (converter != nullptr) ucnv_close(converter);
  }
}

UConverter* Charsets::ConverterFor(Charset charset) {
  switch (charset) {
    case Charset::kLmbcs:
      return lmbcs_;
    case Charset::kNative:
      return native_;
    case Charset::kUtf16:
      return utf16_;
    case Charset::kUtf8:
      return utf8_;
  }
  return utf8_;
}

Status Charsets::Convert(Charset from, Charset to, std::string_view in, std::string* out) {
  if (in.empty()) {
    out->clear();
    return kNoError;
  }
  UConverter* source = ConverterFor(from);
  UConverter* target = ConverterFor(to);
  ucnv_reset(source);
  ucnv_reset(target);
  UErrorCode code = U_ZERO_ERROR;
  // Every byte gives at most two UTF-16 units.
  std::vector<UChar> unicode(in.size() * 2 + 2);
  int32_t units = ucnv_toUChars(source, unicode.data(), static_cast<int32_t>(unicode.size()), in.data(),
                                static_cast<int32_t>(in.size()), &code);
  if (Status s = IcuStatus(code); s != kNoError) return s;
  int32_t capacity = units * 4 + 4;  // at most 4 bytes per unit in every target
  std::string result(static_cast<size_t>(capacity), '\0');
  int32_t length = ucnv_fromUChars(target, result.data(), capacity, unicode.data(), units, &code);
  if (Status s = IcuStatus(code); s != kNoError) return s;
  result.resize(static_cast<size_t>(length));
  *out = std::move(result);
  return kNoError;
}

Status Charsets::DecodeNamed(const std::string& charset, std::string_view in, std::string* utf8) {
  UErrorCode code = U_ZERO_ERROR;
  UConverter* source = OpenConverter(charset.c_str(), &code);
  if (source == nullptr) return kCharsetError;
  std::vector<UChar> unicode(in.size() * 2 + 2);
  int32_t units = ucnv_toUChars(source, unicode.data(), static_cast<int32_t>(unicode.size()), in.data(),
                                static_cast<int32_t>(in.size()), &code);
  ucnv_close(source);
  if (Status s = IcuStatus(code); s != kNoError) return s;
  ucnv_reset(utf8_);
  std::string result(static_cast<size_t>(units) * 4 + 4, '\0');
  int32_t length = ucnv_fromUChars(utf8_, result.data(), static_cast<int32_t>(result.size()), unicode.data(), units,
                                   &code);
  if (Status s = IcuStatus(code); s != kNoError) return s;
  result.resize(static_cast<size_t>(length));
  *utf8 = std::move(result);
  return kNoError;
}

Status Charsets::EncodeNamed(const std::string& charset, std::string_view utf8, std::string* out) {
  UErrorCode code = U_ZERO_ERROR;
  std::vector<UChar> unicode(utf8.size() + 2);
  ucnv_reset(utf8_);
  int32_t units = ucnv_toUChars(utf8_, unicode.data(), static_cast<int32_t>(unicode.size()), utf8.data(),
                                static_cast<int32_t>(utf8.size()), &code);
  if (Status s = IcuStatus(code); s != kNoError) return s;
  UConverter* target = OpenConverter(charset.c_str(), &code);
  if (target == nullptr) return kCharsetError;
  ucnv_setFromUCallBack(target, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &code);
  std::string result(static_cast<size_t>(units) * 4 + 16, '\0');
  int32_t length = ucnv_fromUChars(target, result.data(), static_cast<int32_t>(result.size()), unicode.data(), units, &code);
  ucnv_close(target);
  if (Status s = IcuStatus(code); s != kNoError) return s;
  result.resize(static_cast<size_t>(length));
  *out = std::move(result);
  return kNoError;
}

bool Charsets::IsUtf8(std::string_view bytes) {
  constexpr size_t kBad = 9;
  for (size_t i = 0; i < bytes.size();) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    size_t extra = c < 0x80                ? 0
                   : c >= 0xC2 && c <= 0xDF ? 1
                   : c >= 0xE0 && c <= 0xEF ? 2
                   : c >= 0xF0 && c <= 0xF4 ? 3
                                            : kBad;
    if (extra == kBad || bytes.size() - i - 1 < extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

std::string Charsets::Utf16ToUtf8(std::u16string_view in) {
  std::string bytes(reinterpret_cast<const char*>(in.data()), in.size() * sizeof(char16_t));
  std::string out;
  if (Convert(Charset::kUtf16, Charset::kUtf8, bytes, &out) != kNoError) return {};
  return out;
}

std::u16string Charsets::Utf8ToUtf16(std::string_view in) {
  std::string bytes;
  if (Convert(Charset::kUtf8, Charset::kUtf16, in, &bytes) != kNoError) return {};
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

}  // namespace notesapi::host
