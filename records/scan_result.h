// The result of scanning one object; it indexes the object action table.
#ifndef RECORDS_SCAN_RESULT_H_
#define RECORDS_SCAN_RESULT_H_

#include <cstdint>

namespace zul {

enum ScanResult : int32_t {
  ResultClean = 0,
  ResultCured = 1,
  ResultInfected = 2,
  ResultVerdict4 = 3,  // suspicious
  ResultVerdict7 = 4,  // protected content that cannot be checked
  ResultNotProcessed = 5,
  ResultFailed = 6,
  ResultTooLarge = 7,
  ResultFilteredByType = 8,
  ResultFilteredByName = 9,
  ResultVerdict5 = 10,  // scan incomplete: a limit was reached
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

// The scan result of a kernel verdict (verdict 3 needs the cured copy and is
// decided by the caller).
ScanResult ResultOfVerdict(int32_t verdict);

}  // namespace zul

#endif  // RECORDS_SCAN_RESULT_H_
