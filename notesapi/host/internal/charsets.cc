#include "notesapi/host/internal/charsets.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <iterator>
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

// Converts through a small pivot, growing the output as it fills, so the
// memory used is the input and the output: never a UTF-16 copy and a
// worst-case buffer of several times a large message.
Status ConvertThroughPivot(UConverter* source, UConverter* target, std::string_view in, std::string* out) {
  std::string result(in.size() + 16, '\0');
  UChar pivot[4096];
  UChar* pivotSource = pivot;
  UChar* pivotTarget = pivot;
  const char* next = in.data();
  char* written = result.data();
  for (bool reset = true;; reset = false) {
    UErrorCode code = U_ZERO_ERROR;
    ucnv_convertEx(target, source, &written, result.data() + result.size(), &next, in.data() + in.size(), pivot,
                   &pivotSource, &pivotTarget, pivot + std::size(pivot), reset, true, &code);
    if (code != U_BUFFER_OVERFLOW_ERROR) {
      if (Status s = IcuStatus(code); s != kNoError) return s;
      break;
    }
    size_t used = static_cast<size_t>(written - result.data());
    result.resize(result.size() + result.size() / 2);
    written = result.data() + used;
  }
  result.resize(static_cast<size_t>(written - result.data()));
  *out = std::move(result);
  return kNoError;
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
  return ConvertThroughPivot(ConverterFor(from), ConverterFor(to), in, out);
}

Status Charsets::DecodeNamed(const std::string& charset, std::string_view in, std::string* utf8) {
  UErrorCode code = U_ZERO_ERROR;
  UConverter* source = OpenConverter(charset.c_str(), &code);
  if (source == nullptr) return kCharsetError;
  Status s = ConvertThroughPivot(source, utf8_, in, utf8);
  ucnv_close(source);
  return s;
}

Status Charsets::EncodeNamed(const std::string& charset, std::string_view utf8, std::string* out) {
  UErrorCode code = U_ZERO_ERROR;
  UConverter* target = OpenConverter(charset.c_str(), &code);
  if (target == nullptr) return kCharsetError;
  ucnv_setFromUCallBack(target, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &code);
  Status s = ConvertThroughPivot(utf8_, target, utf8, out);
  ucnv_close(target);
  return s;
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
