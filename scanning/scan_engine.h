// The engine behind the scan kernel: ClamAV's library in this process, or a
// clamd daemon reached over a socket. The kernel operations see only this.
#ifndef SCANNING_SCAN_ENGINE_H_
#define SCANNING_SCAN_ENGINE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/hresult.h"
#include "scanning/scan_result.h"

namespace zul {

// The kernel settings in the engine's terms. Paths are the system's own.
struct EngineSettings {
  std::string basesFolder;
  std::string tempFolder;
  uint32_t scanFlags = 0;
  int32_t basesType = 0;  // 0 standard, 1 with PUA signatures, 2 also heuristics first
  bool depthLimitEnabled = false;
  uint32_t depthLimit = 0;
  uint32_t timeoutMillis = 0;
  uint32_t maxFiles = 0;  // files scanned inside one object; 0: engine default
  // A signature file loaded with the bases so that the kernel's self-test
  // object is detected whatever the bases hold; its signatures are not
  // counted as the bases'. Empty: none.
  std::string selfTestSignatures;
};

// Bits of KernelSettingsRecord.scanFlags ("ksFlags" digits 1 to 6).
inline constexpr uint32_t kScanArchives = 0x02;
inline constexpr uint32_t kScanMail = 0x04;
inline constexpr uint32_t kScanOfficeDocuments = 0x08;  // OLE2 and XML office documents
inline constexpr uint32_t kScanPdf = 0x10;
inline constexpr uint32_t kScanHtml = 0x20;
inline constexpr uint32_t kScanHeuristics = 0x40;

class ScanEngine {
 public:
  virtual ~ScanEngine() = default;
  // Takes settings: the scan options (flags, heuristics) apply from the next
  // scan on; the bases, folders and limits from the next Start or Reload.
  virtual HRESULT Configure(const EngineSettings& settings) = 0;
  // Loads the bases; scanning is possible once this succeeded.
  virtual HRESULT Start() = 0;
  // Loads the bases again; on failure the engine keeps scanning with the
  // bases it had.
  virtual HRESULT Reload() = 0;
  virtual void Stop() = 0;
  // Scans bytes; gives a KernelVerdict and, for a detection, its name.
  virtual HRESULT Scan(std::string_view bytes, int32_t* verdict, std::string* threatName) = 0;
  // Signatures loaded (0 when the engine cannot tell) and the bases version.
  virtual HRESULT Info(uint64_t* recordCount, std::string* version) = 0;
  // The object the kernel's self-test scans; the engine must report it
  // infected (verdict 2), or it is not fit to scan mail.
  virtual std::string SelfTestObject() const = 0;
  // True when Start and Reload load the signature files of the bases folder
  // themselves (so the folder must be proven first); a daemon loads its own.
  virtual bool LoadsBasesFolder() const = 0;
};

// The self-test object of the in-process engine and the signature that
// detects it, in the engine's body-signature format.
std::string_view KernelSelfTestObject();
std::string KernelSelfTestSignature();
inline constexpr char kSelfTestThreatName[] = "Tervala.Kernel.SelfTest";

// The EICAR test file, which every clamd set is expected to detect.
std::string_view EicarTestObject();

// The verdict of a detection, by the family of its name: heuristic
// "Heuristics.Encrypted.*" is protected content, "Heuristics.Limits.Exceeded*"
// an incomplete scan, other "Heuristics.*" and "PUA.*" suspicious, anything
// else infected.
int32_t VerdictOfDetection(std::string_view threatName);

// The scan result of a kernel verdict.
ScanResult ResultOfVerdict(int32_t verdict);

std::unique_ptr<ScanEngine> NewClamavEngine();
// `address` is "unix:/path/to/socket" or "tcp:host:port".
std::unique_ptr<ScanEngine> NewClamdEngine(const std::string& address);

}  // namespace zul

#endif  // SCANNING_SCAN_ENGINE_H_
