#include "tools/zulctl/value_format.h"

#include <cstdio>
#include <vector>

#include "notesapi/item_values.h"
#include "notesapi/rich_text.h"
#include "notesapi/stored_structures.h"

namespace zulctl {

using namespace notesapi;

std::string TypeName(uint16_t type) {
  switch (type) {
    case TYPE_TEXT:
      return "text";
    case TYPE_TEXT_LIST:
      return "text list";
    case TYPE_NUMBER:
      return "number";
    case TYPE_TIME:
      return "time";
    case TYPE_COMPOSITE:
      return "rich text";
    case TYPE_OBJECT:
      return "object";
    case TYPE_MIME_PART:
      return "MIME part";
    case TYPE_LSOBJECT:
      return "script object";
    case TYPE_RFC822_TEXT:
      return "RFC 822 text";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "type 0x%04X", type);
      return text;
    }
  }
}

std::string ToUtf8(Platform* platform, std::string_view lmbcs) {
  std::string utf8;
  if (platform->Translate(kTranslateLmbcsToUtf8, lmbcs, &utf8) != kNoError) return std::string(lmbcs);
  return utf8;
}

namespace {

std::string Quoted(Platform* platform, std::string_view lmbcs) {
  std::string out = "\"";
  for (char c : ToUtf8(platform, lmbcs)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Binary(std::string_view value) {
  constexpr size_t kShown = 24;
  std::string out = std::to_string(value.size() - 2) + " bytes:";
  for (size_t i = 2; i < value.size() && i < 2 + kShown; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02x", static_cast<unsigned char>(value[i]));
    out += hex;
  }
  if (value.size() > 2 + kShown) out += " ...";
  return out;
}

}  // namespace

std::string FormatValue(Platform* platform, std::string_view value) {
  uint16_t type = 0;
  if (ValueType(value, &type) != kNoError) return "(value too short)";
  switch (type) {
    case TYPE_TEXT: {
      std::string text;
      (void)DecodeTextValue(value, &text);  // the type is TYPE_TEXT
      return Quoted(platform, text);
    }
    case TYPE_TEXT_LIST: {
      std::vector<std::string> entries;
      if (DecodeTextListValue(value, &entries) != kNoError) return "(damaged text list) " + Binary(value);
      std::string out = "[";
      for (size_t i = 0; i < entries.size(); ++i) out += (i ? ", " : "") + Quoted(platform, entries[i]);
      return out + "]";
    }
    case TYPE_NUMBER: {
      double number = 0;
      if (DecodeNumberValue(value, &number) != kNoError) return "(damaged number)";
      char text[64];
      std::snprintf(text, sizeof text, "%.15g", number);
      return text;
    }
    case TYPE_TIME: {
      TimeDate time;
      std::string text;
      if (DecodeTimeValue(value, &time) != kNoError) return "(damaged time)";
      if (platform->TimeToText(time, &text) != kNoError || text.empty()) return "(any time)";
      return text;
    }
    case TYPE_COMPOSITE: {
      std::string text;
      if (RichTextToPlainText(value.substr(2), "\n", 0, &text) != kNoError) return "(damaged rich text) " + Binary(value);
      return "rich text " + Quoted(platform, text);
    }
    case TYPE_OBJECT: {
      FileObject file;
      std::string_view name;
      if (AttachmentName(value, &file, &name) != kNoError || file.header.objectType != kObjectFile) return Binary(value);
      return "file " + Quoted(platform, name) + ", " + std::to_string(file.fileSize) + " bytes";
    }
    default:
      return Binary(value);
  }
}

std::u16string WideUtf8(notesapi::Platform* platform, const std::string& utf8) {
  std::string lmbcs;
  std::string utf16;
  if (platform->Translate(notesapi::kTranslateUtf8ToLmbcs, utf8, &lmbcs) != notesapi::kNoError ||
      platform->Translate(notesapi::kTranslateLmbcsToUnicode, lmbcs, &utf16) != notesapi::kNoError) {
    return std::u16string(utf8.begin(), utf8.end());
  }
  return std::u16string(reinterpret_cast<const char16_t*>(utf16.data()), utf16.size() / 2);
}

}  // namespace zulctl
