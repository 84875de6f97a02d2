// What the tasks write back into the settings database: the mail monitor's
// information document and the updater's status document.
#ifndef SETTINGS_SETTINGS_WRITER_H_
#define SETTINGS_SETTINGS_WRITER_H_

#include <cstdint>
#include <optional>
#include <string>

#include "settings/bases_date.h"

namespace zul {

// Writes "iAVCount" (when not 0), "iAVDate" (when given), "iVersion" and
// "infServerName". 1 when the settings database could be opened, else 0.
int WriteInformation(uint32_t recordCount, const std::optional<BasesDate>& basesDate);

// Writes "UpdaterStatus" (when state is above 0) and "UpdaterStatusText"
// (when text is given). 1 when written and saved, else 0; nothing is done
// when state is outside 0 to 3 and there is no text.
int WriteUpdaterStatus(int32_t state, const std::string* text);

}  // namespace zul

#endif  // SETTINGS_SETTINGS_WRITER_H_
