#include "tools/zulctl/cli_support.h"

#include <cstdlib>
#include <iostream>

#include "notesapi/host/host_platform.h"

namespace zulctl {

using namespace notesapi;

int Fail(Platform* platform, const std::string& what, Status status) {
  std::string text = platform != nullptr ? platform->StatusText(status) : HostStatusText(status);
  std::cerr << "zulctl: " << what << ": " << text << " (status 0x" << std::hex << ErrorOf(status) << std::dec << ")\n";
  return 1;
}

bool ParseNoteId(const std::string& text, NoteId* id) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || value == 0 || value > 0xFFFFFFFFUL) {
    std::cerr << "zulctl: not a note ID: " << text << " (write it as 0x8F8 or 2296)\n";
    return false;
  }
  *id = static_cast<NoteId>(value);
  return true;
}

std::string ToLmbcs(Platform* platform, const std::string& utf8) {
  std::string lmbcs;
  if (platform->Translate(kTranslateUtf8ToLmbcs, utf8, &lmbcs) != kNoError) return utf8;
  return lmbcs;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace zulctl
