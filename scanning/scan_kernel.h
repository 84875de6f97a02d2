// The scan kernel of a task: one per process, started with the kernel
// settings, asked to scan one file at a time. Every operation returns an
// HRESULT (0 success, negative failure) and never throws.
//
// The kernel says "clean" only for an object it really scanned:
//  - its temporary folder must exist and take a file at every start and
//    reload, or the start or reload fails (ZUL_E_TEMP_FOLDER);
//  - after every start and reload it scans a test object of its own through
//    the same path as mail objects (a file in the work folder, the
//    configured options) and must detect it, or the start fails and a
//    reload keeps the previous engine (ZUL_E_SELF_TEST);
//  - an engine that reports an error while a scan runs makes that scan a
//    failure (ResultFailed), whatever its return code said; a detection
//    made on the way stands;
//  - clamd's answer is clean only when it is exactly "OK" and a detection
//    only when it ends in " FOUND"; anything else is a failure.
//
// The engine is chosen by the notes.ini variable ZulScanKernel:
//   (not set) or "clamav"          ClamAV's library in this process
//   "clamd:unix:/path/to/socket"   a clamd daemon on a Unix socket
//   "clamd:tcp:host:port"          a clamd daemon over TCP
#ifndef SCANNING_SCAN_KERNEL_H_
#define SCANNING_SCAN_KERNEL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/hresult.h"
#include "records/scan_result.h"
#include "settings/bases_date.h"
#include "base/kernel_settings_record.h"

namespace zul {

inline constexpr size_t kMaxDescription = 1023;

// Creates the kernel's engine as notes.ini (or SelectKernelEngine) says.
HRESULT InitKernel();
// Overrides ZulScanKernel for this process (tools and tests); "" forgets it.
void SelectKernelEngine(const std::string& spec);
// Scan options (scanFlags, heuristics first) take effect with the next scan;
// the bases and temporary folders and the engine limits (depth, time, files,
// potentially unwanted programs) with the next start or reload.
HRESULT WriteKernelSettings(const KernelSettingsRecord& settings);
// Loads the bases and runs the self-test.
HRESULT StartKernel();
// Loads the bases anew into a second engine and runs its self-test; the
// engine in use is replaced only then, so a failure keeps it scanning.
HRESULT ReloadBases();
// The same, with the loading and compiling on a thread of its own while the
// engine in use goes on scanning: S_OK once the load began (S_FALSE when one
// was loading already: another follows it).
HRESULT BeginReloadBases();
// Takes in a reload begun: S_FALSE while none has finished loading (with
// `wait`, waits for it); otherwise its outcome, the self-test run here on
// the caller's thread, and on S_OK the new engine in use.
HRESULT FinishReloadBases(bool wait);
// Blocks until a reload begun has finished loading (tests use it to make the
// next finish certain).
void WaitForReloadLoaded();
// Stops and releases the engine if there is one.
HRESULT StopKernel();
// The number of signatures loaded (0 when the engine cannot tell) and the
// date of the signed bases index "master.xml" in the bases folder (none when
// it is missing, unsigned or altered).
HRESULT GetBasesInfo(uint32_t* recordCount, std::optional<BasesDate>* basesDate);
// Scans the file `scanCopy`. An empty file is clean without asking the
// engine; an unreadable file or a failing engine gives ResultFailed. What
// was found goes to `description` (native code page, at most 1023 bytes).
// Curing is asked for with `tryCure`; these engines never cure, so
// `cureCopy` is not written.
ScanResult ScanFile(std::u16string_view scanCopy, std::u16string_view cureCopy, std::string* description,
                    bool tryCure);

}  // namespace zul

#endif  // SCANNING_SCAN_KERNEL_H_
