// Names of the temporary files of scanned objects in the task work folder:
// "<folder>ZELK<pid, 4 hex><random, 4 decimal>", no extension. A name that
// is already taken on disk, or by the other copy of the same object, is
// drawn again, so two objects never share a file.
#ifndef SETTINGS_TEMPORARY_PATHS_H_
#define SETTINGS_TEMPORARY_PATHS_H_

#include <string>
#include <string_view>

namespace zul {

// In the Notes character set; `taken` is a name that must not be returned.
std::string DrawTemporaryPath(std::string_view taken = {});
// The UTF-16 form of a record's path, as file services take it.
std::u16string PathForFiles(std::string_view notesPath);
// Removes the copies a task that died in the middle of a scan left behind;
// only for the one running instance, at its start. Returns how many.
int RemoveLeftoverCopies();

}  // namespace zul

#endif  // SETTINGS_TEMPORARY_PATHS_H_
