#include "scanning/scan_engine.h"

#include "scanning/scan_result.h"

namespace zul {

namespace {
bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
}  // namespace

int32_t VerdictOfDetection(std::string_view threatName) {
  if (StartsWith(threatName, "Heuristics.Encrypted.")) return VerdictProtected;
  if (StartsWith(threatName, "Heuristics.Limits.Exceeded")) return VerdictIncomplete;
  if (StartsWith(threatName, "Heuristics.") || StartsWith(threatName, "PUA.")) return VerdictSuspicious;
  return VerdictInfected;
}

ScanResult ResultOfVerdict(int32_t verdict) {
  switch (verdict) {
    case VerdictNotScanned:
      return ResultNotProcessed;
    case VerdictClean:
      return ResultClean;
    case VerdictInfected:
      return ResultInfected;
    case VerdictSuspicious:
      return ResultVerdict4;
    case VerdictIncomplete:
      return ResultVerdict5;
    case VerdictProtected:
      return ResultVerdict7;
    default:
      return ResultFailed;
  }
}

}  // namespace zul
