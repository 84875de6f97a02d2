// One update run of the updater: the update utility fetches new bases, a
// scan kernel of the updater's own proves they load, bad bases are rolled
// back, and good ones are announced to the other tasks.
#ifndef UPDATER_UPDATE_RUN_H_
#define UPDATER_UPDATE_RUN_H_

#include <string>

#include "base/status.h"

namespace zul {

enum class UtilityMode { kUpdate, kRollback };

inline constexpr char kUpdaterComplete[] = "UPDATER|COMPLETE";
inline constexpr char kResultFile[] = "basefetch.txt";
inline constexpr int kNoNewBases = 10;

// OK when new bases were installed and checked, or there were none; a
// failure carries the status 0xFFFF that the log shows.
Status RunUpdate();
// Runs the utility and reads its return code from its result file.
Status FetchBases(int* code);
enum class UtilityRun {
  kRanToEnd,
  kNoLogFile,   // its console log file could not be made
  kNotStarted,  // it could not be started, or did not end within notes.ini
                // ZulUpdaterUtilityTimeout seconds (default 3600) and was ended
};
UtilityRun RunUtility(UtilityMode mode, const std::u16string& logFolder);
// OK when the bases in the bases folder are proven and load into a scan
// kernel of the updater's own.
Status CheckBases();
void NotifyTasks();

// The folder of the updater's log file, ending with its separator; empty
// when there is no log file name.
std::u16string LogFolder();
// The utility's command line (without the program name) of a mode.
std::u16string UtilityCommandLine(UtilityMode mode, const std::u16string& logFolder);

}  // namespace zul

#endif  // UPDATER_UPDATE_RUN_H_
