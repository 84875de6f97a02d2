#include "mailmonitor/service_queues.h"

#include <cctype>

namespace zul {

namespace {

uint32_t HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
  return static_cast<uint32_t>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
}

}  // namespace

bool ParseHookRequest(const std::string& text, HookRequest* request) {
  HookRequest parsed;
  size_t at = 0;
  uint32_t* numbers[] = {&parsed.first, &parsed.noteId, &parsed.third};
  for (uint32_t* number : numbers) {
    size_t digits = 0;
    uint32_t value = 0;
    while (at < text.size() && digits < 8 && std::isxdigit(static_cast<unsigned char>(text[at]))) {
      value = value << 4 | HexValue(text[at]);
      ++at;
      ++digits;
    }
    if (digits == 0 || at >= text.size() || text[at] != '|') return false;
    ++at;
    *number = value;
  }
  size_t end = at;
  while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
  if (end == at) return false;
  parsed.path = text.substr(at, end - at);
  *request = std::move(parsed);
  return true;
}

}  // namespace zul
