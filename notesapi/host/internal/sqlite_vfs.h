// The file layer the host's databases use: SQLite's own, except that a WAL
// log that already exists is opened as existing.
#ifndef NOTESAPI_HOST_INTERNAL_SQLITE_VFS_H_
#define NOTESAPI_HOST_INTERNAL_SQLITE_VFS_H_

namespace notesapi::host {

// The name to open databases with (registered on first use), or nullptr for
// SQLite's default when it cannot be registered. SQLite's unix layer syncs
// the folder after the first commit of every connection whose log it opened
// with "create", even when the log was there long before; for a process that
// stores one message that doubles its syncs. The log's folder entry was
// synced by the connection that made it.
const char* HostVfsName();

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_SQLITE_VFS_H_
