// Reads the settings database into the settings records. The documents are
// found through the profile "UIDStorage", which holds the universal ID of
// the one document of each settings form.
#ifndef SETTINGS_SETTINGS_READER_H_
#define SETTINGS_SETTINGS_READER_H_

#include "base/server_variables.h"
#include "base/status.h"
#include "notesapi/types.h"

namespace zul {

// Every settings document of the task, in the task's order; creates the task
// work folder after the general settings and fills the kernel record's
// folders and bases type at the end. Reports its own errors. A failure
// leaves the records read before the failing document updated.
Status ReadAllSettings(TaskKind task);

// The single readers, each on an open settings database: OK, or the
// platform's status of the document that could not be opened (reported by
// ReadAllSettings).
Status ReadUidStorage(notesapi::DbHandle db);
Status ReadGeneralSettings(notesapi::DbHandle db);
Status ReadObjectActions(notesapi::DbHandle db);
Status ReadMonitorSettings(notesapi::DbHandle db);
Status ReadOutbreakSettings(notesapi::DbHandle db);
Status ReadKernelSettings(notesapi::DbHandle db);
// Also hands the bases folder and bases type to the kernel record.
Status ReadUpdaterSettings(notesapi::DbHandle db);

// Builds the task work folder "<gsTemporaryFolder>\<task folder>\" and
// creates it (and its parent when needed) for the task's user alone.
// kFolderNotPrivate, logged, when it belongs to another user or others may
// write into it; a folder that cannot be made at all is reported where it
// is used.
Status MakeTaskWorkFolder(TaskKind task);

}  // namespace zul

#endif  // SETTINGS_SETTINGS_READER_H_
