#include "notesapi/host/internal/note_database.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <thread>

#include "notesapi/item_values.h"

namespace notesapi::host {

namespace {

constexpr int64_t kFormatVersion = 1;
constexpr NoteId kFirstNoteId = 0x8F8;  // note IDs are multiples of 4
constexpr NoteId kNoteIdStep = 4;

constexpr const char* kSchema =
    "CREATE TABLE dbinfo(key TEXT PRIMARY KEY, value);"
    "CREATE TABLE notes(note_id INTEGER PRIMARY KEY, unid BLOB NOT NULL UNIQUE, note_class INTEGER NOT NULL,"
    " created BLOB NOT NULL, modified BLOB NOT NULL, revision INTEGER NOT NULL, profile TEXT UNIQUE);"
    "CREATE TABLE items(note_id INTEGER NOT NULL, position INTEGER NOT NULL, name BLOB NOT NULL,"
    " flags INTEGER NOT NULL, value BLOB NOT NULL, PRIMARY KEY(note_id, position)) WITHOUT ROWID;"
    "CREATE TABLE objects(object_id INTEGER PRIMARY KEY, note_id INTEGER, object_type INTEGER NOT NULL,"
    " flags INTEGER NOT NULL DEFAULT 0, data BLOB NOT NULL);";

std::string EncodeUnid(const Unid& unid) { return EncodeTimeBytes(unid.file) + EncodeTimeBytes(unid.note); }

Unid DecodeUnid(const std::string& bytes) {
  Unid unid;
  if (bytes.size() == 16) {
    unid.file = DecodeTimeBytes(bytes.substr(0, 8));
    unid.note = DecodeTimeBytes(bytes.substr(8));
  }
  return unid;
}

bool FileExists(const std::string& file) {
  struct stat info {};
  return ::stat(file.c_str(), &info) == 0;
}

}  // namespace

std::string EncodeTimeBytes(const TimeDate& time) { return EncodeTimeValue(time).substr(2); }

TimeDate DecodeTimeBytes(const std::string& bytes) {
  TimeDate time;
  (void)GetLe32(bytes, 0, &time.innards[0]);
  (void)GetLe32(bytes, 4, &time.innards[1]);
  return time;
}

namespace {

Status WriteEmptyDatabase(const std::string& file, const std::string& title) {
  SqliteDb db;
  if (Status s = db.Open(file, true, kDefaultBusyTimeoutMillis, Durability::kEachCommit); s != kNoError) return s;
  SqliteTransaction transaction(&db);
  if (Status s = transaction.Begin(); s != kNoError) return s;
  if (Status s = db.ExecSetup(kSchema); s != kNoError) return s;
  SqliteStatement info;
  Status s = info.Prepare(&db,
                          "INSERT INTO dbinfo(key, value) VALUES('format', ?1), ('title', ?2), ('next_note_id', ?3)");
  if (s != kNoError) return s;
  info.BindInt(1, kFormatVersion);
  info.BindBlob(2, title);
  info.BindInt(3, kFirstNoteId);
  if (s = info.Run(); s != kNoError) return s;
  if (s = transaction.Commit(); s != kNoError) return s;
  return db.Checkpoint();  // the file is linked under its path alone; its log stays behind
}

}  // namespace

// The database is built whole under a name of its own and then linked to
// its path, which fails if the path exists: another process never sees a
// half-made database there, and of two creators exactly one wins.
Status NoteDatabase::Create(const std::string& file, const std::string& title) {
  if (FileExists(file)) return kDatabaseExists;
  std::string building = file + ".XXXXXX";
  int fd = ::mkstemp(building.data());
  if (fd < 0) return kFileError;
  mode_t mask = ::umask(0);
  ::umask(mask);
  (void)::fchmod(fd, 0640 & ~mask);  // the service's alone, as every file of the server
  ::close(fd);
  Status s = WriteEmptyDatabase(building, title);  // closed, its log folded in, once this returns
  if (s == kNoError && ::link(building.c_str(), file.c_str()) != 0) s = errno == EEXIST ? kDatabaseExists : kFileError;
  for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((building + suffix).c_str());
  return s;
}

Status NoteDatabase::Open(const std::string& file, int busyTimeoutMillis) {
  if (Status s = db_.Open(file, false, busyTimeoutMillis, Durability::kEachCommit); s != kNoError) return s;
  // A busy file is busy, not damaged: only a file SQLite reads but that is
  // not one of ours counts as damaged.
  constexpr int kPauseMillis = 5;
  SqliteStatement format;
  for (int waited = 0;; waited += kPauseMillis) {
    Status s = format.Prepare(&db_, "SELECT value FROM dbinfo WHERE key = 'format'");
    if (s == kNoError) break;
    if (s != kDatabaseLocked) return kDatabaseCorrupt;
    if (waited >= busyTimeoutMillis) return kDatabaseLocked;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMillis));
  }
  bool row = false;
  if (Status s = format.Step(&row); s != kNoError) return s;
  if (!row || format.ColumnInt(0) != kFormatVersion) return kDatabaseCorrupt;
  uint64_t options = 0;
  if (Status s = Options(&options); s != kNoError) return s;
  if (options >> kDbOptionNoTransactionLogging & 1) return db_.Exec("PRAGMA synchronous=NORMAL");
  return kNoError;
}

Status NoteDatabase::LoadWhere(const char* condition, const std::string& key, int64_t number, StoredNote* note) {
  std::string sql =
      std::string("SELECT note_id, unid, note_class, created, modified, revision, IFNULL(profile, '') FROM notes WHERE ") +
      condition;
  SqliteStatement query;
  if (Status s = query.Prepare(&db_, sql.c_str()); s != kNoError) return s;
  if (key.empty()) {
    query.BindInt(1, number);
  } else {
    query.BindBlob(1, key);
  }
  bool row = false;
  if (Status s = query.Step(&row); s != kNoError) return s;
  if (!row) return kNoteNotFound;
  StoredNote loaded;
  loaded.id = static_cast<NoteId>(query.ColumnInt(0));
  loaded.unid = DecodeUnid(query.ColumnBlob(1));
  loaded.noteClass = static_cast<uint16_t>(query.ColumnInt(2));
  loaded.created = DecodeTimeBytes(query.ColumnBlob(3));
  loaded.modified = DecodeTimeBytes(query.ColumnBlob(4));
  loaded.revision = query.ColumnInt(5);
  loaded.profileName = query.ColumnBlob(6);
  SqliteStatement items;
  Status s = items.Prepare(&db_, "SELECT name, flags, value FROM items WHERE note_id = ? ORDER BY position");
  if (s != kNoError) return s;
  items.BindInt(1, loaded.id);
  for (bool more = true;;) {
    if (s = items.Step(&more); s != kNoError) return s;
    if (!more) break;
    StoredItem item;
    item.block = static_cast<uint16_t>(loaded.items.size() + 1);
    item.name = items.ColumnBlob(0);
    item.flags = static_cast<uint16_t>(items.ColumnInt(1));
    item.value = items.ColumnBlob(2);
    loaded.items.push_back(std::move(item));
  }
  *note = std::move(loaded);
  return kNoError;
}

Status NoteDatabase::Load(NoteId id, StoredNote* note) { return LoadWhere("note_id = ?", {}, id, note); }

Status NoteDatabase::LoadByUnid(const Unid& unid, StoredNote* note) {
  return LoadWhere("unid = ?", EncodeUnid(unid), 0, note);
}

Status NoteDatabase::LoadProfile(const std::string& lowerName, StoredNote* note) {
  return LoadWhere("profile = CAST(? AS TEXT)", lowerName, 0, note);
}

Status NoteDatabase::NextNoteId(NoteId* id) {
  SqliteStatement query;
  if (Status s = query.Prepare(&db_, "SELECT value FROM dbinfo WHERE key = 'next_note_id'"); s != kNoError) return s;
  bool row = false;
  if (Status s = query.Step(&row); s != kNoError) return s;
  if (!row) return kDatabaseCorrupt;
  *id = static_cast<NoteId>(query.ColumnInt(0));
  SqliteStatement update;
  if (Status s = update.Prepare(&db_, "UPDATE dbinfo SET value = ? WHERE key = 'next_note_id'"); s != kNoError) {
    return s;
  }
  update.BindInt(1, static_cast<int64_t>(*id) + kNoteIdStep);
  return update.Run();
}

Status NoteDatabase::Save(StoredNote* note, bool force, const TimeDate& now) {
  SqliteTransaction transaction(&db_);
  if (Status s = transaction.Begin(); s != kNoError) return s;
  NoteId id = note->id;
  int64_t revision = note->revision;
  if (id == 0) {
    id = note->reservedId;
    if (id == 0) {
      if (Status s = NextNoteId(&id); s != kNoError) return s;
    }
    revision = 0;
  } else {
    SqliteStatement current;
    if (Status s = current.Prepare(&db_, "SELECT revision FROM notes WHERE note_id = ?"); s != kNoError) return s;
    current.BindInt(1, id);
    bool row = false;
    if (Status s = current.Step(&row); s != kNoError) return s;
    if (!row) return kNoteNotFound;
    if (!force && current.ColumnInt(0) != note->revision) return kNoteConflict;
    revision = current.ColumnInt(0);
  }
  SqliteStatement upsert;
  Status s = upsert.Prepare(&db_,
                            "INSERT OR REPLACE INTO notes(note_id, unid, note_class, created, modified, revision, profile)"
                            " VALUES(?, ?, ?, ?, ?, ?, NULLIF(CAST(? AS TEXT), ''))");
  if (s != kNoError) return s;
  upsert.BindInt(1, id);
  upsert.BindBlob(2, EncodeUnid(note->unid));
  upsert.BindInt(3, note->noteClass);
  upsert.BindBlob(4, EncodeTimeBytes(note->created));
  upsert.BindBlob(5, EncodeTimeBytes(now));
  upsert.BindInt(6, revision + 1);
  upsert.BindBlob(7, note->profileName);
  if (s = upsert.Run(); s != kNoError) return s;
  if (s = WriteItems(id, note->items, note->id != 0); s != kNoError) return s;
  for (uint32_t object : note->attachedObjects) {
    SqliteStatement own;
    if (s = own.Prepare(&db_, "UPDATE objects SET note_id = ? WHERE object_id = ?"); s != kNoError) return s;
    own.BindInt(1, id);
    own.BindInt(2, object);
    if (s = own.Run(); s != kNoError) return s;
  }
  for (uint32_t object : note->detachedObjects) {
    if (s = DeleteObject(object); s != kNoError) return s;
  }
  if (s = transaction.Commit(); s != kNoError) return s;
  note->attachedObjects.clear();
  note->detachedObjects.clear();
  note->reservedId = 0;
  note->id = id;
  note->modified = now;
  note->revision = revision + 1;
  return kNoError;
}

Status NoteDatabase::Delete(NoteId id) {
  SqliteTransaction transaction(&db_);
  if (Status s = transaction.Begin(); s != kNoError) return s;
  for (const char* sql : {"DELETE FROM items WHERE note_id = ?", "DELETE FROM objects WHERE note_id = ?",
                          "DELETE FROM notes WHERE note_id = ?"}) {
    SqliteStatement remove;
    if (Status s = remove.Prepare(&db_, sql); s != kNoError) return s;
    remove.BindInt(1, id);
    if (Status s = remove.Run(); s != kNoError) return s;
  }
  if (sqlite3_changes(db_.get()) == 0) return kNoteNotFound;
  return transaction.Commit();
}

Status NoteDatabase::NoteIds(std::vector<NoteId>* ids) {
  SqliteStatement query;
  if (Status s = query.Prepare(&db_, "SELECT note_id FROM notes ORDER BY note_id"); s != kNoError) return s;
  ids->clear();
  for (bool row = true;;) {
    if (Status s = query.Step(&row); s != kNoError) return s;
    if (!row) return kNoError;
    ids->push_back(static_cast<NoteId>(query.ColumnInt(0)));
  }
}

namespace {

// Large object data goes in and out in pieces: a value handed to SQLite
// whole is first copied into one record of its full size.
constexpr size_t kWholeValueLimit = 64 * 1024;
constexpr size_t kBlobPiece = 1024 * 1024;

Status WriteObjectData(sqlite3* db, int64_t row, std::string_view data) {
  sqlite3_blob* blob = nullptr;
  int rc = sqlite3_blob_open(db, "main", "objects", "data", row, 1, &blob);
  for (size_t at = 0; rc == SQLITE_OK && at < data.size(); at += kBlobPiece) {
    size_t piece = std::min(kBlobPiece, data.size() - at);
    rc = sqlite3_blob_write(blob, data.data() + at, static_cast<int>(piece), static_cast<int>(at));
  }
  int closed = sqlite3_blob_close(blob);
  return SqliteStatus(rc != SQLITE_OK ? rc : closed);
}

// Appends the object's data to `data`.
Status ReadObjectData(sqlite3* db, int64_t row, std::string* data) {
  sqlite3_blob* blob = nullptr;
  int rc = sqlite3_blob_open(db, "main", "objects", "data", row, 0, &blob);
  if (rc == SQLITE_OK) {
    size_t at = data->size();
    size_t size = static_cast<size_t>(sqlite3_blob_bytes(blob));
    // A little room beyond: what usually follows (a part's closing lines)
    // must not make a large string double.
    if (data->capacity() < at + size) data->reserve(at + size + 4096);
    data->resize(at + size);
    rc = sqlite3_blob_read(blob, data->data() + at, static_cast<int>(size), 0);
    if (rc != SQLITE_OK) data->resize(at);
  }
  int closed = sqlite3_blob_close(blob);
  return SqliteStatus(rc != SQLITE_OK ? rc : closed, kItemNotFound);
}

}  // namespace

// A new object row: `whole` as its data, or zeros of `size` to be written
// in pieces when `whole` is null.
Status NoteDatabase::InsertObjectRow(const std::string_view* whole, uint64_t size, uint32_t flags, NoteId owner,
                                     int64_t* id) {
  if (Status s = NextObjectId(id); s != kNoError) return s;
  SqliteStatement insert;
  Status s = insert.Prepare(&db_, whole == nullptr ? "INSERT INTO objects(object_id, note_id, object_type, flags, data)"
                                                     " VALUES(?, NULLIF(?, 0), 0, ?, zeroblob(?))"
                                                   : "INSERT INTO objects(object_id, note_id, object_type, flags, data)"
                                                     " VALUES(?, NULLIF(?, 0), 0, ?, ?)");
  if (s != kNoError) return s;
  insert.BindInt(1, *id);
  insert.BindInt(2, owner);
  insert.BindInt(3, flags);
  if (whole == nullptr) {
    insert.BindInt(4, static_cast<int64_t>(size));
  } else {
    insert.BindBlobInPlace(4, *whole);
  }
  return insert.Run();
}

// Object numbers are never given twice: a reader that still holds a note
// naming a deleted object finds it gone, never another one in its place.
Status NoteDatabase::NextObjectId(int64_t* id) {
  SqliteStatement next;
  Status s = next.Prepare(&db_,
                          "SELECT MAX(IFNULL((SELECT value FROM dbinfo WHERE key = 'next_object_id'), 1),"
                          " IFNULL((SELECT MAX(object_id) FROM objects), 0) + 1)");
  if (s != kNoError) return s;
  bool row = false;
  if (s = next.Step(&row); s != kNoError) return s;
  *id = row ? next.ColumnInt(0) : 0;
  if (*id <= 0 || *id >= kObjectIdLimit) return kDatabaseError;
  SqliteStatement advance;
  if (s = advance.Prepare(&db_, "INSERT OR REPLACE INTO dbinfo(key, value) VALUES('next_object_id', ?)"); s != kNoError) {
    return s;
  }
  advance.BindInt(1, *id + 1);
  return advance.Run();
}

Status NoteDatabase::InsertObject(std::string_view data, uint32_t flags, NoteId owner, uint32_t* objectId) {
  if (data.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return kItemTooLarge;
  SqliteTransaction transaction(&db_);  // joins an open save batch
  if (Status s = transaction.Begin(); s != kNoError) return s;
  bool inPieces = data.size() > kWholeValueLimit;
  int64_t id = 0;
  Status s = InsertObjectRow(inPieces ? nullptr : &data, data.size(), flags, owner, &id);
  if (s != kNoError) return s;
  if (inPieces && (s = WriteObjectData(db_.get(), id, data)) != kNoError) return s;
  if (s = transaction.Commit(); s != kNoError) return s;
  *objectId = static_cast<uint32_t>(id);
  return kNoError;
}

Status NoteDatabase::InsertObjectFrom(uint64_t size, const ObjectSource& source, uint32_t flags, NoteId owner,
                                      uint32_t* objectId) {
  if (size > static_cast<uint64_t>(std::numeric_limits<int>::max())) return kItemTooLarge;
  SqliteTransaction transaction(&db_);  // joins an open save batch
  if (Status s = transaction.Begin(); s != kNoError) return s;
  int64_t id = 0;
  if (Status s = InsertObjectRow(nullptr, size, flags, owner, &id); s != kNoError) return s;
  sqlite3_blob* blob = nullptr;
  int rc = sqlite3_blob_open(db_.get(), "main", "objects", "data", id, 1, &blob);
  std::string piece;
  Status read = kNoError;
  for (uint64_t at = 0; rc == SQLITE_OK && read == kNoError && at < size; at += kBlobPiece) {
    piece.resize(static_cast<size_t>(std::min<uint64_t>(kBlobPiece, size - at)));
    read = source(at, piece.size(), piece.data());
    if (read == kNoError) rc = sqlite3_blob_write(blob, piece.data(), static_cast<int>(piece.size()), static_cast<int>(at));
  }
  int closed = sqlite3_blob_close(blob);
  if (read != kNoError) return read;
  if (Status s = SqliteStatus(rc != SQLITE_OK ? rc : closed); s != kNoError) return s;
  if (Status s = transaction.Commit(); s != kNoError) return s;
  *objectId = static_cast<uint32_t>(id);
  return kNoError;
}

Status NoteDatabase::ReadObject(uint32_t objectId, std::string* data, uint32_t* flags) {
  data->clear();
  return AppendObject(objectId, data, flags);
}

Status NoteDatabase::AppendObject(uint32_t objectId, std::string* data, uint32_t* flags) {
  {
    SqliteStatement query;
    if (Status s = query.Prepare(&db_, "SELECT flags FROM objects WHERE object_id = ?"); s != kNoError) return s;
    query.BindInt(1, objectId);
    bool row = false;
    if (Status s = query.Step(&row); s != kNoError) return s;
    if (!row) return kItemNotFound;
    *flags = static_cast<uint32_t>(query.ColumnInt(0));
  }
  return ReadObjectData(db_.get(), objectId, data);
}

Status NoteDatabase::DeleteObject(uint32_t objectId) {
  SqliteTransaction transaction(&db_);  // joins an open save batch
  if (Status s = transaction.Begin(); s != kNoError) return s;
  SqliteStatement remove;
  if (Status s = remove.Prepare(&db_, "DELETE FROM objects WHERE object_id = ?"); s != kNoError) return s;
  remove.BindInt(1, objectId);
  if (Status s = remove.Run(); s != kNoError) return s;
  return transaction.Commit();
}

Status NoteDatabase::Options(uint64_t* options) {
  SqliteStatement query;
  if (Status s = query.Prepare(&db_, "SELECT value FROM dbinfo WHERE key = 'options'"); s != kNoError) return s;
  bool row = false;
  if (Status s = query.Step(&row); s != kNoError) return s;
  *options = row ? static_cast<uint64_t>(query.ColumnInt(0)) : 0;
  return kNoError;
}

Status NoteDatabase::SetOption(int bit, bool on) {
  SqliteTransaction transaction(&db_);  // joins an open save batch
  if (Status s = transaction.Begin(); s != kNoError) return s;
  uint64_t options = 0;
  if (Status s = Options(&options); s != kNoError) return s;
  options = on ? options | uint64_t{1} << bit : options & ~(uint64_t{1} << bit);
  SqliteStatement write;
  if (Status s = write.Prepare(&db_, "INSERT OR REPLACE INTO dbinfo(key, value) VALUES('options', ?1)"); s != kNoError) {
    return s;
  }
  write.BindInt(1, static_cast<int64_t>(options));
  if (Status s = write.Run(); s != kNoError) return s;
  return transaction.Commit();
}

Status NoteDatabase::Title(std::string* title) {
  SqliteStatement query;
  if (Status s = query.Prepare(&db_, "SELECT value FROM dbinfo WHERE key = 'title'"); s != kNoError) return s;
  bool row = false;
  if (Status s = query.Step(&row); s != kNoError) return s;
  *title = row ? query.ColumnBlob(0) : std::string();
  return kNoError;
}

}  // namespace notesapi::host
