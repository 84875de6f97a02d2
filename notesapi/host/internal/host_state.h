// What the host's role objects share: the server directory, notes.ini, the
// character sets, the stores of queues and tasks, and the tables of open
// handles. Every role works on this one struct and on the note and item
// primitives below; a role that needs another role's service calls it
// through `platform`, never the other role itself.
#ifndef NOTESAPI_HOST_INTERNAL_HOST_STATE_H_
#define NOTESAPI_HOST_INTERNAL_HOST_STATE_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "notesapi/host/host_platform.h"
#include "notesapi/host/internal/append_files.h"
#include "notesapi/host/internal/charsets.h"
#include "notesapi/host/internal/note_database.h"
#include "notesapi/host/internal/notes_ini.h"
#include "notesapi/host/internal/queue_store.h"
#include "notesapi/host/internal/spooled_file.h"
#include "notesapi/host/internal/task_registry.h"
#include "notesapi/platform.h"
#include "notesapi/stored_structures.h"

namespace notesapi::host {

struct OpenDatabase {
  std::shared_ptr<NoteDatabase> store;
  std::string file;
};

// A database connection kept for the process's life, so a task opens a file
// once rather than once per mail, and a short-lived process (the mail hook)
// that closes the file while a task holds it is not the last to close it,
// which would fold the log in with two syncs. Known by the file it was opened
// on: a file moved aside and made anew is opened anew.
struct KeptDatabase {
  std::shared_ptr<NoteDatabase> store;
  dev_t device = 0;
  ino_t inode = 0;
};

// An attachment's data not yet in the database: it goes there with the
// note's next save, and with the note when it is closed unsaved, so reading
// a note (a converted MIME view) writes nothing.
struct PendingObject {
  std::string data;
  uint32_t flags = 0;
  std::shared_ptr<const SpooledFile> spooled;  // a large file's data, kept on disk instead
};

// Object numbers of pending objects, above any the database gives.
inline constexpr uint32_t kFirstPendingObject = kObjectIdLimit;

struct MimeOrigin;

struct OpenNote {
  DbHandle db = kNullHandle;
  StoredNote note;
  uint16_t nextBlock = 1;
  std::map<uint32_t, PendingObject> pendingObjects;
  uint32_t nextPendingObject = kFirstPendingObject;
  // Set while a MIME note is presented converted: what a save writes back into.
  std::shared_ptr<MimeOrigin> mimeOrigin;
};

struct CompoundText {
  NoteHandle note = kNullHandle;
  std::string itemName;
  std::string records;
  std::map<std::string, uint32_t> styles;
};

inline constexpr ModuleHandle kHostModule = 1;
inline constexpr uint32_t kObjectEncrypted = 0x0001;  // flag of a stored object

struct HostState {
  HostState(const HostOptions& hostOptions, std::string server, std::string data, std::unique_ptr<Charsets> sets);

  HostOptions options;
  std::string serverDirectory;
  std::string dataDirectory;
  NotesIni ini;
  AppendFiles appendFiles;
  std::unique_ptr<Charsets> charsets;
  QueueStore queues;
  TaskRegistry tasks;
  // The host itself, for a role that needs a service of another role.
  Platform* platform = nullptr;

  uint32_t nextHandle = 1;
  uint32_t unidSequence = 0;
  std::map<DbHandle, std::unique_ptr<OpenDatabase>> databases;
  // Declared before the kept connections, which leave it when they close.
  SaveBatch saves;
  std::map<std::string, KeptDatabase> keptDatabases;
  std::map<NoteHandle, OpenNote> notes;
  std::map<QueueHandle, std::string> openQueues;
  std::map<MemHandle, std::vector<uint8_t>> memory;
  std::map<CompoundTextHandle, CompoundText> compoundTexts;

  uint32_t NewHandle() { return nextHandle++; }
  OpenDatabase* FindDb(DbHandle db);
  OpenNote* FindNote(NoteHandle note);
  StoredItem* FindItemByBlock(BlockId id);
  // The operating system's form of a path: every backslash becomes a slash
  // here and nowhere else.
  std::string LocalPath(std::u16string_view path);
};

bool SameName(std::string_view a, std::string_view b);
std::string Lower(std::string_view text);
// Creates the folder and its missing parents; true when it is there.
bool MakeFolders(const std::string& path);

// ---- Note and item primitives shared by the roles that change notes ----

NoteHandle AddNote(HostState& s, OpenNote open);
Unid NewUnid(HostState& s);
std::vector<StoredItem>::iterator FindItem(OpenNote* open, uint16_t block);
void Describe(NoteHandle note, const StoredItem& item, ItemInfo* info);
[[nodiscard]] Status FirstItem(HostState& s, NoteHandle note, std::string_view name, const StoredItem** item);
[[nodiscard]] Status AppendItem(HostState& s, NoteHandle note, uint16_t flags, std::string_view name, std::string value,
                                BlockId* item);
// Replaces the first item of the name in place and drops the others.
[[nodiscard]] Status ReplaceItem(HostState& s, NoteHandle note, std::string_view name, std::string value);

// A "$FILE" item for `data`, kept as an object stored with the note's next save.
[[nodiscard]] Status AttachData(HostState& s, NoteHandle note, std::string data, std::string_view name,
                                uint16_t compression, bool encrypted, BlockId* item);
// A new object of the note, pending until its save.
uint32_t AddPendingObject(OpenNote* open, std::string data, uint32_t flags);
// AttachData for the spooled copy of a large file.
[[nodiscard]] Status AttachSpooled(HostState& s, NoteHandle note, std::shared_ptr<const SpooledFile> spooled,
                                   std::string_view name, uint16_t compression, bool encrypted, BlockId* item);
// The data of an object of an open note: pending, or in its database.
[[nodiscard]] Status ReadNoteObject(HostState& s, NoteHandle note, uint32_t object, std::string* data, uint32_t* flags);
// The same data added at the end of `data`.
[[nodiscard]] Status AppendNoteObject(HostState& s, NoteHandle note, uint32_t object, std::string* data, uint32_t* flags);
// An item whose object number was changed, and the number it had.
struct ObjectPatch {
  size_t item;
  uint32_t object;
};
// Writes the pending objects that items still name into the database,
// owned by `owner`, and points the items at them, saying in `patches` what
// it changed; the caller puts that back when the save does not commit.
[[nodiscard]] Status StorePendingObjects(HostState& s, OpenNote* open, NoteId owner, std::vector<ObjectPatch>* patches);
void UndoObjectPatches(OpenNote* open, const std::vector<ObjectPatch>& patches);
// The file object of a "$FILE" item of an open note, and its database.
[[nodiscard]] Status AttachmentOf(HostState& s, NoteHandle note, BlockId item, FileObject* file, OpenDatabase** db);
// The file name and data of a "$FILE" item of an open note.
bool ReadAttachment(HostState& s, NoteHandle handle, const StoredItem& item, std::string* name, std::string* data);
// The "$FILE" item whose file name is `name`.
[[nodiscard]] Status FindAttachmentItem(HostState& s, NoteHandle note, std::string_view name, BlockId* found);

// Rich text on a note, in items that each fit the limit of one rich-text
// item. Items are cut between paragraphs, so a paragraph stays whole unless
// it alone is larger than an item.
[[nodiscard]] Status WriteRichTextItems(HostState& s, const CompoundText& compound);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_HOST_STATE_H_
