#include "notesapi/host/internal/mime_conversion.h"

#include <gmime/gmime.h>

#include "notesapi/host/internal/gobject_ptr.h"

#include <memory>
#include <mutex>

namespace notesapi::host {

namespace {

constexpr int kMaxDepth = 64;

std::string Decoded(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return {};
  GPtr<GMimeStream> stream(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(content, stream.get());
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
  return std::string(reinterpret_cast<const char*>(bytes->data), bytes->len);
}

void SplitLines(const std::string& text, std::vector<std::string>* lines) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (end < text.size() || !line.empty()) lines->push_back(line);
    start = end + 1;
  }
}

Status Walk(GMimeObject* object, int depth, ConvertedMessage* out) {
  if (depth > kMaxDepth) return kBadArgument;
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
      if (Status s = Walk(g_mime_multipart_get_part(multipart, i), depth + 1, out); s != kNoError) return s;
    }
    return kNoError;
  }
  if (GMIME_IS_MESSAGE_PART(object)) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    if (inner != nullptr && g_mime_message_get_mime_part(inner) != nullptr) {
      return Walk(g_mime_message_get_mime_part(inner), depth + 1, out);
    }
    return kNoError;
  }
  if (!GMIME_IS_PART(object)) return kNoError;
  GMimePart* part = GMIME_PART(object);
  const char* filename = g_mime_part_get_filename(part);
  bool inlineText = GMIME_IS_TEXT_PART(object) && filename == nullptr && !g_mime_part_is_attachment(part);
  if (inlineText) {
    GText text(g_mime_text_part_get_text(GMIME_TEXT_PART(object)));
    if (text) SplitLines(text.get(), &out->textLines);
    return kNoError;
  }
  std::string name = filename != nullptr ? filename : "part" + std::to_string(out->files.size() + 1) + ".dat";
  out->files.push_back(ConvertedFile{name, Decoded(part)});
  return kNoError;
}

}  // namespace

Status ConvertMimeMessage(std::string_view rfc822, ConvertedMessage* converted) {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(rfc822.data(), rfc822.size()));
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  GPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
  if (!message || g_mime_message_get_mime_part(message.get()) == nullptr) return kBadArgument;
  ConvertedMessage result;
  if (Status s = Walk(g_mime_message_get_mime_part(message.get()), 0, &result); s != kNoError) return s;
  *converted = std::move(result);
  return kNoError;
}

}  // namespace notesapi::host
