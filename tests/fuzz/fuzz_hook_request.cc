// The hook request parser: any bytes a queue can carry.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mailmonitor/service_queues.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  zul::HookRequest request;
  if (zul::ParseHookRequest(text, &request) && request.path.empty()) __builtin_trap();
  return 0;
}
