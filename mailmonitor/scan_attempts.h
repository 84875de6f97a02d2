// A mail the monitor did not live through must not stop the mail behind
// it. Before a held document is scanned its name is written to a mark file
// in the task's work folder (no sync: it only has to outlive the process),
// and removed after. A monitor that starts and finds the mark counts one
// interrupted scan in the document itself ("$ZulScanCrashes"); a document
// that stopped the monitor twice is set aside ("$ZulSetAside"): it stays
// held, the administrators are told once, and nothing retries it until an
// administrator asks (zulctl mail requeue --set-aside).
#ifndef MAILMONITOR_SCAN_ATTEMPTS_H_
#define MAILMONITOR_SCAN_ATTEMPTS_H_

#include <string>

#include "notesapi/platform.h"

namespace zul {

inline constexpr char kScanCrashesItem[] = "$ZulScanCrashes";
inline constexpr char kSetAsideItem[] = "$ZulSetAside";
inline constexpr int kCrashesBeforeSetAside = 2;

// At start-up: the scan a previous monitor did not end is counted in its
// document, and the mark goes.
void CountInterruptedScan(notesapi::Platform* p);

// Around the scan of one document.
void BeginScanAttempt(notesapi::Platform* p, const std::string& database, notesapi::NoteId id);
void EndScanAttempt(notesapi::Platform* p);

// True when the open document stopped the monitor too often: it is marked
// set aside (and saved), and the administrators are told.
bool SetAsideIfItStoppedTheMonitor(notesapi::Platform* p, notesapi::NoteHandle note, notesapi::NoteId id);

// True when the open document is set aside.
bool IsSetAside(notesapi::Platform* p, notesapi::NoteHandle note);

}  // namespace zul

#endif  // MAILMONITOR_SCAN_ATTEMPTS_H_
