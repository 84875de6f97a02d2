// Reads the settings database into the settings records. The documents are
// found through the profile "UIDStorage", which holds the universal ID of
// the one document of each settings form.
#ifndef SETTINGS_SETTINGS_READER_H_
#define SETTINGS_SETTINGS_READER_H_

#include "base/server_variables.h"
#include "notesapi/status.h"
#include "notesapi/types.h"

namespace zul {

// Every settings document of the task, in the task's order; creates the task
// work folder after the general settings and fills the kernel record's
// folders and bases type at the end. Reports its own errors. A failure
// leaves the records read before the failing document updated.
bool ReadAllSettings(TaskKind task);

// The single readers, each on an open settings database: 0, or the status
// of the document that could not be opened (reported by ReadAllSettings).
notesapi::Status ReadUidStorage(notesapi::DbHandle db);
notesapi::Status ReadGeneralSettings(notesapi::DbHandle db);
notesapi::Status ReadObjectActions(notesapi::DbHandle db);
notesapi::Status ReadMonitorSettings(notesapi::DbHandle db);
notesapi::Status ReadOutbreakSettings(notesapi::DbHandle db);
notesapi::Status ReadKernelSettings(notesapi::DbHandle db);
// Also hands the bases folder and bases type to the kernel record.
notesapi::Status ReadUpdaterSettings(notesapi::DbHandle db);

// Builds the task work folder "<gsTemporaryFolder>\<task folder>\" and
// creates it (and its parent when needed) for the task's user alone.
// kFolderNotPrivate, logged, when it belongs to another user or others may
// write into it; a folder that cannot be made at all is reported where it
// is used.
notesapi::Status MakeTaskWorkFolder(TaskKind task);

}  // namespace zul

#endif  // SETTINGS_SETTINGS_READER_H_
