// The settings handed to the scan kernel: filled from notes.ini (the three
// limits) and from the settings database (the rest), read by the kernel's
// WriteKernelSettings.
#ifndef BASE_KERNEL_SETTINGS_RECORD_H_
#define BASE_KERNEL_SETTINGS_RECORD_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace zul {

struct KernelSettingsRecord {
  std::u16string basesFolder;  // at most 1024 characters
  std::u16string tempFolder;   // "<work folder>\ftemp"
  std::u16string storeFolder;  // "<work folder>\fstore"
  uint32_t scanFlags = 0;
  int32_t basesType = 0;
  int32_t depthLimitEnabled = 0;
  int32_t depthLimit = 0;
  int32_t engineCount = 1;
  int32_t engineTimeout = 5000;
  int32_t queueSizeLimit = 0;
};

// The task's one record.
KernelSettingsRecord& KernelSettings();

}  // namespace zul

#endif  // BASE_KERNEL_SETTINGS_RECORD_H_
