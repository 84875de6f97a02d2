// make_message_library OUTPUT: writes the English message library of the
// tasks, a resource library whose string table replaces the built-in texts
// by id.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "base/english_messages.h"
#include "tools/common/string_library_writer.h"

namespace {

constexpr uint32_t kLanguageEnglish = 0x0409;

// UTF-8 to UTF-16; false on a malformed sequence.
bool Utf16(const char* utf8, std::u16string* out) {
  const auto* s = reinterpret_cast<const unsigned char*>(utf8);
  out->clear();
  while (*s != 0) {
    uint32_t c = *s++;
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0) return false;
    c &= extra == 0 ? 0x7F : 0x3F >> extra;
    for (int i = 0; i < extra; ++i) {
      if ((*s & 0xC0) != 0x80) return false;
      c = c << 6 | (*s++ & 0x3F);
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(c));
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
    std::cerr << "usage: make_message_library OUTPUT\nWrites the English message library of the tasks.\n";
    return argc == 2 ? 0 : 2;
  }
  size_t count = 0;
  const zul::EnglishMessage* messages = zul::EnglishMessages(&count);
  std::map<uint32_t, std::u16string> strings;
  for (size_t i = 0; i < count; ++i) {
    if (!Utf16(messages[i].utf8, &strings[messages[i].id])) {
      std::cerr << "make_message_library: text " << messages[i].id << " is not UTF-8\n";
      return 1;
    }
  }
  std::ofstream out(argv[1], std::ios::binary);
  out << tools::BuildStringLibrary(strings, kLanguageEnglish);
  if (!out.flush()) {
    std::cerr << "make_message_library: cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
