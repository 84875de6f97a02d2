// The name filter and its masks: the name comes from mail, the filter from
// the settings. Input: filter, a zero byte, name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "scanning/object_filters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t zero = input.find('\0');
  std::string_view filter = input.substr(0, std::min<size_t>(zero, 255));
  std::string_view name = zero == std::string_view::npos ? std::string_view() : input.substr(zero + 1, 255);
  bool matched = zul::MatchesNameFilter(name, filter);
  if (filter == "*" && !matched) __builtin_trap();
  (void)zul::MatchMask(name, filter);
  return 0;
}
