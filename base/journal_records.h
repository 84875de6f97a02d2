// Records of the statistics database: a journal record per task event and a
// virus record per scanned object whose action asks for statistics. Each
// record opens the database, saves one document and closes it again.
#ifndef BASE_JOURNAL_RECORDS_H_
#define BASE_JOURNAL_RECORDS_H_

#include <cstdint>
#include <string_view>

#include "notesapi/status.h"

namespace zul {

// Statistics code of each scan result 0..10, as written into VirusType.
uint16_t StatisticsCodeOf(int scanResult);

// The message is in the native code page. Returns the status of opening the
// database, or 0; a record that fails later is lost without a report.
[[nodiscard]] notesapi::Status WriteJournalRecord(std::string_view statDatabase, uint16_t journalType,
                                                  std::string_view message);
// The description is in the native code page, the sender in the Notes
// character set (written unchanged).
[[nodiscard]] notesapi::Status WriteVirusRecord(std::string_view statDatabase, uint16_t statisticsCode,
                                                std::string_view description, std::string_view sender);

}  // namespace zul

#endif  // BASE_JOURNAL_RECORDS_H_
