// The platform interface: every server service the two add-in tasks use,
// grouped by role. The tasks and all subsystems see only this class; the
// embedded host (notesapi/host) implements it on Linux, PlatformWrapper
// forwards it for test doubles and fault injection.
//
// Conventions for every method:
//  - a Status result is 0 on success; on failure nothing is half done unless
//    the comment says so, and out-parameters are left unchanged;
//  - texts handed in and out are LMBCS unless the comment names another set;
//  - handles returned belong to the caller until the matching close call;
//  - an instance serves one thread; separate instances (and processes) may
//    share the same server directory at the same time.
#ifndef NOTESAPI_PLATFORM_H_
#define NOTESAPI_PLATFORM_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "notesapi/status.h"
#include "notesapi/types.h"

namespace notesapi {

class Platform {
 public:
  virtual ~Platform() = default;

  // ---- Task frame ------------------------------------------------------

  // Starts the add-in task: installs the stop signals (SIGTERM, SIGINT) and
  // starts the interval clock. EndTask returns the status it is given.
  [[nodiscard]] virtual Status AddInStart() = 0;
  [[nodiscard]] virtual Status AddInEnd(Status taskStatus) = 0;
  // The module whose resources the task may load; never fails.
  virtual ModuleHandle ResourceModule() = 0;

  // Status lines of the server's task list. The default line is the one
  // StatusLineSetDefaultText writes to.
  [[nodiscard]] virtual Status StatusLineQueryDefault(ModuleHandle* module, StatusLineHandle* line) = 0;
  [[nodiscard]] virtual Status StatusLineDelete(StatusLineHandle line) = 0;
  [[nodiscard]] virtual Status StatusLineCreate(std::string_view taskName, StatusLineHandle* line) = 0;
  [[nodiscard]] virtual Status StatusLineSetDefault(ModuleHandle module, StatusLineHandle line) = 0;
  [[nodiscard]] virtual Status StatusLineSetText(StatusLineHandle line, std::string_view text) = 0;
  [[nodiscard]] virtual Status StatusLineSetDefaultText(std::string_view text) = 0;

  // True once the task should stop: a stop signal arrived or the server is
  // quitting. AddInShouldTerminate answers at once; AddInIdle first yields
  // the processor, returning as soon as one of this instance's open queues
  // holds a message, and after at most 50 ms otherwise.
  virtual bool AddInShouldTerminate() = 0;
  virtual bool AddInIdle() = 0;
  // True when `seconds` have passed since it last said true for this count
  // (or since AddInStart); at most once per interval.
  virtual bool AddInIntervalElapsed(uint32_t seconds) = 0;
  // The single-instance guard of a program: takes the program's one instance
  // slot in this server, atomically. kInstanceRunning when another process
  // holds it. The slot is freed by ReleaseInstance or when the process ends,
  // however it ends.
  [[nodiscard]] virtual Status AcquireInstance(std::string_view program) = 0;
  [[nodiscard]] virtual Status ReleaseInstance(std::string_view program) = 0;

  // ---- notes.ini ---------------------------------------------------------

  // The variable as a number: 0 when missing or not a number; the low 32
  // bits of what is written; negative numbers allowed.
  virtual int32_t IniGetNumber(std::string_view name) = 0;
  // True when the variable is set; its text, unchanged, cut to maxLength
  // bytes, goes to *value.
  virtual bool IniGetText(std::string_view name, size_t maxLength, std::string* value) = 0;
  // Sets the variable, keeping comments and the order of the file.
  [[nodiscard]] virtual Status IniSetText(std::string_view name, std::string_view value) = 0;

  // ---- Message queues ----------------------------------------------------

  // Opens the named queue; with kQueueCreate it is created when missing,
  // with kQueueOpenExisting a missing queue gives kQueueNotFound. Names
  // longer than kMaxQueueNameLength give kQueueNameTooLong.
  [[nodiscard]] virtual Status QueueOpen(std::string_view name, uint16_t options, QueueHandle* queue) = 0;
  // Puts a message of at most kMaxQueueMessageSize bytes. Higher priorities
  // are read first, equal priorities in order of arrival.
  [[nodiscard]] virtual Status QueuePut(QueueHandle queue, uint16_t priority, std::string_view message) = 0;
  // Takes the next message without waiting. kQueueEmpty when there is none,
  // kQueueQuitting once the server is quitting. A message longer than
  // maxLength is taken off the queue, kept in the server's dead-letter store
  // (see `zulctl queue ls`) and reported with kQueueBufferTooSmall, so one
  // oversized message never blocks the queue.
  [[nodiscard]] virtual Status QueueGet(QueueHandle queue, size_t maxLength, std::string* message) = 0;
  [[nodiscard]] virtual Status QueueClose(QueueHandle queue) = 0;

  // ---- Databases and notes -----------------------------------------------

  // Paths are relative to the data directory unless absolute; a relative
  // path that leaves the data directory gives kPathOutsideDataDirectory.
  // A missing file gives kDatabaseNotFound, a damaged one kDatabaseCorrupt.
  [[nodiscard]] virtual Status DbCreate(std::string_view path, std::string_view title) = 0;
  [[nodiscard]] virtual Status DbOpen(std::string_view path, DbHandle* db) = 0;
  [[nodiscard]] virtual Status DbClose(DbHandle db) = 0;
  // Note IDs of all stored notes, in ascending order.
  [[nodiscard]] virtual Status DbNoteIds(DbHandle db, std::vector<NoteId>* ids) = 0;
  // A database option (kDbOption...), stored in the database; a change holds
  // for the handles opened after it, in every process. kBadArgument for a
  // bit past 63.
  [[nodiscard]] virtual Status DbGetOption(DbHandle db, int option, bool* on) = 0;
  [[nodiscard]] virtual Status DbSetOption(DbHandle db, int option, bool on) = 0;

  // A new, empty note; it gets its note ID when first saved.
  [[nodiscard]] virtual Status NoteCreate(DbHandle db, NoteHandle* note) = 0;
  // kNoteNotFound for an unknown note ID or universal ID.
  [[nodiscard]] virtual Status NoteOpen(DbHandle db, NoteId id, uint32_t openFlags, NoteHandle* note) = 0;
  [[nodiscard]] virtual Status NoteOpenByUnid(DbHandle db, const Unid& unid, uint32_t openFlags, NoteHandle* note) = 0;
  // The profile document of that name (case-insensitive), created when
  // missing and `create` is true, else kNoteNotFound.
  [[nodiscard]] virtual Status ProfileOpen(DbHandle db, std::string_view profileName, bool create, NoteHandle* note) = 0;
  [[nodiscard]] virtual Status NoteGetInfo(NoteHandle note, NoteInfo* info) = 0;
  [[nodiscard]] virtual Status NoteSetClass(NoteHandle note, uint16_t noteClass) = 0;
  // Saves the whole note in one transaction: either every item is stored or
  // the stored note stays as it was.
  [[nodiscard]] virtual Status NoteUpdate(NoteHandle note, uint16_t updateFlags) = 0;
  [[nodiscard]] virtual Status NoteClose(NoteHandle note) = 0;
  [[nodiscard]] virtual Status NoteDelete(DbHandle db, NoteId id) = 0;
  // Groups the saves and deletions this process makes from now until the
  // matching EndSaves: each database written keeps them in one transaction,
  // committed by the outermost EndSaves(true) in the order the databases
  // were first written, or rolled back by EndSaves(false). Readers in this
  // process see them at once, other processes after the commit. A commit
  // that fails rolls that database and every later one back and is
  // returned; the databases committed before it keep what they got. Calls
  // nest; an EndSaves without a BeginSaves does nothing.
  [[nodiscard]] virtual Status BeginSaves() = 0;
  [[nodiscard]] virtual Status EndSaves(bool commit) = 0;

  // ---- Items ---------------------------------------------------------------

  // The first item of that name (case-insensitive); kItemNotFound if none.
  [[nodiscard]] virtual Status ItemInfoByName(NoteHandle note, std::string_view name, ItemInfo* info) = 0;
  // The first item of the note; kItemNotFound for an empty note.
  [[nodiscard]] virtual Status ItemInfoFirst(NoteHandle note, ItemInfo* info) = 0;
  // The item after `previous`; with a name, the next item of that name.
  [[nodiscard]] virtual Status ItemInfoNext(NoteHandle note, BlockId previous, std::string_view name, ItemInfo* info) = 0;
  [[nodiscard]] virtual Status ItemQuery(BlockId item, ItemInfo* info) = 0;
  // A copy of a value block (the "lock" of the block), data type first.
  [[nodiscard]] virtual Status ItemValue(BlockId value, std::string* bytes) = 0;
  [[nodiscard]] virtual Status ItemDelete(NoteHandle note, std::string_view name) = 0;
  [[nodiscard]] virtual Status ItemDeleteByBlock(NoteHandle note, BlockId item) = 0;
  // Appends a copy of the item to another open note.
  [[nodiscard]] virtual Status ItemCopy(NoteHandle target, BlockId item) = 0;
  // Appends an item; `value` starts with its 16-bit data type.
  [[nodiscard]] virtual Status ItemAppend(NoteHandle note, uint16_t flags, std::string_view name, std::string_view value, BlockId* item) = 0;
  // Appends an item whose value is the first `length` bytes of a memory block.
  [[nodiscard]] virtual Status ItemAppendFromMemory(NoteHandle note, uint16_t flags, std::string_view name, MemHandle block, size_t length) = 0;

  // Typed reads of the first item of a name. Text of a text list is its
  // first entry; kWrongItemType for other types.
  [[nodiscard]] virtual Status ItemGetText(NoteHandle note, std::string_view name, size_t maxLength, std::string* text) = 0;
  virtual double ItemGetNumber(NoteHandle note, std::string_view name, double defaultValue) = 0;
  // False when the item is missing or not a time.
  virtual bool ItemGetTime(NoteHandle note, std::string_view name, TimeDate* value) = 0;
  // Text lists: entry count (0 when missing) and entries.
  virtual uint16_t ItemTextListCount(NoteHandle note, std::string_view name) = 0;
  [[nodiscard]] virtual Status ItemTextListEntry(NoteHandle note, std::string_view name, uint16_t index, std::string* text) = 0;

  // Typed writes replace every item of that name.
  [[nodiscard]] virtual Status ItemSetText(NoteHandle note, std::string_view name, std::string_view text) = 0;
  [[nodiscard]] virtual Status ItemSetNumber(NoteHandle note, std::string_view name, double value) = 0;
  [[nodiscard]] virtual Status ItemSetTime(NoteHandle note, std::string_view name, const TimeDate& value) = 0;
  [[nodiscard]] virtual Status ItemCreateTextList(NoteHandle note, std::string_view name, std::string_view firstEntry) = 0;
  // Appends an entry; an entry already present is not added twice unless
  // allowDuplicates. Creates the list when missing.
  [[nodiscard]] virtual Status ItemAppendTextList(NoteHandle note, std::string_view name, std::string_view entry, bool allowDuplicates) = 0;

  // ---- Stored structures and attachments ----------------------------------

  // The stored structure of `type` (kStruct* of stored_structures.h) at
  // *offset of `stored`, in its in-memory form; *offset moves past it.
  // kValueTooShort when the bytes end first, kBadArgument for an unknown type.
  [[nodiscard]] virtual Status ReadStructure(uint16_t type, std::string_view stored, size_t* offset, std::string* memory) = 0;
  // Attaches the file at `path` as a "$FILE" item named `name`; its data is
  // kept as an object of the database, stored with the note's next save.
  // `encrypted` marks it so that extraction fails with kAttachmentEncrypted.
  [[nodiscard]] virtual Status AttachFile(NoteHandle note, std::u16string_view path, std::string_view name,
                                          uint16_t compression, bool encrypted, BlockId* item) = 0;
  // Writes the attached file of the "$FILE" item to `path` (created or replaced).
  [[nodiscard]] virtual Status ExtractFile(NoteHandle note, BlockId item, std::u16string_view path) = 0;
  // Removes the "$FILE" item; its object goes with the note's next save.
  [[nodiscard]] virtual Status DetachFile(NoteHandle note, BlockId item) = 0;

  // ---- OLE objects ------------------------------------------------------------

  // Embeds the OLE storage file at `storagePath`: its data as a "$FILE"
  // object of host type HOST_CDSTORAGE named `objectName`, and an
  // "$OLEOBJINFO" item with the object information record (class id, the
  // storage name, `description`, the rich-text field `fieldName`).
  [[nodiscard]] virtual Status OleInsertObject(NoteHandle note, std::u16string_view storagePath, std::string_view objectName,
                                               const std::array<uint8_t, 16>& classId, std::string_view description,
                                               std::string_view fieldName) = 0;
  // Writes the storage of the named OLE object to `path`.
  [[nodiscard]] virtual Status OleWriteObject(NoteHandle note, std::string_view objectName, std::u16string_view path) = 0;
  // Removes the named OLE object: its "$OLEOBJINFO" item and its storage.
  [[nodiscard]] virtual Status OleRemoveObject(NoteHandle note, std::string_view objectName) = 0;

  // ---- Rich text ------------------------------------------------------------

  // The largest value one rich-text item holds; longer rich text is kept in
  // several items of the same name.
  static constexpr size_t kMaxRichTextItemBytes = 65535;

  // Plain text of a rich-text value block: paragraphs separated by
  // `delimiter`, lines wrapped at `lineLength` (0: never). The text goes to
  // a new memory block the caller frees.
  [[nodiscard]] virtual Status ConvertRichTextToText(BlockId value, std::string_view delimiter, uint16_t lineLength,
                                                     MemHandle* text, uint32_t* length) = 0;
  // A compound text: on a note's item (`note` not null) or free-standing.
  [[nodiscard]] virtual Status CompoundTextCreate(NoteHandle note, std::string_view itemName, CompoundTextHandle* text) = 0;
  // Defines a paragraph style; the same name gives the same id.
  [[nodiscard]] virtual Status CompoundTextDefineStyle(CompoundTextHandle text, std::string_view styleName, uint32_t* styleId) = 0;
  // Adds text in that style and font; each `lineDelimiter` starts a new paragraph.
  [[nodiscard]] virtual Status CompoundTextAddText(CompoundTextHandle text, uint32_t styleId, uint32_t fontId,
                                                   std::string_view content, std::string_view lineDelimiter) = 0;
  // Appends the rich text of every item of that name of the note.
  [[nodiscard]] virtual Status CompoundTextAssimilateItem(CompoundTextHandle text, NoteHandle note, std::string_view itemName) = 0;
  // Appends rich text kept in a file by CompoundTextClose.
  [[nodiscard]] virtual Status CompoundTextAssimilateFile(CompoundTextHandle text, std::u16string_view path) = 0;
  // Ends the compound text. On a note the item is written. Free-standing,
  // the result (data type first) is in a new memory block when it fits one
  // rich-text item, else in a file whose path is returned (the caller
  // deletes it); the handle is gone in every case.
  [[nodiscard]] virtual Status CompoundTextClose(CompoundTextHandle text, MemHandle* buffer, uint32_t* length,
                                                 std::u16string* file) = 0;

  // ---- Mail ------------------------------------------------------------------

  // A hierarchical name in canonical form: "John Smith/Sales/Acme/US" gives
  // "CN=John Smith/OU=Sales/O=Acme/C=US"; flat names and names already
  // canonical are returned unchanged.
  [[nodiscard]] virtual Status CanonicalizeName(std::string_view name, std::string* canonical) = 0;
  // A new memo (Form "Memo") in the mail database `mailDb`; recipients and
  // header items are added with the item services.
  [[nodiscard]] virtual Status MailCreateMessage(DbHandle mailDb, NoteHandle* message) = 0;
  // Hands the message to the router: a copy goes into "mail.box" (created
  // when missing), with "PostedDate" set when the message has none.
  [[nodiscard]] virtual Status MailTransferMessage(NoteHandle message) = 0;
  // The name of the server the task runs on (notes.ini ServerName).
  [[nodiscard]] virtual Status ServerName(std::string* name) = 0;

  // ---- Memory blocks -----------------------------------------------------

  [[nodiscard]] virtual Status MemAlloc(size_t size, MemHandle* block) = 0;
  // The block's bytes; the pointer is valid until MemFree.
  virtual uint8_t* MemLock(MemHandle block) = 0;
  virtual void MemUnlock(MemHandle block) = 0;
  virtual size_t MemSize(MemHandle block) = 0;
  [[nodiscard]] virtual Status MemFree(MemHandle block) = 0;

  // ---- Text, time, console -----------------------------------------------

  // Character-set translation; `mode` is one of kTranslate*. UTF-16 text is
  // little-endian bytes. Characters without a mapping become substitutes.
  [[nodiscard]] virtual Status Translate(uint16_t mode, std::string_view in, std::string* out) = 0;
  // Text of a status, at most 255 bytes, LMBCS. Masks with 0x3FFF first.
  virtual std::string StatusText(Status status) = 0;
  // Prints one line on the console (as UTF-8) and appends it to the server log.
  virtual void ConsoleLine(std::string_view text) = 0;

  virtual TimeDate TimeNow() = 0;
  virtual TimeDate TimeConstant(TimeConstantKind kind) = 0;
  // "DD.MM.YYYY HH:MM:SS" in local time; wildcard halves are left out.
  [[nodiscard]] virtual Status TimeToText(const TimeDate& value, std::string* text) = 0;
  [[nodiscard]] virtual Status TimeGmToLocal(LocalTime* local) = 0;
  // Converts the broken-down fields back into local->gm, normalising fields
  // out of range (day 0 is the last day of the previous month).
  [[nodiscard]] virtual Status TimeLocalToGm(LocalTime* local) = 0;
  // Below, equal to or above 0 as a is earlier than, equal to or later than b.
  virtual int TimeCompare(const TimeDate& a, const TimeDate& b) = 0;
  [[nodiscard]] virtual Status TimeAdjust(TimeDate* value, int hours, int days) = 0;
  // a - b in seconds.
  virtual double TimeDifferenceSeconds(const TimeDate& a, const TimeDate& b) = 0;

  // ---- Operating-system services -----------------------------------------

  // Loads a resource library as data; strings by id from its string table,
  // translated to the native code page.
  [[nodiscard]] virtual Status LibraryLoad(std::u16string_view path, LibraryHandle* library) = 0;
  [[nodiscard]] virtual Status LibraryString(LibraryHandle library, uint32_t id, std::string* text) = 0;
  [[nodiscard]] virtual Status LibraryFree(LibraryHandle library) = 0;

  // Files and folders by UTF-16 path; "\" and "/" both separate folders.
  [[nodiscard]] virtual Status FileRead(std::u16string_view path, std::string* data) = 0;
  [[nodiscard]] virtual Status FileWrite(std::u16string_view path, std::string_view data) = 0;
  [[nodiscard]] virtual Status FileAppend(std::u16string_view path, std::string_view data) = 0;
  [[nodiscard]] virtual Status FileSize(std::u16string_view path, uint64_t* size) = 0;
  [[nodiscard]] virtual Status FileDelete(std::u16string_view path) = 0;
  // Up to `length` bytes of the file from `offset`: fewer at its end, none
  // past it. A large file is read this way a part at a time.
  [[nodiscard]] virtual Status FileReadPart(std::u16string_view path, uint64_t offset, size_t length,
                                            std::string* data) = 0;
  // Creates an empty file of the caller's own under a name nothing holds
  // yet: kFileExists when a file, folder or link (never followed) has it.
  [[nodiscard]] virtual Status FileCreateNew(std::u16string_view path) = 0;
  // The entries of a folder, "." and ".." left out, in no set order; links
  // are reported as links. kFileNotFound when there is no such folder.
  [[nodiscard]] virtual Status FolderList(std::u16string_view path, std::vector<FolderEntry>* entries) = 0;
  // Creates the folder and its missing parents; an existing folder is fine.
  [[nodiscard]] virtual Status FolderCreate(std::u16string_view path) = 0;
  // Creates a folder for the task's own files (and its missing parents):
  // only the task's user may use it. kFolderNotPrivate when it exists but
  // belongs to another user or others may write into it.
  [[nodiscard]] virtual Status FolderCreatePrivate(std::u16string_view path) = 0;
  // The operating system's own form of a path (for components outside the
  // tasks that open files themselves, such as a scan engine's bases).
  [[nodiscard]] virtual Status LocalPath(std::u16string_view path, std::string* local) = 0;

  virtual uint32_t ProcessId() = 0;
  // Starts the child, waits until it ends and gives its exit code.
  // kProcessOutputFailed: the output file could not be created (nothing
  // started); kProcessNotStarted: the program could not be started.
  [[nodiscard]] virtual Status ProcessRun(const ChildProcess& child, int* exitCode) = 0;
  // The program identifier registered for a class identifier
  // ("{xxxxxxxx-...}"); kClassNotRegistered when unknown.
  [[nodiscard]] virtual Status ClassToProgId(std::string_view classId, std::string* progId) = 0;
};

}  // namespace notesapi

#endif  // NOTESAPI_PLATFORM_H_
