#include "scanning/scan_engine.h"

#include "scanning/scan_result.h"

namespace zul {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Harmless text no mail carries by chance; its first line is the signature.
constexpr std::string_view kSelfTestMarker = "TERVALA-ANTI-VIRUS-KERNEL-SELF-TEST-OBJECT-7F3A9C";
constexpr std::string_view kSelfTestObject =
    "TERVALA-ANTI-VIRUS-KERNEL-SELF-TEST-OBJECT-7F3A9C\r\n"
    "This harmless file proves that the scan kernel detects what it should.\r\n";

}  // namespace

std::string_view KernelSelfTestObject() { return kSelfTestObject; }

std::string KernelSelfTestSignature() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string signature = std::string(kSelfTestThreatName) + ":0:*:";
  for (unsigned char c : kSelfTestMarker) {
    signature.push_back(kHex[c >> 4]);
    signature.push_back(kHex[c & 0x0F]);
  }
  return signature + "\n";
}

std::string_view EicarTestObject() {
  return "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

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
      return ResultSuspicious;
    case VerdictIncomplete:
      return ResultIncomplete;
    case VerdictProtected:
      return ResultProtected;
    default:
      return ResultFailed;
  }
}

}  // namespace zul
