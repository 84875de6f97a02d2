#include "base/kernel_settings_record.h"

namespace zul {

KernelSettingsRecord& KernelSettings() {
  static KernelSettingsRecord record;
  return record;
}

}  // namespace zul
