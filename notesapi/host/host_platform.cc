// The embedded host: one Platform whose services each come from the role
// object of their group (notesapi/host/internal/*_role.h). The roles share
// the host's state through one struct and call one another only through
// this Platform, so each group can be read and changed on its own.
#include "notesapi/host/host_platform.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "notesapi/host/internal/attachment_role.h"
#include "notesapi/host/internal/compound_text_role.h"
#include "notesapi/host/internal/database_role.h"
#include "notesapi/host/internal/file_process_role.h"
#include "notesapi/host/internal/host_state.h"
#include "notesapi/host/internal/ini_role.h"
#include "notesapi/host/internal/item_role.h"
#include "notesapi/host/internal/library_role.h"
#include "notesapi/host/internal/mail_role.h"
#include "notesapi/host/internal/memory_role.h"
#include "notesapi/host/internal/mime_view_role.h"
#include "notesapi/host/internal/ole_role.h"
#include "notesapi/host/internal/queue_role.h"
#include "notesapi/host/internal/status_texts.h"
#include "notesapi/host/internal/task_frame_role.h"
#include "notesapi/host/internal/text_role.h"
#include "notesapi/host/internal/time_role.h"

namespace notesapi {

namespace {

using namespace host;

class HostPlatform final : public Platform {
 public:
  HostPlatform(const HostOptions& options, std::string serverDirectory, std::string dataDirectory,
               std::unique_ptr<Charsets> charsets)
      : state_(options, std::move(serverDirectory), std::move(dataDirectory), std::move(charsets)),
        frame_(state_),
        ini_(state_),
        queues_(state_),
        databases_(state_),
        items_(state_),
        attachments_(state_),
        ole_(state_),
        compound_(state_),
        mail_(state_),
        mimeView_(state_),
        memory_(state_),
        text_(state_),
        time_(state_),
        libraries_(state_),
        files_(state_) {
    state_.platform = this;
  }

  Status Open() {
    if (Status s = state_.queues.Open(state_.serverDirectory); s != kNoError) return s;
    if (!state_.options.foldGrowingLogs) state_.queues.StopFoldingGrowingLog();
    if (Status s = state_.tasks.Open(state_.serverDirectory); s != kNoError) return s;
    host::RemoveLeftoverSpools(state_.serverDirectory + "/run");  // of processes killed before their save
    return kNoError;
  }

  // ---- Task frame ----
  Status AddInStart() override { return frame_.AddInStart(); }
  Status AddInEnd(Status taskStatus) override { return taskStatus; }
  ModuleHandle ResourceModule() override { return kHostModule; }
  Status StatusLineQueryDefault(ModuleHandle* module, StatusLineHandle* line) override {
    return frame_.StatusLineQueryDefault(module, line);
  }
  Status StatusLineDelete(StatusLineHandle line) override { return frame_.StatusLineDelete(line); }
  Status StatusLineCreate(std::string_view taskName, StatusLineHandle* line) override {
    return frame_.StatusLineCreate(taskName, line);
  }
  Status StatusLineSetDefault(ModuleHandle module, StatusLineHandle line) override {
    return frame_.StatusLineSetDefault(module, line);
  }
  Status StatusLineSetText(StatusLineHandle line, std::string_view text) override {
    return frame_.StatusLineSetText(line, text);
  }
  Status StatusLineSetDefaultText(std::string_view text) override { return frame_.StatusLineSetDefaultText(text); }
  bool AddInShouldTerminate() override { return frame_.AddInShouldTerminate(); }
  bool AddInIdle() override { return frame_.AddInIdle(); }
  bool AddInIntervalElapsed(uint32_t seconds) override { return frame_.AddInIntervalElapsed(seconds); }
  Status AcquireInstance(std::string_view program) override { return frame_.AcquireInstance(program); }
  Status ReleaseInstance(std::string_view program) override { return frame_.ReleaseInstance(program); }

  // ---- notes.ini ----
  int32_t IniGetNumber(std::string_view name) override { return ini_.IniGetNumber(name); }
  bool IniGetText(std::string_view name, size_t maxLength, std::string* value) override {
    return ini_.IniGetText(name, maxLength, value);
  }
  Status IniSetText(std::string_view name, std::string_view value) override { return ini_.IniSetText(name, value); }

  // ---- Queues ----
  Status QueueOpen(std::string_view name, uint16_t options, QueueHandle* queue) override {
    return queues_.QueueOpen(name, options, queue);
  }
  Status QueuePut(QueueHandle queue, uint16_t priority, std::string_view message) override {
    return queues_.QueuePut(queue, priority, message);
  }
  Status QueueGet(QueueHandle queue, size_t maxLength, std::string* message) override {
    return queues_.QueueGet(queue, maxLength, message);
  }
  Status QueueClose(QueueHandle queue) override { return queues_.QueueClose(queue); }

  // ---- Databases and notes ----
  Status DbCreate(std::string_view path, std::string_view title) override { return databases_.DbCreate(path, title); }
  Status DbOpen(std::string_view path, DbHandle* db) override { return databases_.DbOpen(path, db); }
  Status DbClose(DbHandle db) override { return databases_.DbClose(db); }
  Status BeginSaves() override { return databases_.BeginSaves(); }
  Status EndSaves(bool commit) override { return databases_.EndSaves(commit); }
  Status DbNoteIds(DbHandle db, std::vector<NoteId>* ids) override { return databases_.DbNoteIds(db, ids); }
  Status DbGetOption(DbHandle db, int option, bool* on) override { return databases_.DbGetOption(db, option, on); }
  Status DbSetOption(DbHandle db, int option, bool on) override { return databases_.DbSetOption(db, option, on); }
  Status NoteCreate(DbHandle db, NoteHandle* note) override { return databases_.NoteCreate(db, note); }
  Status NoteOpen(DbHandle db, NoteId id, uint32_t openFlags, NoteHandle* note) override {
    NoteHandle opened = kNullHandle;
    Status s = databases_.NoteOpen(db, id, &opened);
    return Presented(s, openFlags, opened, note);
  }
  Status NoteOpenByUnid(DbHandle db, const Unid& unid, uint32_t openFlags, NoteHandle* note) override {
    NoteHandle opened = kNullHandle;
    Status s = databases_.NoteOpenByUnid(db, unid, &opened);
    return Presented(s, openFlags, opened, note);
  }
  Status ProfileOpen(DbHandle db, std::string_view profileName, bool create, NoteHandle* note) override {
    return databases_.ProfileOpen(db, profileName, create, note);
  }
  Status NoteGetInfo(NoteHandle note, NoteInfo* info) override { return databases_.NoteGetInfo(note, info); }
  Status NoteSetClass(NoteHandle note, uint16_t noteClass) override { return databases_.NoteSetClass(note, noteClass); }
  Status NoteUpdate(NoteHandle note, uint16_t updateFlags) override { return databases_.NoteUpdate(note, updateFlags); }
  Status NoteClose(NoteHandle note) override { return databases_.NoteClose(note); }
  Status NoteDelete(DbHandle db, NoteId id) override { return databases_.NoteDelete(db, id); }

  // ---- Items ----
  Status ItemInfoByName(NoteHandle note, std::string_view name, ItemInfo* info) override {
    return items_.ItemInfoNext(note, BlockId{}, name, info);
  }
  Status ItemInfoFirst(NoteHandle note, ItemInfo* info) override { return items_.ItemInfoNext(note, BlockId{}, {}, info); }
  Status ItemInfoNext(NoteHandle note, BlockId previous, std::string_view name, ItemInfo* info) override {
    return items_.ItemInfoNext(note, previous, name, info);
  }
  Status ItemQuery(BlockId item, ItemInfo* info) override { return items_.ItemQuery(item, info); }
  Status ItemValue(BlockId value, std::string* bytes) override { return items_.ItemValue(value, bytes); }
  Status ItemDelete(NoteHandle note, std::string_view name) override { return items_.ItemDelete(note, name); }
  Status ItemDeleteByBlock(NoteHandle note, BlockId item) override { return items_.ItemDeleteByBlock(note, item); }
  Status ItemCopy(NoteHandle target, BlockId item) override { return items_.ItemCopy(target, item); }
  Status ItemAppend(NoteHandle note, uint16_t flags, std::string_view name, std::string_view value,
                    BlockId* item) override {
    return items_.ItemAppend(note, flags, name, value, item);
  }
  Status ItemAppendFromMemory(NoteHandle note, uint16_t flags, std::string_view name, MemHandle block,
                              size_t length) override {
    return items_.ItemAppendFromMemory(note, flags, name, block, length);
  }
  Status ItemGetText(NoteHandle note, std::string_view name, size_t maxLength, std::string* text) override {
    return items_.ItemGetText(note, name, maxLength, text);
  }
  double ItemGetNumber(NoteHandle note, std::string_view name, double defaultValue) override {
    return items_.ItemGetNumber(note, name, defaultValue);
  }
  bool ItemGetTime(NoteHandle note, std::string_view name, TimeDate* value) override {
    return items_.ItemGetTime(note, name, value);
  }
  uint16_t ItemTextListCount(NoteHandle note, std::string_view name) override {
    return items_.ItemTextListCount(note, name);
  }
  Status ItemTextListEntry(NoteHandle note, std::string_view name, uint16_t index, std::string* text) override {
    return items_.ItemTextListEntry(note, name, index, text);
  }
  Status ItemSetText(NoteHandle note, std::string_view name, std::string_view text) override {
    return items_.ItemSetText(note, name, text);
  }
  Status ItemSetNumber(NoteHandle note, std::string_view name, double value) override {
    return items_.ItemSetNumber(note, name, value);
  }
  Status ItemSetTime(NoteHandle note, std::string_view name, const TimeDate& value) override {
    return items_.ItemSetTime(note, name, value);
  }
  Status ItemCreateTextList(NoteHandle note, std::string_view name, std::string_view firstEntry) override {
    return items_.ItemCreateTextList(note, name, firstEntry);
  }
  Status ItemAppendTextList(NoteHandle note, std::string_view name, std::string_view entry,
                            bool allowDuplicates) override {
    return items_.ItemAppendTextList(note, name, entry, allowDuplicates);
  }

  // ---- Stored structures and attachments ----
  Status ReadStructure(uint16_t type, std::string_view stored, size_t* offset, std::string* memory) override {
    return attachments_.ReadStructure(type, stored, offset, memory);
  }
  Status AttachFile(NoteHandle note, std::u16string_view path, std::string_view name, uint16_t compression,
                    bool encrypted, BlockId* item) override {
    return attachments_.AttachFile(note, path, name, compression, encrypted, item);
  }
  Status ExtractFile(NoteHandle note, BlockId item, std::u16string_view path) override {
    return attachments_.ExtractFile(note, item, path);
  }
  Status DetachFile(NoteHandle note, BlockId item) override { return attachments_.DetachFile(note, item); }

  // ---- OLE objects ----
  Status OleInsertObject(NoteHandle note, std::u16string_view storagePath, std::string_view objectName,
                         const std::array<uint8_t, 16>& classId, std::string_view description,
                         std::string_view fieldName) override {
    return ole_.OleInsertObject(note, storagePath, objectName, classId, description, fieldName);
  }
  Status OleWriteObject(NoteHandle note, std::string_view objectName, std::u16string_view path) override {
    return ole_.OleWriteObject(note, objectName, path);
  }
  Status OleRemoveObject(NoteHandle note, std::string_view objectName) override {
    return ole_.OleRemoveObject(note, objectName);
  }

  // ---- Rich text ----
  Status ConvertRichTextToText(BlockId value, std::string_view delimiter, uint16_t lineLength, MemHandle* text,
                               uint32_t* length) override {
    return compound_.ConvertRichTextToText(value, delimiter, lineLength, text, length);
  }
  Status CompoundTextCreate(NoteHandle note, std::string_view itemName, CompoundTextHandle* text) override {
    return compound_.CompoundTextCreate(note, itemName, text);
  }
  Status CompoundTextDefineStyle(CompoundTextHandle text, std::string_view styleName, uint32_t* styleId) override {
    return compound_.CompoundTextDefineStyle(text, styleName, styleId);
  }
  Status CompoundTextAddText(CompoundTextHandle text, uint32_t styleId, uint32_t fontId, std::string_view content,
                             std::string_view lineDelimiter) override {
    return compound_.CompoundTextAddText(text, styleId, fontId, content, lineDelimiter);
  }
  Status CompoundTextAssimilateItem(CompoundTextHandle text, NoteHandle note, std::string_view itemName) override {
    return compound_.CompoundTextAssimilateItem(text, note, itemName);
  }
  Status CompoundTextAssimilateFile(CompoundTextHandle text, std::u16string_view path) override {
    return compound_.CompoundTextAssimilateFile(text, path);
  }
  Status CompoundTextClose(CompoundTextHandle text, MemHandle* buffer, uint32_t* length, std::u16string* file) override {
    return compound_.CompoundTextClose(text, buffer, length, file);
  }

  // ---- Mail ----
  Status CanonicalizeName(std::string_view name, std::string* canonical) override {
    return mail_.CanonicalizeName(name, canonical);
  }
  Status MailCreateMessage(DbHandle mailDb, NoteHandle* message) override {
    return mail_.MailCreateMessage(mailDb, message);
  }
  Status MailTransferMessage(NoteHandle message) override { return mail_.MailTransferMessage(message); }
  Status ServerName(std::string* name) override { return mail_.ServerName(name); }

  // ---- Memory blocks ----
  Status MemAlloc(size_t size, MemHandle* block) override { return memory_.MemAlloc(size, block); }
  uint8_t* MemLock(MemHandle block) override { return memory_.MemLock(block); }
  void MemUnlock(MemHandle block) override { (void)block; }
  size_t MemSize(MemHandle block) override { return memory_.MemSize(block); }
  Status MemFree(MemHandle block) override { return memory_.MemFree(block); }

  // ---- Text, time, console ----
  Status Translate(uint16_t mode, std::string_view in, std::string* out) override {
    return text_.Translate(mode, in, out);
  }
  std::string StatusText(Status status) override { return text_.StatusText(status); }
  void ConsoleLine(std::string_view text) override { text_.ConsoleLine(text); }
  TimeDate TimeNow() override { return time_.TimeNow(); }
  TimeDate TimeConstant(TimeConstantKind kind) override { return time_.TimeConstant(kind); }
  Status TimeToText(const TimeDate& value, std::string* text) override { return time_.TimeToText(value, text); }
  Status TimeGmToLocal(LocalTime* local) override { return time_.TimeGmToLocal(local); }
  Status TimeLocalToGm(LocalTime* local) override { return time_.TimeLocalToGm(local); }
  int TimeCompare(const TimeDate& a, const TimeDate& b) override { return time_.TimeCompare(a, b); }
  Status TimeAdjust(TimeDate* value, int hours, int days) override { return time_.TimeAdjust(value, hours, days); }
  double TimeDifferenceSeconds(const TimeDate& a, const TimeDate& b) override {
    return time_.TimeDifferenceSeconds(a, b);
  }

  // ---- Operating-system services ----
  Status LibraryLoad(std::u16string_view path, LibraryHandle* library) override {
    return libraries_.LibraryLoad(path, library);
  }
  Status LibraryString(LibraryHandle library, uint32_t id, std::string* text) override {
    return libraries_.LibraryString(library, id, text);
  }
  Status LibraryFree(LibraryHandle library) override { return libraries_.LibraryFree(library); }
  Status FileRead(std::u16string_view path, std::string* data) override { return files_.FileRead(path, data); }
  Status FileWrite(std::u16string_view path, std::string_view data) override { return files_.FileWrite(path, data); }
  Status FileAppend(std::u16string_view path, std::string_view data) override { return files_.FileAppend(path, data); }
  Status FileSize(std::u16string_view path, uint64_t* size) override { return files_.FileSize(path, size); }
  Status FileDelete(std::u16string_view path) override { return files_.FileDelete(path); }
  Status FileReadPart(std::u16string_view path, uint64_t offset, size_t length, std::string* data) override {
    return files_.FileReadPart(path, offset, length, data);
  }
  Status FileCreateNew(std::u16string_view path) override { return files_.FileCreateNew(path); }
  Status FolderList(std::u16string_view path, std::vector<FolderEntry>* entries) override {
    return files_.FolderList(path, entries);
  }
  Status FolderCreate(std::u16string_view path) override { return files_.FolderCreate(path); }
  Status FolderCreatePrivate(std::u16string_view path) override { return files_.FolderCreatePrivate(path); }
  Status LocalPath(std::u16string_view path, std::string* local) override { return files_.LocalPath(path, local); }
  uint32_t ProcessId() override { return files_.ProcessId(); }
  Status ProcessRun(const ChildProcess& child, int* exitCode) override { return files_.ProcessRun(child, exitCode); }
  Status ClassToProgId(std::string_view classId, std::string* progId) override {
    return ole_.ClassToProgId(classId, progId);
  }

 private:
  // A MIME note opened without keeping MIME raw is presented converted, or
  // not handed out at all.
  Status Presented(Status opening, uint32_t openFlags, NoteHandle opened, NoteHandle* note) {
    if (opening != kNoError) return opening;
    if ((openFlags & kOpenRawMime) != kOpenRawMime) {
      if (Status shown = mimeView_.PresentConverted(opened); shown != kNoError) {
        (void)databases_.NoteClose(opened);  // never handed out raw
        return shown;
      }
    }
    *note = opened;
    return kNoError;
  }

  HostState state_;
  TaskFrameRole frame_;
  IniRole ini_;
  QueueRole queues_;
  DatabaseRole databases_;
  ItemRole items_;
  AttachmentRole attachments_;
  OleRole ole_;
  CompoundTextRole compound_;
  MailRole mail_;
  MimeViewRole mimeView_;
  MemoryRole memory_;
  TextRole text_;
  TimeRole time_;
  LibraryRole libraries_;
  FileProcessRole files_;
};

}  // namespace

std::string ServerDirectoryOf(const std::string& notesIni) {
  size_t slash = notesIni.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return notesIni.substr(0, slash);
}

std::string HostStatusText(Status status) { return host::TextOfStatus(status).substr(0, 255); }

Status LocateNotesIni(int argc, const char* const* argv, std::string* path) {
  std::string chosen;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && argv[i][0] == '=' && argv[i][1] != '\0') chosen = argv[i] + 1;
  }
  if (chosen.empty()) {
    const char* fromEnvironment = std::getenv("ZUL_NOTES_INI");
    chosen = fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : "notes.ini";
  }
  struct stat info {};
  if (::stat(chosen.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return kNotesIniMissing;
  *path = chosen;
  return kNoError;
}

Status NewHostPlatform(const HostOptions& options, std::unique_ptr<Platform>* platform) {
  struct stat info {};
  if (::stat(options.notesIni.c_str(), &info) != 0) return kNotesIniMissing;
  std::string serverDirectory = ServerDirectoryOf(options.notesIni);
  RestrictNewFileModes();
  std::string owner;
  if (Status s = AdoptServerOwner(serverDirectory, &owner); s != kNoError) {
    if (s == kServerOwnedByOther) {
      std::fprintf(stderr, "the server directory %s belongs to %s: run this as %s (runuser -u %s -- ...) or as root\n",
                   serverDirectory.c_str(), owner.c_str(), owner.c_str(), owner.c_str());
    } else {
      std::fprintf(stderr, "cannot take the user %s, who owns the server directory %s (a user the system does not"
                   " know, or one in root's group, is never taken)\n", owner.c_str(), serverDirectory.c_str());
    }
    return s;
  }
  host::NotesIni ini(options.notesIni);
  std::string dataDirectory = ini.Get("Directory").value_or("data");
  if (dataDirectory.empty() || dataDirectory[0] != '/') dataDirectory = serverDirectory + "/" + dataDirectory;
  if (!host::MakeFolders(dataDirectory)) return kFileError;
  std::unique_ptr<host::Charsets> charsets;
  std::string codePage = ini.Get("ZulNativeCodePage").value_or("windows-1251");
  if (host::Charsets::Create(codePage, &charsets) != kNoError) {
    // A wrong code page must not lock the administrator out of the server
    // that would let it be set right.
    std::fprintf(stderr, "warning: notes.ini ZulNativeCodePage=%s is no code page known here; windows-1251 is used\n",
                 codePage.c_str());
    if (Status s = host::Charsets::Create("windows-1251", &charsets); s != kNoError) return s;
  }
  HostOptions chosen = options;
  // A site (or a test) may let writes wait longer or shorter for another
  // process's write to end.
  if (std::optional<std::string> wait = ini.Get("ZulDatabaseBusyTimeout")) {
    char* end = nullptr;
    long millis = std::strtol(wait->c_str(), &end, 10);
    if (end != wait->c_str() && *end == '\0' && millis >= 0 && millis <= 600000) {
      chosen.busyTimeoutMillis = static_cast<int>(millis);
    } else {
      std::fprintf(stderr, "warning: notes.ini ZulDatabaseBusyTimeout=%s is no number of milliseconds; %d is used\n",
                   wait->c_str(), options.busyTimeoutMillis);
    }
  }
  auto host = std::make_unique<HostPlatform>(chosen, serverDirectory, dataDirectory, std::move(charsets));
  if (Status s = host->Open(); s != kNoError) return s;
  *platform = std::move(host);
  return kNoError;
}

Status OpenProgramHost(int argc, const char* const* argv, std::unique_ptr<Platform>* platform) {
  HostOptions options;
  if (Status s = LocateNotesIni(argc, argv, &options.notesIni); s != kNoError) return s;
  return NewHostPlatform(options, platform);
}

}  // namespace notesapi
