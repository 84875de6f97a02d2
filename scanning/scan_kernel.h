// The scan kernel: an engine opened with the kernel settings, asked to scan
// one file at a time. Its operations return a Status that carries the
// kernel's HRESULT (hresult()), which the log texts show; nothing throws.
//
// The kernel says "clean" only for an object it really scanned:
//  - its temporary folder must exist and take a file at every open and
//    reload, or the open or reload fails (ZUL_E_TEMP_FOLDER);
//  - after every open and reload it scans a test object of its own through
//    the same path as mail objects (a file in the work folder, the
//    configured options) and must detect it, or the open fails and a
//    reload keeps the engine in use (ZUL_E_SELF_TEST);
//  - only bases that are proven are loaded (scanning/bases_proof.h);
//  - an engine that reports an error while a scan runs makes that scan a
//    failure (ResultFailed), whatever its return code said; a detection
//    made on the way stands;
//  - clamd's answer is clean only when it is exactly "OK" and a detection
//    only when it ends in " FOUND"; anything else is a failure.
//
// The engine is named as notes.ini ZulScanKernel names it:
//   "" or "clamav"                 ClamAV's library in this process
//   "clamd:unix:/path/to/socket"   a clamd daemon on a Unix socket
//   "clamd:tcp:host:port"          a clamd daemon over TCP
#ifndef SCANNING_SCAN_KERNEL_H_
#define SCANNING_SCAN_KERNEL_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/kernel_settings_record.h"
#include "base/status.h"
#include "notesapi/platform.h"
#include "scanning/scan_result.h"
#include "settings/bases_date.h"

namespace zul {

inline constexpr size_t kMaxDescription = 1023;

struct ScanKernelOptions {
  std::string engine;  // as ZulScanKernel names it
  KernelSettingsRecord settings;
};

// The step of Open that failed: each has a log text of its own.
enum class KernelOpenStep { kEngine, kSettings, kStart };

class ScanKernel {
 public:
  // Chooses the engine, gives it the settings, loads the proven bases and
  // runs the self-test; *kernel is set only when all of that succeeded.
  // `platform` must outlive the kernel.
  static Status Open(const ScanKernelOptions& options, notesapi::Platform* platform, std::unique_ptr<ScanKernel>* kernel,
                     KernelOpenStep* failedStep = nullptr);
  // Waits for a load in progress, then stops the engine.
  ~ScanKernel();
  ScanKernel(const ScanKernel&) = delete;
  ScanKernel& operator=(const ScanKernel&) = delete;

  // Scan options (scanFlags, heuristics first) take effect with the next
  // scan; the bases and temporary folders and the engine limits (depth,
  // time, files, potentially unwanted programs) with the next reload.
  Status Configure(const KernelSettingsRecord& settings);

  // A reload loads the bases anew into a second engine, on a thread of its
  // own while the engine in use goes on scanning, and runs the self-test;
  // the engine in use is replaced only then, so a failure keeps it scanning.
  // Asked for while one is loading, another follows it (the set loading may
  // be older than the one announced).
  Status BeginReload();
  // Takes in a reload begun: nothing while none has finished loading (with
  // `wait`, waits for it); otherwise its outcome, and on OK the new engine
  // in use.
  std::optional<Status> FinishReload(bool wait);
  // Begins a reload and waits for its outcome.
  Status Reload();
  // Blocks until a reload begun has finished loading (tests use it to make
  // the next finish certain).
  void WaitForReloadLoaded();

  // The number of signatures loaded (0 when the engine cannot tell) and the
  // date of the signed bases index "master.xml" in the bases folder (none
  // when it is missing, unsigned or altered).
  Status BasesInfo(uint32_t* recordCount, std::optional<BasesDate>* basesDate);

  // Scans the file `scanCopy`. An empty file is clean without asking the
  // engine; an unreadable file or a failing engine gives ResultFailed. What
  // was found goes to `description` (native code page, at most 1023 bytes).
  ScanResult ScanFile(std::u16string_view scanCopy, std::string* description);

  struct State;  // the engines and folders, opaque to the callers

 private:
  explicit ScanKernel(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The engine notes.ini ZulScanKernel names ("" when it is not set).
std::string ConfiguredKernelEngine(notesapi::Platform* platform);

// The kernel the scanners of this process use (none until a task opens one).
ScanKernel* ProcessKernel();
void SetProcessKernel(ScanKernel* kernel);

}  // namespace zul

#endif  // SCANNING_SCAN_KERNEL_H_
