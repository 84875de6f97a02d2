// Console commands and queue notices as the running monitor handles them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "mailmonitor/queue_handlers.h"
#include "tests/fuzz/fuzz_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)zul::fuzzing::FuzzPlatform();
  std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 255));
  text.resize(std::strlen(text.c_str()));  // the loop ends a message at its first zero byte
  (void)zul::HandleConsoleCommand(text);
  (void)zul::HandleHookRequest(text);  // a request for a database that is not there
  return 0;
}
