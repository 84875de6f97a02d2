// Character-set conversions of the host, all through ICU: LMBCS (the server's
// character set), the native code page of the tasks (windows-1251 unless
// configured), UTF-16LE and UTF-8.
#ifndef NOTESAPI_HOST_INTERNAL_CHARSETS_H_
#define NOTESAPI_HOST_INTERNAL_CHARSETS_H_

#include <memory>
#include <string>
#include <string_view>

#include "notesapi/status.h"

struct UConverter;

namespace notesapi::host {

enum class Charset { kLmbcs, kNative, kUtf16, kUtf8 };

class Charsets {
 public:
  // kCharsetError when ICU does not know `nativeCodePage`.
  [[nodiscard]] static Status Create(const std::string& nativeCodePage, std::unique_ptr<Charsets>* out);
  ~Charsets();
  Charsets(const Charsets&) = delete;
  Charsets& operator=(const Charsets&) = delete;

  // Characters the target cannot hold become its substitute character.
  [[nodiscard]] Status Convert(Charset from, Charset to, std::string_view in, std::string* out);

  // Text in the character set a MIME part names, to UTF-8; kCharsetError
  // for a name ICU does not know.
  [[nodiscard]] Status DecodeNamed(const std::string& charset, std::string_view in, std::string* utf8);
  // UTF-8 text in a named character set; kCharsetError for an unknown name
  // or a character the set cannot hold (never a substitute).
  [[nodiscard]] Status EncodeNamed(const std::string& charset, std::string_view utf8, std::string* out);
  static bool IsUtf8(std::string_view bytes);
  const std::string& NativeName() const { return nativeName_; }

  // Convenience forms for paths and display; invalid input gives substitutes.
  std::string Utf16ToUtf8(std::u16string_view in);
  std::u16string Utf8ToUtf16(std::string_view in);

 private:
  Charsets() = default;
  UConverter* ConverterFor(Charset charset);

  UConverter* lmbcs_ = nullptr;
  UConverter* native_ = nullptr;
  UConverter* utf16_ = nullptr;
  UConverter* utf8_ = nullptr;
  std::string nativeName_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_CHARSETS_H_
