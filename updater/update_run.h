// One update run of the updater: the update utility fetches new bases, a
// scan kernel of the updater's own proves they load, bad bases are rolled
// back, and good ones are announced to the other tasks.
#ifndef UPDATER_UPDATE_RUN_H_
#define UPDATER_UPDATE_RUN_H_

#include <string>

#include "notesapi/status.h"

namespace zul {

enum class UtilityMode { kUpdate, kRollback };

inline constexpr char kUpdaterComplete[] = "UPDATER|COMPLETE";
inline constexpr char kResultFile[] = "basefetch.txt";
inline constexpr int kNoNewBases = 10;

// 0 when new bases were installed and checked, or there were none; 0xFFFF
// on failure.
notesapi::Status RunUpdate();
// The utility's return code, or -1.
int FetchBases();
// 0 the utility ran to its end; 1 the console log file could not be made;
// 2 the utility could not be started (or did not end within
// notes.ini ZulUpdaterUtilityTimeout seconds, default 3600, and was ended).
int RunUtility(UtilityMode mode, const std::u16string& logFolder);
// True when the bases in the bases folder load into a scan kernel.
bool CheckBases();
void NotifyTasks();

// The folder of the updater's log file, ending with its separator; empty
// when there is no log file name.
std::u16string LogFolder();
// The utility's command line (without the program name) of a mode.
std::u16string UtilityCommandLine(UtilityMode mode, const std::u16string& logFolder);

}  // namespace zul

#endif  // UPDATER_UPDATE_RUN_H_
