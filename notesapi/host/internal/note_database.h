// One database of the server: an SQLite file holding notes, their items in
// canonical layout, and the database's objects. A note is read whole into a
// StoredNote and written back whole in one transaction.
#ifndef NOTESAPI_HOST_INTERNAL_NOTE_DATABASE_H_
#define NOTESAPI_HOST_INTERNAL_NOTE_DATABASE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "notesapi/host/internal/sqlite_util.h"
#include "notesapi/status.h"
#include "notesapi/types.h"

namespace notesapi::host {

struct StoredItem {
  uint16_t block = 0;  // identity inside the open note
  std::string name;    // LMBCS
  uint16_t flags = 0;
  std::string value;   // data type first
};

struct StoredNote {
  NoteId id = 0;  // 0 until first saved
  NoteId reservedId = 0;  // the ID a new note's first save gives it, when drawn before
  Unid unid;
  uint16_t noteClass = NOTE_CLASS_DOCUMENT;
  TimeDate created;
  TimeDate modified;
  int64_t revision = 0;  // bumped by every save; detects concurrent writers
  std::string profileName;  // lower case; empty for other notes
  std::vector<StoredItem> items;
  // Objects attached or detached since the note was loaded; settled by Save.
  std::vector<uint32_t> attachedObjects;
  std::vector<uint32_t> detachedObjects;
};

// Object numbers the database gives stay below this; the numbers above are
// for objects not yet saved.
inline constexpr int64_t kObjectIdLimit = 0xF0000000;

class NoteDatabase {
 public:
  // A new, empty database file. kDatabaseExists when the file exists.
  [[nodiscard]] static Status Create(const std::string& file, const std::string& title);

  [[nodiscard]] Status Open(const std::string& file, int busyTimeoutMillis);
  [[nodiscard]] Status Load(NoteId id, StoredNote* note);
  [[nodiscard]] Status LoadByUnid(const Unid& unid, StoredNote* note);
  [[nodiscard]] Status LoadProfile(const std::string& lowerName, StoredNote* note);
  // Writes the note and all its items; gives a new note its ID. Without
  // `force`, kNoteConflict when the stored revision moved since loading.
  [[nodiscard]] Status Save(StoredNote* note, bool force, const TimeDate& now);
  [[nodiscard]] Status Delete(NoteId id);
  [[nodiscard]] Status NoteIds(std::vector<NoteId>* ids);
  // Writes what the log holds into the file, so the file alone holds every
  // saved note; never waits for another process.
  [[nodiscard]] Status FoldLog() { return db_.CheckpointWithoutWaiting(); }
  // Leaves folding the log to others (and to the last close).
  void StopFoldingGrowingLog() { (void)db_.Exec("PRAGMA wal_autocheckpoint=0"); }
  // Writes made while `batch` is open join it.
  void JoinSavesOf(SaveBatch* batch) { db_.JoinSavesOf(batch); }
  [[nodiscard]] Status Title(std::string* title);
  // The database's option bits; a change holds for connections opened after it.
  [[nodiscard]] Status Options(uint64_t* options);
  [[nodiscard]] Status SetOption(int bit, bool on);

  // Objects: the data of attachments. A new object belongs to no note until
  // the note that attached it is saved.
  // `owner` 0 leaves the object to the next save of the note that names it.
  [[nodiscard]] Status InsertObject(std::string_view data, uint32_t flags, NoteId owner, uint32_t* objectId);
  // The same for data that `source` gives piece by piece, never whole.
  using ObjectSource = std::function<Status(uint64_t at, size_t length, char* into)>;
  [[nodiscard]] Status InsertObjectFrom(uint64_t size, const ObjectSource& source, uint32_t flags, NoteId owner,
                                        uint32_t* objectId);
  // Draws a new note's ID ahead of its first save, so the objects it is
  // saved with are written owned by it (an object row moved to its owner
  // later is written again whole).
  [[nodiscard]] Status ReserveNoteId(NoteId* id) { return NextNoteId(id); }
  SqliteDb* connection() { return &db_; }
  [[nodiscard]] Status ReadObject(uint32_t objectId, std::string* data, uint32_t* flags);
  // The object's data added at the end of `data`: a large part content goes
  // straight into the message it belongs to.
  [[nodiscard]] Status AppendObject(uint32_t objectId, std::string* data, uint32_t* flags);
  [[nodiscard]] Status DeleteObject(uint32_t objectId);

 private:
  [[nodiscard]] Status NextObjectId(int64_t* id);
  [[nodiscard]] Status InsertObjectRow(const std::string_view* whole, uint64_t size, uint32_t flags, NoteId owner,
                                       int64_t* id);
  [[nodiscard]] Status LoadWhere(const char* condition, const std::string& key, int64_t number, StoredNote* note);
  [[nodiscard]] Status NextNoteId(NoteId* id);
  // Writes the note's items: for a stored note only those that differ from
  // the stored rows, the rest left where they are.
  [[nodiscard]] Status WriteItems(NoteId id, const std::vector<StoredItem>& items, bool stored);
  [[nodiscard]] Status KeptPositions(NoteId id, const std::vector<StoredItem>& items, std::vector<int64_t>* positions,
                                     std::vector<bool>* changed);
  [[nodiscard]] Status RewriteItems(NoteId id, const std::vector<StoredItem>& items);

  SqliteDb db_;
};

std::string EncodeTimeBytes(const TimeDate& time);
TimeDate DecodeTimeBytes(const std::string& bytes);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_NOTE_DATABASE_H_
