#include "notesapi/host/internal/database_role.h"

#include "notesapi/host/internal/mime_write_back.h"

#include <sys/stat.h>

#include <algorithm>
#include <sstream>

namespace notesapi::host {

Status DatabaseRole::DbCreate(std::string_view path, std::string_view title) {
  std::string file;
  if (Status st = ResolveDatabasePath(path, &file); st != kNoError) return st;
  size_t slash = file.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(file.substr(0, slash))) return kFileError;
  return NoteDatabase::Create(file, std::string(title));
}

Status DatabaseRole::DbOpen(std::string_view path, DbHandle* db) {
  auto open = std::make_unique<OpenDatabase>();
  if (Status st = ResolveDatabasePath(path, &open->file); st != kNoError) return st;
  struct stat info {};
  if (::stat(open->file.c_str(), &info) != 0) return kDatabaseNotFound;
  KeptDatabase& kept = s_.keptDatabases[open->file];
  if (kept.store == nullptr || kept.device != info.st_dev || kept.inode != info.st_ino) {
    kept.store.reset();  // a file moved aside: let go of it first
    auto store = std::make_shared<NoteDatabase>();
    if (Status st = store->Open(open->file, s_.options.busyTimeoutMillis); st != kNoError) {
      s_.keptDatabases.erase(open->file);
      return st;
    }
    if (!s_.options.foldGrowingLogs) store->StopFoldingGrowingLog();
    store->JoinSavesOf(&s_.saves);
    kept = KeptDatabase{std::move(store), info.st_dev, info.st_ino};
  }
  open->store = kept.store;
  DbHandle handle = s_.NewHandle();
  s_.databases[handle] = std::move(open);
  *db = handle;
  return kNoError;
}

Status DatabaseRole::BeginSaves() {
  s_.saves.Open();
  return kNoError;
}

Status DatabaseRole::EndSaves(bool commit) { return s_.saves.Close(commit); }

Status DatabaseRole::DbClose(DbHandle db) {
  auto it = s_.databases.find(db);
  if (it == s_.databases.end()) return kInvalidHandle;
  // Notes still open on the database lose it; their handles stay valid to close.
  for (auto& [handle, note] : s_.notes) {
    if (note.db == db) note.db = kNullHandle;
  }
  s_.databases.erase(it);
  return kNoError;
}

Status DatabaseRole::DbNoteIds(DbHandle db, std::vector<NoteId>* ids) {
  OpenDatabase* open = s_.FindDb(db);
  if (open == nullptr) return kInvalidHandle;
  return open->store->NoteIds(ids);
}

Status DatabaseRole::DbGetOption(DbHandle db, int option, bool* on) {
  OpenDatabase* open = s_.FindDb(db);
  if (open == nullptr) return kInvalidHandle;
  if (option < 0 || option > 63) return kBadArgument;
  uint64_t options = 0;
  if (Status st = open->store->Options(&options); st != kNoError) return st;
  *on = (options >> option & 1) != 0;
  return kNoError;
}

Status DatabaseRole::DbSetOption(DbHandle db, int option, bool on) {
  OpenDatabase* open = s_.FindDb(db);
  if (open == nullptr) return kInvalidHandle;
  if (option < 0 || option > 63) return kBadArgument;
  return open->store->SetOption(option, on);
}

Status DatabaseRole::NoteCreate(DbHandle db, NoteHandle* note) {
  if (s_.FindDb(db) == nullptr) return kInvalidHandle;
  OpenNote open;
  open.db = db;
  open.note.unid = NewUnid(s_);
  open.note.created = s_.platform->TimeNow();
  open.note.modified = open.note.created;
  *note = AddNote(s_, std::move(open));
  return kNoError;
}

Status DatabaseRole::NoteOpen(DbHandle db, NoteId id, NoteHandle* note) {
  OpenDatabase* open = s_.FindDb(db);
  if (open == nullptr) return kInvalidHandle;
  OpenNote loaded;
  loaded.db = db;
  if (Status st = open->store->Load(id, &loaded.note); st != kNoError) return st;
  *note = AddNote(s_, std::move(loaded));
  return kNoError;
}

Status DatabaseRole::NoteOpenByUnid(DbHandle db, const Unid& unid, NoteHandle* note) {
  OpenDatabase* open = s_.FindDb(db);
  if (open == nullptr) return kInvalidHandle;
  OpenNote loaded;
  loaded.db = db;
  if (Status st = open->store->LoadByUnid(unid, &loaded.note); st != kNoError) return st;
  *note = AddNote(s_, std::move(loaded));
  return kNoError;
}

Status DatabaseRole::ProfileOpen(DbHandle db, std::string_view profileName, bool create, NoteHandle* note) {
  OpenDatabase* open = s_.FindDb(db);
  if (open == nullptr) return kInvalidHandle;
  if (profileName.empty()) return kProfileNameInvalid;
  OpenNote loaded;
  loaded.db = db;
  Status st = open->store->LoadProfile(Lower(profileName), &loaded.note);
  if (st == kNoteNotFound && create) {
    loaded.note = StoredNote();
    loaded.note.unid = NewUnid(s_);
    loaded.note.created = s_.platform->TimeNow();
    loaded.note.modified = loaded.note.created;
    loaded.note.profileName = Lower(profileName);
    st = kNoError;
  }
  if (st != kNoError) return st;
  *note = AddNote(s_, std::move(loaded));
  return kNoError;
}

Status DatabaseRole::NoteGetInfo(NoteHandle note, NoteInfo* info) {
  OpenNote* open = s_.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  info->db = open->db;
  info->noteId = open->note.id;
  info->unid = open->note.unid;
  info->noteClass = open->note.noteClass;
  info->created = open->note.created;
  info->modified = open->note.modified;
  return kNoError;
}

Status DatabaseRole::NoteSetClass(NoteHandle note, uint16_t noteClass) {
  OpenNote* open = s_.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  open->note.noteClass = noteClass;
  return kNoError;
}

Status DatabaseRole::NoteUpdate(NoteHandle note, uint16_t updateFlags) {
  OpenNote* open = s_.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  OpenDatabase* db = s_.FindDb(open->db);
  if (db == nullptr) return kInvalidHandle;
  if (open->mimeOrigin && !(updateFlags & kUpdateAsConverted)) {
    if (Status st = WriteBackMime(s_, note); st != kNoError) return st;
  }
  open->mimeOrigin.reset();
  // The note and its new objects are one transaction, the objects written
  // once, owned by the note: nothing of a save that fails stays.
  SqliteTransaction transaction(db->store->connection());
  if (Status st = transaction.Begin(); st != kNoError) return st;
  StoredNote before;
  before.id = open->note.id;
  before.revision = open->note.revision;
  before.modified = open->note.modified;
  before.attachedObjects = open->note.attachedObjects;
  before.detachedObjects = open->note.detachedObjects;
  NoteId owner = open->note.id;
  Status st = kNoError;
  if (owner == 0 && !open->pendingObjects.empty()) st = db->store->ReserveNoteId(&owner);
  open->note.reservedId = open->note.id == 0 ? owner : 0;
  // Objects let go are deleted before the new ones are written, so that a
  // rewritten message takes their pages instead of growing the file by its size.
  for (uint32_t object : open->note.detachedObjects) {
    if (st == kNoError) st = db->store->DeleteObject(object);
  }
  if (st == kNoError) open->note.detachedObjects.clear();  // restored below should the save fail
  std::vector<ObjectPatch> patches;
  if (st == kNoError) st = StorePendingObjects(s_, open, owner, &patches);
  if (st == kNoError) st = db->store->Save(&open->note, (updateFlags & kUpdateForce) != 0, s_.platform->TimeNow());
  if (st == kNoError) st = transaction.Commit();
  if (st != kNoError) {
    // Rolled back: the note in memory is again the one not yet saved.
    UndoObjectPatches(open, patches);
    open->note.id = before.id;
    open->note.reservedId = 0;
    open->note.revision = before.revision;
    open->note.modified = before.modified;
    open->note.attachedObjects = std::move(before.attachedObjects);
    open->note.detachedObjects = std::move(before.detachedObjects);
    return st;
  }
  open->pendingObjects.clear();
  return kNoError;
}

Status DatabaseRole::NoteClose(NoteHandle note) {
  auto it = s_.notes.find(note);
  if (it == s_.notes.end()) return kInvalidHandle;
  // Objects attached but never saved with the note go with it.
  if (OpenDatabase* db = s_.FindDb(it->second.db)) {
    for (uint32_t object : it->second.note.attachedObjects) (void)db->store->DeleteObject(object);  // an orphan at worst
  }
  s_.notes.erase(it);
  return kNoError;
}

Status DatabaseRole::NoteDelete(DbHandle db, NoteId id) {
  OpenDatabase* open = s_.FindDb(db);
  if (open == nullptr) return kInvalidHandle;
  return open->store->Delete(id);
}

Status DatabaseRole::ResolveDatabasePath(std::string_view path, std::string* file) {
  std::string utf8;
  if (s_.charsets->Convert(Charset::kLmbcs, Charset::kUtf8, path, &utf8) != kNoError || utf8.empty()) {
    return kBadArgument;
  }
  std::replace(utf8.begin(), utf8.end(), '\\', '/');
  if (utf8[0] == '/') {
    *file = utf8;
    return kNoError;
  }
  int depth = 0;
  std::stringstream parts(utf8);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part == "..") {
      if (--depth < 0) return kPathOutsideDataDirectory;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
  }
  *file = s_.dataDirectory + "/" + utf8;
  return kNoError;
}

}  // namespace notesapi::host
