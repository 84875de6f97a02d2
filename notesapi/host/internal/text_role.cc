#include "notesapi/host/internal/text_role.h"

#include <cstdio>
#include <fstream>

#include "notesapi/host/internal/status_texts.h"
#include "notesapi/host/internal/time_codec.h"

namespace notesapi::host {

Status TextRole::Translate(uint16_t mode, std::string_view in, std::string* out) {
  Charsets& c = *s_.charsets;
  switch (mode) {
    case kTranslateNativeToLmbcs:
      return c.Convert(Charset::kNative, Charset::kLmbcs, in, out);
    case kTranslateLmbcsToNative:
      return c.Convert(Charset::kLmbcs, Charset::kNative, in, out);
    case kTranslateLmbcsToUnicode:
      return c.Convert(Charset::kLmbcs, Charset::kUtf16, in, out);
    case kTranslateLmbcsToUtf8:
      return c.Convert(Charset::kLmbcs, Charset::kUtf8, in, out);
    case kTranslateUnicodeToLmbcs:
      if (in.size() % 2 != 0) return kBadArgument;
      return c.Convert(Charset::kUtf16, Charset::kLmbcs, in, out);
    case kTranslateUtf8ToLmbcs:
      return c.Convert(Charset::kUtf8, Charset::kLmbcs, in, out);
    default:
      return kBadArgument;
  }
}

std::string TextRole::StatusText(Status status) { return TextOfStatus(status).substr(0, 255); }

void TextRole::ConsoleLine(std::string_view text) {
  std::string utf8;
  if (s_.charsets->Convert(Charset::kLmbcs, Charset::kUtf8, text, &utf8) != kNoError) utf8.assign(1, '?');
  while (!utf8.empty() && (utf8.back() == '\n' || utf8.back() == '\r')) utf8.pop_back();
  if (s_.options.echoConsole) {
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  std::string line = FormatTime(s_.platform->TimeNow()) + "   " + utf8 + "\n";
  (void)s_.appendFiles.Append(s_.serverDirectory + "/server.log", line);  // the console line stands without it
}

}  // namespace notesapi::host
