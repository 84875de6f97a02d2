// Databases and notes: database files by path inside the data directory,
// notes loaded whole into memory while open and saved back in one
// transaction, profile documents found by name.
#ifndef NOTESAPI_HOST_INTERNAL_DATABASE_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_DATABASE_ROLE_H_

#include <vector>

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class DatabaseRole {
 public:
  explicit DatabaseRole(HostState& state) : s_(state) {}
  Status DbCreate(std::string_view path, std::string_view title);
  Status DbOpen(std::string_view path, DbHandle* db);
  Status DbClose(DbHandle db);
  Status BeginSaves();
  Status EndSaves(bool commit);
  Status DbNoteIds(DbHandle db, std::vector<NoteId>* ids);
  Status DbGetOption(DbHandle db, int option, bool* on);
  Status DbSetOption(DbHandle db, int option, bool on);
  Status NoteCreate(DbHandle db, NoteHandle* note);
  // The note as stored; presenting MIME content converted is another role's.
  Status NoteOpen(DbHandle db, NoteId id, NoteHandle* note);
  Status NoteOpenByUnid(DbHandle db, const Unid& unid, NoteHandle* note);
  Status ProfileOpen(DbHandle db, std::string_view profileName, bool create, NoteHandle* note);
  Status NoteGetInfo(NoteHandle note, NoteInfo* info);
  Status NoteSetClass(NoteHandle note, uint16_t noteClass);
  Status NoteUpdate(NoteHandle note, uint16_t updateFlags);
  Status NoteClose(NoteHandle note);
  Status NoteDelete(DbHandle db, NoteId id);

 private:
  // A relative path that leaves the data directory is refused.
  Status ResolveDatabasePath(std::string_view path, std::string* file);

  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_DATABASE_ROLE_H_
