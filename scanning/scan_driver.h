// The scan of one held mail document: every object the monitored-objects
// mask asks for is written out, filtered and scanned in stored order; each
// gets the reaction its result is configured for; removals and replacements
// are applied after the walk; the document is saved when it changed.
//
// A document is only handed back for release (status 0) when every object
// was handled and every change was saved. A walk that cannot go on, or a
// save that fails, returns its status and the document stays held.
#ifndef SCANNING_SCAN_DRIVER_H_
#define SCANNING_SCAN_DRIVER_H_

#include <cstdint>

#include "notesapi/platform.h"

namespace zul {

// `note` is the caller's handle of the note, opened with MIME kept raw. A
// MIME note is reopened as its readers see it; the handle in use at the end
// (possibly none) is written back to `note`, and the caller closes that one.
notesapi::Status ScanMailDocument(notesapi::DbHandle db, notesapi::NoteHandle* note, uint8_t monitoredObjects,
                                  notesapi::NoteId noteId);

// How long one mail's objects may take, notes.ini ZulMailMonitorMailTimeLimit
// (seconds); past it the objects not yet scanned are result 10.
inline constexpr double kDefaultMailTimeLimitSeconds = 120;
double MailTimeLimitSeconds();

// The name of a data type for the log ("TYPE_TEXT", ... "UNKNOWN DATA TYPE").
const char* DataTypeName(uint16_t type);

}  // namespace zul

#endif  // SCANNING_SCAN_DRIVER_H_
