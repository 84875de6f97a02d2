// Watches the stream of scan results for bursts: too many infected objects,
// too many of one doubtful verdict, or too many hits of one threat within a
// configured time. Each of the four outbreak rules counts its events in a
// window and warns once per window, to the log, console, journal and the
// administrators. Mail monitor only; one thread.
#ifndef RECORDS_OUTBREAK_MONITOR_H_
#define RECORDS_OUTBREAK_MONITOR_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "notesapi/status.h"

namespace zul {

// Distinct threat names counted at once within one period; past this the
// name with the least evidence (fewest hits, then oldest) makes room.
inline constexpr size_t kMaxThreatNames = 4096;

// Builds the four counters from the current outbreak settings. Returns 0.
notesapi::Status StartOutbreakMonitor(int unused);
// Configures the counters again: every window restarts; the per-name table
// keeps its entries. Returns 0.
notesapi::Status ReconfigureOutbreakMonitor();
// One scanned object: results 1 and 2 count as infected, 4 as protected, 3
// as suspicious; any other result is ignored.
void ReportScanEvent(int32_t scanResult, std::string_view description);

// The warning of a rule filled in: "%c" count, "%p" elapsed as HH:MM:SS,
// "%v" threat name; other "%x" and a final "%" vanish. At most 1022
// characters and a line feed.
std::string ExpandOutbreakWarning(std::string_view warning, uint32_t elapsedSeconds, uint32_t count,
                                  std::string_view threatName);

// Number of names in the per-threat table (for tests and monitoring).
size_t ThreatNameCount();

}  // namespace zul

#endif  // RECORDS_OUTBREAK_MONITOR_H_
