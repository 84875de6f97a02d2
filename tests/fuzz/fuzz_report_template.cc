// Report templates and outbreak warnings: texts from the settings, filled
// with names from mail. Input: template, a zero byte, object name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "records/notifications.h"
#include "records/outbreak_monitor.h"
#include "tests/fuzz/fuzz_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)zul::fuzzing::FuzzPlatform();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t zero = input.find('\0');
  std::string_view stamp = input.substr(0, zero);
  zul::ObjectRecord record;
  record.objectName = zero == std::string_view::npos ? "" : std::string(input.substr(zero + 1, 255));
  record.description = std::string(stamp.substr(0, 1023));
  record.kind = static_cast<int32_t>(size % 8);
  record.action = static_cast<int32_t>(size % 3);
  zul::FillReportTemplate(stamp, &record);
  if (record.reportText.size() > zul::kMaxReportText + 1 || record.reportText.back() != '\n') __builtin_trap();
  std::string warning = zul::ExpandOutbreakWarning(stamp, 600, 11, record.objectName);
  if (warning.size() > 65536) __builtin_trap();
  return 0;
}
