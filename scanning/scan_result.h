// The scan vocabulary: the result of scanning one object (it indexes the
// object action table) and what the engine says. Header-only, so that the
// reactions below the scanners (report, quarantine) share it.
#ifndef SCANNING_SCAN_RESULT_H_
#define SCANNING_SCAN_RESULT_H_

#include <cstdint>

namespace zul {

enum ScanResult : int32_t {
  ResultClean = 0,
  ResultCured = 1,  // for an engine that cures: none of those here does
  ResultInfected = 2,
  ResultSuspicious = 3,  // a heuristic or potentially unwanted program
  ResultProtected = 4,   // encrypted content that cannot be checked
  ResultNotProcessed = 5,
  ResultFailed = 6,
  ResultTooLarge = 7,
  ResultFilteredByType = 8,
  ResultFilteredByName = 9,
  ResultIncomplete = 10,  // a limit was reached before the end
};

inline constexpr int kScanResultCount = 11;

// What the scan engine says about one object. The meaning of each value is
// fixed here so both engines and the result mapping agree:
enum KernelVerdict : int32_t {
  VerdictNotScanned = 0,  // the engine did not look at the object
  VerdictClean = 1,       // nothing found
  VerdictInfected = 2,    // a signature matched
  VerdictCured = 3,       // the object was cured; the engines here never cure
  VerdictSuspicious = 4,  // a heuristic or potentially-unwanted detection
  VerdictIncomplete = 5,  // a scan limit was reached before the end
  VerdictError = 6,       // the engine failed on this object
  VerdictProtected = 7,   // encrypted content that cannot be checked
};


}  // namespace zul

#endif  // SCANNING_SCAN_RESULT_H_
