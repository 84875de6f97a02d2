// The embedded host: the platform implemented for real on Linux.
//
// A server directory holds notes.ini at its root, the data directory (the
// notes.ini variable Directory, "data" by default) with the databases, the
// server log "server.log", and run/ with the message queues and the task list.
// Several processes may use one server directory at once.
#ifndef NOTESAPI_HOST_HOST_PLATFORM_H_
#define NOTESAPI_HOST_HOST_PLATFORM_H_

#include <memory>
#include <string>

#include "notesapi/clock.h"
#include "notesapi/platform.h"

namespace notesapi {

struct HostOptions {
  // Path of the server's notes.ini; its folder is the server directory.
  std::string notesIni;
  // Where time comes from; the system clock when empty.
  std::shared_ptr<Clock> clock;
  // Longest pause of AddInIdle, in milliseconds (0: no pause at all).
  int idleWaitMillis = 50;
  // Console lines are printed on standard output as well as logged.
  bool echoConsole = true;
  // How long a database write waits for another process's write to end
  // before it fails with kDatabaseLocked.
  int busyTimeoutMillis = 10000;
  // Folds a database's log into its file as the log grows (SQLite's own
  // checkpoints). A process that stores one message and ends leaves that to
  // the tasks, which fold while idle, so a message costs it one sync.
  bool foldGrowingLogs = true;
};

// Finds notes.ini the server's way: an argument "=path/to/notes.ini", else
// the environment variable ZUL_NOTES_INI, else ./notes.ini.
// kNotesIniMissing when the chosen file does not exist.
[[nodiscard]] Status LocateNotesIni(int argc, const char* const* argv, std::string* path);

// The server directory of a notes.ini path: the folder it lies in.
std::string ServerDirectoryOf(const std::string& notesIni);

// The text of a status, for failures before any platform exists.
std::string HostStatusText(Status status);

// Whoever runs a program of the server, what it creates from now on is
// readable by the owner's group at most and writable by the owner alone:
// the process's file mode mask gains 027, whatever mask it came with.
void RestrictNewFileModes();

// Makes this process act as the owner of a server directory before it opens
// anything there, so no file of the server ever belongs to a user the
// service cannot write as. The owner itself: nothing to do. Root: takes the
// owner's user, group and supplementary groups for the rest of the process.
// Anyone else: kServerOwnedByOther, and *owner names the owner. A directory
// that does not exist yet has no owner to take. Restricts new file modes too.
[[nodiscard]] Status AdoptServerOwner(const std::string& directory, std::string* owner);

// Opens the server directory of options.notesIni, as its owner (above): a
// caller who is neither the owner nor root gets kServerOwnedByOther and a
// line on standard error that names the owner.
[[nodiscard]] Status NewHostPlatform(const HostOptions& options, std::unique_ptr<Platform>* platform);

// The platform of a task program: notes.ini found as LocateNotesIni finds
// it, opened as NewHostPlatform opens it with the default options.
[[nodiscard]] Status OpenProgramHost(int argc, const char* const* argv, std::unique_ptr<Platform>* platform);

}  // namespace notesapi

#endif  // NOTESAPI_HOST_HOST_PLATFORM_H_
