#include "notesapi/host/host_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "notesapi/host/internal/charsets.h"
#include "notesapi/host/internal/mime_conversion.h"
#include "notesapi/host/internal/note_database.h"
#include "notesapi/host/internal/notes_ini.h"
#include "notesapi/host/internal/pe_string_table.h"
#include "notesapi/host/internal/process_runner.h"
#include "notesapi/host/internal/queue_store.h"
#include "notesapi/host/internal/status_texts.h"
#include "notesapi/host/internal/task_registry.h"
#include "notesapi/host/internal/time_codec.h"
#include "notesapi/host/mime_import.h"
#include "notesapi/item_values.h"
#include "notesapi/rich_text.h"
#include "notesapi/stored_structures.h"

namespace notesapi {

namespace {

using host::Charset;

volatile std::sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int) { g_stopSignal = 1; }

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a waiting poll wakes up at once
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool MakeFolders(const std::string& path) {
  std::string partial;
  std::stringstream parts(path);
  std::string part;
  if (!path.empty() && path[0] == '/') partial = "/";
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    partial += part;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    partial += "/";
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

Status FileErrno(int error) { return error == ENOENT || error == ENOTDIR ? kFileNotFound : kFileError; }

// The known class identifiers of embedded objects and their program
// identifiers, as a Windows registry would answer.
constexpr std::pair<const char*, const char*> kProgIds[] = {
    {"00020906-0000-0000-C000-000000000046", "Word.Document.8"},
    {"00020900-0000-0000-C000-000000000046", "Word.Document.6"},
    {"00020820-0000-0000-C000-000000000046", "Excel.Sheet.8"},
    {"00020810-0000-0000-C000-000000000046", "Excel.Sheet.5"},
    {"64818D10-4F9B-11CF-86EA-00AA00B929E8", "PowerPoint.Show.8"},
    {"0003000C-0000-0000-C000-000000000046", "Package"},
    {"00022602-0000-0000-C000-000000000046", "Package"},
    {"F20DA720-C02F-11CE-927B-0800095AE340", "Package"},
};

struct OpenDatabase {
  host::NoteDatabase store;
  std::string file;
};

struct OpenNote {
  DbHandle db = kNullHandle;
  host::StoredNote note;
  uint16_t nextBlock = 1;
};

class HostPlatform final : public Platform {
 public:
  HostPlatform(const HostOptions& options, std::string serverDirectory, std::string dataDirectory,
               std::unique_ptr<host::Charsets> charsets)
      : options_(options),
        serverDirectory_(std::move(serverDirectory)),
        dataDirectory_(std::move(dataDirectory)),
        ini_(options.notesIni),
        charsets_(std::move(charsets)) {
    if (!options_.clock) options_.clock = std::make_shared<SystemClock>();
    startMicros_ = options_.clock->NowMicros();
  }
  ~HostPlatform() override {
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
    for (const auto& [name, fd] : instanceLocks_) ::close(fd);
  }

  Status Open() {
    if (Status s = queues_.Open(serverDirectory_); s != kNoError) return s;
    return tasks_.Open(serverDirectory_);
  }

  // ---- Task frame ----

  Status AddInStart() override {
    InstallStopSignals();
    startMicros_ = options_.clock->NowMicros();
    intervals_.clear();
    return kNoError;
  }
  Status AddInEnd(Status taskStatus) override { return taskStatus; }
  ModuleHandle ResourceModule() override { return kModule; }

  Status StatusLineQueryDefault(ModuleHandle* module, StatusLineHandle* line) override {
    *module = kModule;
    *line = defaultLine_;
    return kNoError;
  }
  Status StatusLineDelete(StatusLineHandle line) override {
    if (line == kNullHandle) return kNoError;
    auto it = statusLines_.find(line);
    if (it == statusLines_.end()) return kInvalidHandle;
    Status s = tasks_.Delete(it->second);
    statusLines_.erase(it);
    if (defaultLine_ == line) defaultLine_ = kNullHandle;
    return s;
  }
  Status StatusLineCreate(std::string_view taskName, StatusLineHandle* line) override {
    int64_t id = 0;
    if (Status s = tasks_.Create(ProcessId(), taskName, &id); s != kNoError) return s;
    StatusLineHandle handle = NewHandle();
    statusLines_[handle] = id;
    *line = handle;
    return kNoError;
  }
  Status StatusLineSetDefault(ModuleHandle module, StatusLineHandle line) override {
    if (module != kModule || !statusLines_.contains(line)) return kInvalidHandle;
    defaultLine_ = line;
    return kNoError;
  }
  Status StatusLineSetText(StatusLineHandle line, std::string_view text) override {
    auto it = statusLines_.find(line);
    if (it == statusLines_.end()) return kInvalidHandle;
    return tasks_.SetText(it->second, text);
  }
  Status StatusLineSetDefaultText(std::string_view text) override {
    if (defaultLine_ == kNullHandle) return kInvalidHandle;
    return StatusLineSetText(defaultLine_, text);
  }

  bool AddInShouldTerminate() override {
    if (g_stopSignal != 0) return true;
    bool quitting = false;
    return queues_.Quitting(&quitting) == kNoError && quitting;
  }
  bool AddInIdle() override {
    if (AddInShouldTerminate()) return true;
    WaitForQueueActivity();
    return AddInShouldTerminate();
  }
  bool AddInIntervalElapsed(uint32_t seconds) override {
    int64_t now = options_.clock->NowMicros();
    auto [it, inserted] = intervals_.try_emplace(seconds, startMicros_);
    if (now - it->second < static_cast<int64_t>(seconds) * 1000000) return false;
    it->second = now;
    return true;
  }

  Status AcquireInstance(std::string_view program) override {
    std::string name(program);
    if (name.empty() || name.find_first_of("/\\") != std::string::npos) return kBadArgument;
    if (instanceLocks_.contains(name)) return kInstanceRunning;
    // A lock the kernel drops when the process dies, however it dies.
    std::string path = serverDirectory_ + "/run/" + Lower(name) + ".instance";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return kFileError;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      return errno == EWOULDBLOCK ? kInstanceRunning : kFileError;
    }
    instanceLocks_[name] = fd;
    return kNoError;
  }
  Status ReleaseInstance(std::string_view program) override {
    auto it = instanceLocks_.find(std::string(program));
    if (it == instanceLocks_.end()) return kInvalidHandle;
    ::close(it->second);
    instanceLocks_.erase(it);
    return kNoError;
  }

  // ---- notes.ini ----

  int32_t IniGetNumber(std::string_view name) override {
    std::optional<std::string> text = ini_.Get(name);
    return text ? host::ParseIniNumber(*text) : 0;
  }
  bool IniGetText(std::string_view name, size_t maxLength, std::string* value) override {
    std::optional<std::string> text = ini_.Get(name);
    if (!text) return false;
    *value = text->substr(0, maxLength);
    return true;
  }
  Status IniSetText(std::string_view name, std::string_view value) override { return ini_.Set(name, value); }

  // ---- Queues ----

  Status QueueOpen(std::string_view name, uint16_t options, QueueHandle* queue) override {
    if (name.empty()) return kBadArgument;
    if (name.size() > kMaxQueueNameLength) return kQueueNameTooLong;
    std::string queueName(name);
    if (options & kQueueCreate) {
      if (Status s = queues_.Create(queueName); s != kNoError) return s;
    } else {
      bool exists = false;
      if (Status s = queues_.Exists(queueName, &exists); s != kNoError) return s;
      if (!exists) return kQueueNotFound;
    }
    QueueHandle handle = NewHandle();
    openQueues_[handle] = queueName;
    *queue = handle;
    return kNoError;
  }
  Status QueuePut(QueueHandle queue, uint16_t priority, std::string_view message) override {
    auto it = openQueues_.find(queue);
    if (it == openQueues_.end()) return kInvalidHandle;
    if (message.size() > kMaxQueueMessageSize) return kQueueMessageTooLarge;
    bool quitting = false;
    if (Status s = queues_.Quitting(&quitting); s != kNoError) return s;
    if (quitting) return kQueueQuitting;
    return queues_.Put(it->second, priority, message, options_.clock->NowMicros());
  }
  Status QueueGet(QueueHandle queue, size_t maxLength, std::string* message) override {
    auto it = openQueues_.find(queue);
    if (it == openQueues_.end()) return kInvalidHandle;
    return queues_.Get(it->second, maxLength, message);
  }
  Status QueueClose(QueueHandle queue) override { return openQueues_.erase(queue) ? kNoError : kInvalidHandle; }

  // ---- Databases and notes ----

  Status DbCreate(std::string_view path, std::string_view title) override {
    std::string file;
    if (Status s = ResolveDatabasePath(path, &file); s != kNoError) return s;
    size_t slash = file.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(file.substr(0, slash))) return kFileError;
    return host::NoteDatabase::Create(file, std::string(title));
  }
  Status DbOpen(std::string_view path, DbHandle* db) override {
    auto open = std::make_unique<OpenDatabase>();
    if (Status s = ResolveDatabasePath(path, &open->file); s != kNoError) return s;
    struct stat info {};
    if (::stat(open->file.c_str(), &info) != 0) return kDatabaseNotFound;
    if (Status s = open->store.Open(open->file, options_.busyTimeoutMillis); s != kNoError) return s;
    DbHandle handle = NewHandle();
    databases_[handle] = std::move(open);
    *db = handle;
    return kNoError;
  }
  Status DbClose(DbHandle db) override {
    auto it = databases_.find(db);
    if (it == databases_.end()) return kInvalidHandle;
    // Notes still open on the database lose it; their handles stay valid to close.
    for (auto& [handle, note] : notes_) {
      if (note.db == db) note.db = kNullHandle;
    }
    databases_.erase(it);
    return kNoError;
  }
  Status DbNoteIds(DbHandle db, std::vector<NoteId>* ids) override {
    OpenDatabase* open = FindDb(db);
    if (open == nullptr) return kInvalidHandle;
    return open->store.NoteIds(ids);
  }

  Status NoteCreate(DbHandle db, NoteHandle* note) override {
    if (FindDb(db) == nullptr) return kInvalidHandle;
    OpenNote open;
    open.db = db;
    open.note.unid = NewUnid();
    open.note.created = TimeNow();
    open.note.modified = open.note.created;
    *note = AddNote(std::move(open));
    return kNoError;
  }
  Status NoteOpen(DbHandle db, NoteId id, uint32_t openFlags, NoteHandle* note) override {
    OpenDatabase* open = FindDb(db);
    if (open == nullptr) return kInvalidHandle;
    OpenNote loaded;
    loaded.db = db;
    if (Status s = open->store.Load(id, &loaded.note); s != kNoError) return s;
    *note = AddNote(std::move(loaded));
    if ((openFlags & kOpenRawMime) != kOpenRawMime) PresentConverted(*note);
    return kNoError;
  }
  Status NoteOpenByUnid(DbHandle db, const Unid& unid, uint32_t openFlags, NoteHandle* note) override {
    OpenDatabase* open = FindDb(db);
    if (open == nullptr) return kInvalidHandle;
    OpenNote loaded;
    loaded.db = db;
    if (Status s = open->store.LoadByUnid(unid, &loaded.note); s != kNoError) return s;
    *note = AddNote(std::move(loaded));
    if ((openFlags & kOpenRawMime) != kOpenRawMime) PresentConverted(*note);
    return kNoError;
  }
  Status ProfileOpen(DbHandle db, std::string_view profileName, bool create, NoteHandle* note) override {
    OpenDatabase* open = FindDb(db);
    if (open == nullptr) return kInvalidHandle;
    if (profileName.empty()) return kProfileNameInvalid;
    OpenNote loaded;
    loaded.db = db;
    Status s = open->store.LoadProfile(Lower(profileName), &loaded.note);
    if (s == kNoteNotFound && create) {
      loaded.note = host::StoredNote();
      loaded.note.unid = NewUnid();
      loaded.note.created = TimeNow();
      loaded.note.modified = loaded.note.created;
      loaded.note.profileName = Lower(profileName);
      s = kNoError;
    }
    if (s != kNoError) return s;
    *note = AddNote(std::move(loaded));
    return kNoError;
  }
  Status NoteGetInfo(NoteHandle note, NoteInfo* info) override {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    info->db = open->db;
    info->noteId = open->note.id;
    info->unid = open->note.unid;
    info->noteClass = open->note.noteClass;
    info->created = open->note.created;
    info->modified = open->note.modified;
    return kNoError;
  }
  Status NoteSetClass(NoteHandle note, uint16_t noteClass) override {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    open->note.noteClass = noteClass;
    return kNoError;
  }
  Status NoteUpdate(NoteHandle note, uint16_t updateFlags) override {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    OpenDatabase* db = FindDb(open->db);
    if (db == nullptr) return kInvalidHandle;
    return db->store.Save(&open->note, (updateFlags & kUpdateForce) != 0, TimeNow());
  }
  Status NoteClose(NoteHandle note) override {
    auto it = notes_.find(note);
    if (it == notes_.end()) return kInvalidHandle;
    // Objects attached but never saved with the note go with it.
    if (OpenDatabase* db = FindDb(it->second.db)) {
      for (uint32_t object : it->second.note.attachedObjects) (void)db->store.DeleteObject(object);  // an orphan at worst
    }
    notes_.erase(it);
    return kNoError;
  }
  Status NoteDelete(DbHandle db, NoteId id) override {
    OpenDatabase* open = FindDb(db);
    if (open == nullptr) return kInvalidHandle;
    return open->store.Delete(id);
  }

  // ---- Items ----

  Status ItemInfoByName(NoteHandle note, std::string_view name, ItemInfo* info) override {
    return ItemInfoNext(note, BlockId{}, name, info);
  }
  Status ItemInfoFirst(NoteHandle note, ItemInfo* info) override { return ItemInfoNext(note, BlockId{}, {}, info); }
  Status ItemInfoNext(NoteHandle note, BlockId previous, std::string_view name, ItemInfo* info) override {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    auto& items = open->note.items;
    auto it = items.begin();
    if (!previous.IsNull()) {
      if (previous.pool != note) return kInvalidHandle;
      it = FindItem(open, previous.block);
      if (it == items.end()) return kInvalidHandle;
      ++it;
    }
    for (; it != items.end(); ++it) {
      if (name.empty() || SameName(it->name, name)) {
        Describe(note, *it, info);
        return kNoError;
      }
    }
    return kItemNotFound;
  }
  Status ItemQuery(BlockId item, ItemInfo* info) override {
    const host::StoredItem* found = FindItemByBlock(item);
    if (found == nullptr) return kInvalidHandle;
    Describe(item.pool, *found, info);
    return kNoError;
  }
  Status ItemValue(BlockId value, std::string* bytes) override {
    const host::StoredItem* found = FindItemByBlock(value);
    if (found == nullptr) return kInvalidHandle;
    *bytes = found->value;
    return kNoError;
  }
  Status ItemDelete(NoteHandle note, std::string_view name) override {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    auto& items = open->note.items;
    auto removed = std::remove_if(items.begin(), items.end(), [&](const auto& i) { return SameName(i.name, name); });
    if (removed == items.end()) return kItemNotFound;
    items.erase(removed, items.end());
    return kNoError;
  }
  Status ItemDeleteByBlock(NoteHandle note, BlockId item) override {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    if (item.pool != note) return kInvalidHandle;
    auto it = FindItem(open, item.block);
    if (it == open->note.items.end()) return kInvalidHandle;
    open->note.items.erase(it);
    return kNoError;
  }
  Status ItemCopy(NoteHandle target, BlockId item) override {
    const host::StoredItem* found = FindItemByBlock(item);
    if (found == nullptr || FindNote(target) == nullptr) return kInvalidHandle;
    host::StoredItem copy = *found;  // copied before the target may grow
    return AppendItem(target, copy.flags, copy.name, std::move(copy.value), nullptr);
  }
  Status ItemAppend(NoteHandle note, uint16_t flags, std::string_view name, std::string_view value,
                    BlockId* item) override {
    return AppendItem(note, flags, name, std::string(value), item);
  }
  Status ItemAppendFromMemory(NoteHandle note, uint16_t flags, std::string_view name, MemHandle block,
                              size_t length) override {
    auto it = memory_.find(block);
    if (it == memory_.end()) return kInvalidHandle;
    if (length > it->second.size()) return kValueTooShort;
    return AppendItem(note, flags, name, std::string(it->second.begin(), it->second.begin() + length), nullptr);
  }

  Status ItemGetText(NoteHandle note, std::string_view name, size_t maxLength, std::string* text) override {
    const host::StoredItem* item = nullptr;
    if (Status s = FirstItem(note, name, &item); s != kNoError) return s;
    std::string result;
    uint16_t type = 0;
    if (Status s = ValueType(item->value, &type); s != kNoError) return s;
    if (type == TYPE_TEXT_LIST) {
      std::vector<std::string> entries;
      if (Status s = DecodeTextListValue(item->value, &entries); s != kNoError) return s;
      if (!entries.empty()) result = entries[0];
    } else if (Status s = DecodeTextValue(item->value, &result); s != kNoError) {
      return s;
    }
    result.resize(std::min(result.size(), maxLength));
    *text = std::move(result);
    return kNoError;
  }
  double ItemGetNumber(NoteHandle note, std::string_view name, double defaultValue) override {
    const host::StoredItem* item = nullptr;
    double number = 0;
    if (FirstItem(note, name, &item) != kNoError || DecodeNumberValue(item->value, &number) != kNoError) {
      return defaultValue;
    }
    return number;
  }
  bool ItemGetTime(NoteHandle note, std::string_view name, TimeDate* value) override {
    const host::StoredItem* item = nullptr;
    return FirstItem(note, name, &item) == kNoError && DecodeTimeValue(item->value, value) == kNoError;
  }
  uint16_t ItemTextListCount(NoteHandle note, std::string_view name) override {
    std::vector<std::string> entries;
    if (TextList(note, name, &entries) != kNoError) return 0;
    return static_cast<uint16_t>(entries.size());
  }
  Status ItemTextListEntry(NoteHandle note, std::string_view name, uint16_t index, std::string* text) override {
    std::vector<std::string> entries;
    if (Status s = TextList(note, name, &entries); s != kNoError) return s;
    if (index >= entries.size()) return kBadArgument;
    *text = entries[index];
    return kNoError;
  }

  Status ItemSetText(NoteHandle note, std::string_view name, std::string_view text) override {
    return ReplaceItem(note, name, EncodeTextValue(text));
  }
  Status ItemSetNumber(NoteHandle note, std::string_view name, double value) override {
    return ReplaceItem(note, name, EncodeNumberValue(value));
  }
  Status ItemSetTime(NoteHandle note, std::string_view name, const TimeDate& value) override {
    return ReplaceItem(note, name, EncodeTimeValue(value));
  }
  Status ItemCreateTextList(NoteHandle note, std::string_view name, std::string_view firstEntry) override {
    std::string value;
    if (Status s = EncodeTextListValue({std::string(firstEntry)}, &value); s != kNoError) return s;
    return ReplaceItem(note, name, std::move(value));
  }
  Status ItemAppendTextList(NoteHandle note, std::string_view name, std::string_view entry,
                            bool allowDuplicates) override {
    std::vector<std::string> entries;
    Status s = TextList(note, name, &entries);
    if (s != kNoError && s != kItemNotFound) return s;
    if (!allowDuplicates && std::find(entries.begin(), entries.end(), entry) != entries.end()) return kNoError;
    entries.emplace_back(entry);
    std::string value;
    if (s = EncodeTextListValue(entries, &value); s != kNoError) return s;
    return ReplaceItem(note, name, std::move(value));
  }

  // ---- Stored structures and attachments ----

  Status ReadStructure(uint16_t type, std::string_view stored, size_t* offset, std::string* memory) override {
    size_t size = StructureSize(type);
    if (size == 0) return kBadArgument;
    // Stored and in-memory forms agree on a little-endian machine with packed fields.
    if (*offset > stored.size() || stored.size() - *offset < size) return kValueTooShort;
    memory->assign(stored.substr(*offset, size));
    *offset += size;
    return kNoError;
  }

  Status AttachFile(NoteHandle note, std::u16string_view path, std::string_view name, uint16_t compression,
                    bool encrypted, BlockId* item) override {
    if (FindNote(note) == nullptr) return kInvalidHandle;
    std::string data;
    if (Status s = FileRead(path, &data); s != kNoError) return s;
    return AttachData(note, data, name, compression, encrypted, item);
  }

  Status ExtractFile(NoteHandle note, BlockId item, std::u16string_view path) override {
    FileObject file;
    OpenDatabase* db = nullptr;
    if (Status s = AttachmentOf(note, item, &file, &db); s != kNoError) return s;
    std::string data;
    uint32_t flags = 0;
    if (Status s = db->store.ReadObject(file.header.rrv, &data, &flags); s != kNoError) return s;
    if (flags & kObjectEncrypted) return kAttachmentEncrypted;
    if (data.size() != file.fileSize) return kDatabaseCorrupt;
    return FileWrite(path, data);
  }

  Status DetachFile(NoteHandle note, BlockId item) override {
    FileObject file;
    OpenDatabase* db = nullptr;
    if (Status s = AttachmentOf(note, item, &file, &db); s != kNoError) return s;
    OpenNote* open = FindNote(note);
    auto& attached = open->note.attachedObjects;
    auto pending = std::find(attached.begin(), attached.end(), file.header.rrv);
    if (pending != attached.end()) {
      attached.erase(pending);
      (void)db->store.DeleteObject(file.header.rrv);  // never saved: an orphan at worst
    } else {
      open->note.detachedObjects.push_back(file.header.rrv);
    }
    return ItemDeleteByBlock(note, item);
  }

  // ---- OLE objects ----

  Status OleInsertObject(NoteHandle note, std::u16string_view storagePath, std::string_view objectName,
                         const std::array<uint8_t, 16>& classId, std::string_view description,
                         std::string_view fieldName) override {
    if (FindNote(note) == nullptr) return kInvalidHandle;
    if (objectName.empty() || objectName.size() + description.size() + fieldName.size() > 0xF000) return kBadArgument;
    std::string data;
    if (Status s = FileRead(storagePath, &data); s != kNoError) return s;
    BlockId storage;
    if (Status s = AttachData(note, data, objectName, 0, false, &storage); s != kNoError) return s;
    // The storage is OLE data, not a file for the attachment scanners.
    PutLe16At(&FindItemByBlock(storage)->value, 2 + 8, HOST_CDSTORAGE);
    OleObjectInfo info;
    info.signature = SIG_CD_OLEOBJINFO;
    info.fileObjectNameLength = static_cast<uint16_t>(objectName.size());
    info.descriptionLength = static_cast<uint16_t>(description.size());
    info.fieldNameLength = static_cast<uint16_t>(fieldName.size());
    info.classId = classId;
    info.storageFormat = 1;  // structured storage
    size_t length = StructureSize(kStructOleObjectInfo) + objectName.size() + description.size() + fieldName.size();
    info.length = static_cast<uint16_t>(length);
    std::string value;
    PutLe16(&value, TYPE_COMPOSITE);
    value += EncodeOleObjectInfo(info);
    value.append(objectName).append(description).append(fieldName);
    if (value.size() % 2 != 0) value.push_back('\0');
    if (Status s = AppendItem(note, ITEM_SUMMARY, "$OLEOBJINFO", std::move(value), nullptr); s != kNoError) return s;
    // The object's place in its rich-text field.
    std::string progId;
    (void)ClassToProgId(ClassIdText(classId), &progId);  // an unknown class shows no program name
    std::string records;
    AppendParagraph(&records);
    AppendOleObject(&records, objectName, progId);
    std::string field;
    PutLe16(&field, TYPE_COMPOSITE);
    field += records;
    return AppendItem(note, ITEM_SIGN, fieldName.empty() ? std::string_view("Body") : fieldName, std::move(field), nullptr);
  }

  Status OleWriteObject(NoteHandle note, std::string_view objectName, std::u16string_view path) override {
    BlockId storage;
    if (Status s = FindAttachmentItem(note, objectName, &storage); s != kNoError) return s;
    return ExtractFile(note, storage, path);
  }

  Status OleRemoveObject(NoteHandle note, std::string_view objectName) override {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    BlockId storage;
    if (Status s = FindAttachmentItem(note, objectName, &storage); s != kNoError) return s;
    std::vector<uint16_t> infos;
    for (const auto& item : open->note.items) {
      if (!SameName(item.name, "$OLEOBJINFO")) continue;
      OleObjectInfo info;
      std::string_view body = std::string_view(item.value).substr(std::min<size_t>(2, item.value.size()));
      size_t fixed = StructureSize(kStructOleObjectInfo);
      if (ParseOleObjectInfo(body, &info) != kNoError || body.size() - fixed < info.fileObjectNameLength) continue;
      if (body.substr(fixed, info.fileObjectNameLength) == objectName) infos.push_back(item.block);
    }
    for (uint16_t block : infos) (void)ItemDeleteByBlock(note, BlockId{note, block});  // found just above
    return DetachFile(note, storage);
  }

  // ---- Rich text ----

  Status ConvertRichTextToText(BlockId value, std::string_view delimiter, uint16_t lineLength, MemHandle* text,
                               uint32_t* length) override {
    const host::StoredItem* item = FindItemByBlock(value);
    if (item == nullptr) return kInvalidHandle;
    uint16_t type = 0;
    if (Status s = ValueType(item->value, &type); s != kNoError) return s;
    if (type != TYPE_COMPOSITE) return kWrongItemType;
    std::string plain;
    if (Status s = RichTextToPlainText(std::string_view(item->value).substr(2), delimiter, lineLength, &plain);
        s != kNoError) {
      return s;
    }
    MemHandle block = kNullHandle;
    if (Status s = MemAlloc(plain.size(), &block); s != kNoError) return s;
    std::copy(plain.begin(), plain.end(), memory_[block].begin());
    *text = block;
    *length = static_cast<uint32_t>(plain.size());
    return kNoError;
  }

  Status CompoundTextCreate(NoteHandle note, std::string_view itemName, CompoundTextHandle* text) override {
    if (note != kNullHandle && (FindNote(note) == nullptr || itemName.empty())) {
      return FindNote(note) == nullptr ? kInvalidHandle : kBadArgument;
    }
    CompoundTextHandle handle = NewHandle();
    compoundTexts_[handle] = CompoundText{note, std::string(itemName), {}, {}};
    *text = handle;
    return kNoError;
  }
  Status CompoundTextDefineStyle(CompoundTextHandle text, std::string_view styleName, uint32_t* styleId) override {
    CompoundText* compound = FindCompound(text);
    if (compound == nullptr) return kInvalidHandle;
    auto [it, added] = compound->styles.try_emplace(std::string(styleName),
                                                    static_cast<uint32_t>(compound->styles.size() + 1));
    if (added) AppendPabDefinition(&compound->records, static_cast<uint16_t>(it->second));
    *styleId = it->second;
    return kNoError;
  }
  Status CompoundTextAddText(CompoundTextHandle text, uint32_t styleId, uint32_t fontId, std::string_view content,
                             std::string_view lineDelimiter) override {
    CompoundText* compound = FindCompound(text);
    if (compound == nullptr) return kInvalidHandle;
    if (styleId == 0 || styleId > compound->styles.size()) return kBadArgument;
    for (;;) {
      size_t end = lineDelimiter.empty() ? std::string_view::npos : content.find(lineDelimiter);
      AppendParagraph(&compound->records);
      AppendPabReference(&compound->records, static_cast<uint16_t>(styleId));
      AppendText(&compound->records, fontId, content.substr(0, end));
      if (end == std::string_view::npos) break;
      content.remove_prefix(end + lineDelimiter.size());
    }
    return kNoError;
  }
  Status CompoundTextAssimilateItem(CompoundTextHandle text, NoteHandle note, std::string_view itemName) override {
    CompoundText* compound = FindCompound(text);
    OpenNote* open = FindNote(note);
    if (compound == nullptr || open == nullptr) return kInvalidHandle;
    bool found = false;
    for (const auto& item : open->note.items) {
      if (!SameName(item.name, itemName)) continue;
      uint16_t type = 0;
      if (ValueType(item.value, &type) != kNoError || type != TYPE_COMPOSITE) continue;
      std::string_view records = std::string_view(item.value).substr(2);
      if (Status s = ForEachCdRecord(records, [](const CdRecord&) {}); s != kNoError) return s;  // checked before it is taken
      compound->records.append(records);
      found = true;
    }
    return found ? kNoError : kItemNotFound;
  }
  Status CompoundTextAssimilateFile(CompoundTextHandle text, std::u16string_view path) override {
    CompoundText* compound = FindCompound(text);
    if (compound == nullptr) return kInvalidHandle;
    std::string records;
    if (Status s = FileRead(path, &records); s != kNoError) return s;
    if (Status s = ForEachCdRecord(records, [](const CdRecord&) {}); s != kNoError) return s;
    compound->records += records;
    return kNoError;
  }
  Status CompoundTextClose(CompoundTextHandle text, MemHandle* buffer, uint32_t* length, std::u16string* file) override {
    auto it = compoundTexts_.find(text);
    if (it == compoundTexts_.end()) return kInvalidHandle;
    CompoundText compound = std::move(it->second);
    compoundTexts_.erase(it);
    if (compound.note != kNullHandle) return WriteRichTextItems(compound);
    if (compound.records.size() + 2 <= kMaxRichTextItemBytes) {
      std::string value;
      PutLe16(&value, TYPE_COMPOSITE);
      value += compound.records;
      MemHandle block = kNullHandle;
      if (Status s = MemAlloc(value.size(), &block); s != kNoError) return s;
      std::copy(value.begin(), value.end(), memory_[block].begin());
      *buffer = block;
      *length = static_cast<uint32_t>(value.size());
      return kNoError;
    }
    std::string path = serverDirectory_ + "/run/compound-" + std::to_string(ProcessId()) + "-" + std::to_string(text) + ".cd";
    std::u16string wide = charsets_->Utf8ToUtf16(path);
    if (Status s = FileWrite(wide, compound.records); s != kNoError) return s;
    *file = wide;
    return kNoError;
  }

  // ---- Mail ----

  Status CanonicalizeName(std::string_view name, std::string* canonical) override {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= name.size()) {
      size_t slash = name.find('/', start);
      if (slash == std::string_view::npos) slash = name.size();
      parts.emplace_back(name.substr(start, slash - start));
      start = slash + 1;
    }
    bool alreadyCanonical = std::any_of(parts.begin(), parts.end(), [](const std::string& part) {
      size_t eq = part.find('=');
      return eq != std::string::npos && eq > 0 && eq <= 2;
    });
    if (parts.size() < 2 || alreadyCanonical) {
      *canonical = std::string(name);
      return kNoError;
    }
    for (const std::string& part : parts) {
      if (part.empty()) return kBadArgument;
    }
    // A last part of two letters is the country.
    bool country = parts.size() >= 3 && parts.back().size() == 2;
    size_t organisation = parts.size() - (country ? 2 : 1);
    std::string out = "CN=" + parts[0];
    for (size_t i = 1; i < parts.size(); ++i) {
      const char* prefix = i == organisation ? "/O=" : (country && i == parts.size() - 1) ? "/C=" : "/OU=";
      out += prefix + parts[i];
    }
    *canonical = std::move(out);
    return kNoError;
  }
  Status MailCreateMessage(DbHandle mailDb, NoteHandle* message) override {
    NoteHandle note = kNullHandle;
    if (Status s = NoteCreate(mailDb, &note); s != kNoError) return s;
    if (Status s = ItemSetText(note, "Form", "Memo"); s != kNoError) {
      (void)NoteClose(note);  // just created: nothing else holds it
      return s;
    }
    *message = note;
    return kNoError;
  }
  Status MailTransferMessage(NoteHandle message) override {
    OpenNote* source = FindNote(message);
    if (source == nullptr) return kInvalidHandle;
    Status created = DbCreate("mail.box", "Mail box");
    if (created != kNoError && created != kDatabaseExists) return created;
    DbHandle box = kNullHandle;
    if (Status s = DbOpen("mail.box", &box); s != kNoError) return s;
    NoteHandle copy = kNullHandle;
    Status s = NoteCreate(box, &copy);
    for (size_t i = 0; s == kNoError && i < source->note.items.size(); ++i) {
      const host::StoredItem& item = source->note.items[i];
      uint16_t type = 0;
      (void)ValueType(item.value, &type);  // too short: copied as it is
      if (type == TYPE_OBJECT) {
        std::string name;
        std::string data;
        if (ReadAttachment(message, item, &name, &data)) s = AttachData(copy, data, name, 1, false, nullptr);
        continue;
      }
      host::StoredItem duplicate = item;
      s = AppendItem(copy, duplicate.flags, duplicate.name, std::move(duplicate.value), nullptr);
    }
    TimeDate posted;
    if (s == kNoError && !ItemGetTime(copy, "PostedDate", &posted)) s = ItemSetTime(copy, "PostedDate", TimeNow());
    if (s == kNoError) s = NoteUpdate(copy, kUpdateForce);
    if (copy != kNullHandle) (void)NoteClose(copy);  // saved or given up
    (void)DbClose(box);
    return s;
  }
  Status ServerName(std::string* name) override {
    std::string value;
    if (!IniGetText("ServerName", 1023, &value) || value.empty()) return kItemNotFound;
    *name = std::move(value);
    return kNoError;
  }

  // ---- Memory ----

  Status MemAlloc(size_t size, MemHandle* block) override {
    if (size > kMaxMemoryBlock) return kItemTooLarge;
    MemHandle handle = NewHandle();
    memory_[handle].assign(size, 0);
    *block = handle;
    return kNoError;
  }
  uint8_t* MemLock(MemHandle block) override {
    auto it = memory_.find(block);
    return it == memory_.end() ? nullptr : it->second.data();
  }
  void MemUnlock(MemHandle block) override { (void)block; }
  size_t MemSize(MemHandle block) override {
    auto it = memory_.find(block);
    return it == memory_.end() ? 0 : it->second.size();
  }
  Status MemFree(MemHandle block) override { return memory_.erase(block) ? kNoError : kInvalidHandle; }

  // ---- Text, time, console ----

  Status Translate(uint16_t mode, std::string_view in, std::string* out) override {
    switch (mode) {
      case kTranslateNativeToLmbcs:
        return charsets_->Convert(Charset::kNative, Charset::kLmbcs, in, out);
      case kTranslateLmbcsToNative:
        return charsets_->Convert(Charset::kLmbcs, Charset::kNative, in, out);
      case kTranslateLmbcsToUnicode:
        return charsets_->Convert(Charset::kLmbcs, Charset::kUtf16, in, out);
      case kTranslateLmbcsToUtf8:
        return charsets_->Convert(Charset::kLmbcs, Charset::kUtf8, in, out);
      case kTranslateUnicodeToLmbcs:
        if (in.size() % 2 != 0) return kBadArgument;
        return charsets_->Convert(Charset::kUtf16, Charset::kLmbcs, in, out);
      case kTranslateUtf8ToLmbcs:
        return charsets_->Convert(Charset::kUtf8, Charset::kLmbcs, in, out);
      default:
        return kBadArgument;
    }
  }
  std::string StatusText(Status status) override { return host::TextOfStatus(status).substr(0, 255); }
  void ConsoleLine(std::string_view text) override {
    std::string utf8;
    if (charsets_->Convert(Charset::kLmbcs, Charset::kUtf8, text, &utf8) != kNoError) utf8 = "?";
    while (!utf8.empty() && (utf8.back() == '\n' || utf8.back() == '\r')) utf8.pop_back();
    if (options_.echoConsole) {
      std::fwrite(utf8.data(), 1, utf8.size(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    }
    std::string line = host::FormatTime(TimeNow()) + "   " + utf8 + "\n";
    std::ofstream log(serverDirectory_ + "/server.log", std::ios::binary | std::ios::app);
    log << line;
  }

  TimeDate TimeNow() override { return host::TimeFromMicros(options_.clock->NowMicros()); }
  TimeDate TimeConstant(TimeConstantKind kind) override {
    TimeDate value;
    switch (kind) {
      case TimeConstantKind::kMinimum:
        break;
      case TimeConstantKind::kMaximum:
        value.innards = {8639999, 0x00FFFFFE};
        break;
      case TimeConstantKind::kWildcard:
        value.innards = {kAllDay, kAnyDay};
        break;
    }
    return value;
  }
  Status TimeToText(const TimeDate& value, std::string* text) override {
    *text = host::FormatTime(value);
    return kNoError;
  }
  Status TimeGmToLocal(LocalTime* local) override { return host::GmToLocal(local); }
  Status TimeLocalToGm(LocalTime* local) override { return host::LocalToGm(local); }
  int TimeCompare(const TimeDate& a, const TimeDate& b) override { return host::CompareTimes(a, b); }
  Status TimeAdjust(TimeDate* value, int hours, int days) override { return host::AdjustTime(value, hours, days); }
  double TimeDifferenceSeconds(const TimeDate& a, const TimeDate& b) override {
    return static_cast<double>(host::MicrosFromTime(a) - host::MicrosFromTime(b)) / 1e6;
  }

  // ---- Operating system ----

  Status LibraryLoad(std::u16string_view path, LibraryHandle* library) override {
    std::string image;
    Status s = kFileNotFound;
    // A bare file name is searched like a library: program directory first,
    // then the working folder.
    std::string programDirectory;
    bool bare = path.find_first_of(u"/\\") == std::u16string_view::npos;
    if (bare && IniGetText("NotesProgram", 1024, &programDirectory) && !programDirectory.empty()) {
      s = FileRead(charsets_->Utf8ToUtf16(programDirectory + "/") + std::u16string(path), &image);
    }
    if (s == kFileNotFound) s = FileRead(path, &image);
    if (s != kNoError) return s == kFileNotFound ? kLibraryNotFound : s;
    host::PeStringTable table;
    if (Status s = table.Load(std::move(image)); s != kNoError) return s;
    LibraryHandle handle = NewHandle();
    libraries_[handle] = std::move(table);
    *library = handle;
    return kNoError;
  }
  Status LibraryString(LibraryHandle library, uint32_t id, std::string* text) override {
    auto it = libraries_.find(library);
    if (it == libraries_.end()) return kInvalidHandle;
    std::u16string unicode;
    if (Status s = it->second.Find(id, &unicode); s != kNoError) return s;
    std::string bytes(reinterpret_cast<const char*>(unicode.data()), unicode.size() * 2);
    return charsets_->Convert(Charset::kUtf16, Charset::kNative, bytes, text);
  }
  Status LibraryFree(LibraryHandle library) override { return libraries_.erase(library) ? kNoError : kInvalidHandle; }

  Status FileRead(std::u16string_view path, std::string* data) override {
    std::string file = LocalPath(path);
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FileErrno(errno);
    std::string result;
    char buffer[65536];
    for (;;) {
      ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        ::close(fd);
        return kFileError;
      }
      if (got == 0) break;
      result.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    *data = std::move(result);
    return kNoError;
  }
  Status FileWrite(std::u16string_view path, std::string_view data) override {
    return WriteFileWith(path, data, O_TRUNC);
  }
  Status FileAppend(std::u16string_view path, std::string_view data) override {
    return WriteFileWith(path, data, O_APPEND);
  }
  Status FileSize(std::u16string_view path, uint64_t* size) override {
    struct stat info {};
    if (::stat(LocalPath(path).c_str(), &info) != 0) return FileErrno(errno);
    *size = static_cast<uint64_t>(info.st_size);
    return kNoError;
  }
  Status FileDelete(std::u16string_view path) override {
    return ::unlink(LocalPath(path).c_str()) == 0 ? kNoError : FileErrno(errno);
  }
  Status FolderCreate(std::u16string_view path) override {
    return MakeFolders(LocalPath(path)) ? kNoError : kFileError;
  }

  Status LocalPath(std::u16string_view path, std::string* local) override {
    *local = LocalPath(path);
    return local->empty() && !path.empty() ? kCharsetError : kNoError;
  }

  uint32_t ProcessId() override { return static_cast<uint32_t>(::getpid()); }
  Status ProcessRun(const ChildProcess& child, int* exitCode) override {
    std::vector<std::string> words = host::SplitCommandLine(charsets_->Utf16ToUtf8(child.commandLine));
    // Like CreateProcess, the first word of the command line is the program's
    // own name when an application is given; the rest are its arguments.
    std::string program = LocalPath(child.application);
    if (program.empty()) {
      if (words.empty()) return kProcessNotStarted;
      program = words.front();
    }
    if (!words.empty()) words.erase(words.begin());
    std::vector<std::string> folders;
    std::string notesProgram;
    if (IniGetText("NotesProgram", 1024, &notesProgram)) folders.push_back(notesProgram);
    folders.push_back(ProgramFolder());
    std::string output = child.outputPath.empty() ? std::string() : LocalPath(child.outputPath);
    return host::RunChild(program, words, output, folders, child.timeoutSeconds, exitCode);
  }
  Status ClassToProgId(std::string_view classId, std::string* progId) override {
    std::string_view bare = classId;
    if (bare.size() >= 2 && bare.front() == '{' && bare.back() == '}') bare = bare.substr(1, bare.size() - 2);
    for (const auto& [known, name] : kProgIds) {
      if (SameName(bare, known)) {
        *progId = name;
        return kNoError;
      }
    }
    return kClassNotRegistered;
  }

 private:
  static constexpr ModuleHandle kModule = 1;

  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" of a class identifier as stored
  // (first three fields little-endian).
  static std::string ClassIdText(const std::array<uint8_t, 16>& id) {
    char text[40];
    std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id[3], id[2],
                  id[1], id[0], id[5], id[4], id[7], id[6], id[8], id[9], id[10], id[11], id[12], id[13], id[14], id[15]);
    return text;
  }

  static void PutLe16At(std::string* bytes, size_t at, uint16_t value) {
    if (at + 2 > bytes->size()) return;
    (*bytes)[at] = static_cast<char>(value & 0xFF);
    (*bytes)[at + 1] = static_cast<char>(value >> 8);
  }

  // The "$FILE" item whose file name is `name`.
  Status FindAttachmentItem(NoteHandle note, std::string_view name, BlockId* found) {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    for (const auto& item : open->note.items) {
      uint16_t type = 0;
      if (ValueType(item.value, &type) != kNoError || type != TYPE_OBJECT) continue;
      FileObject file;
      std::string_view body = std::string_view(item.value).substr(2);
      if (ParseFileObject(body, &file) != kNoError || body.size() - 36 < file.fileNameLength) continue;
      if (body.substr(36, file.fileNameLength) == name) {
        *found = BlockId{note, item.block};
        return kNoError;
      }
    }
    return kItemNotFound;
  }

  // A "$FILE" item for `data`, kept as an object stored with the note's next save.
  Status AttachData(NoteHandle note, std::string_view data, std::string_view name, uint16_t compression, bool encrypted,
                    BlockId* item) {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    OpenDatabase* db = FindDb(open->db);
    if (db == nullptr) return kInvalidHandle;
    if (name.empty() || name.size() > 0xFFFF) return kBadArgument;
    if (data.size() > 0xFFFFFFFFu) return kItemTooLarge;
    uint32_t objectId = 0;
    if (Status s = db->store.InsertObject(data, encrypted ? kObjectEncrypted : 0, &objectId); s != kNoError) return s;
    open->note.attachedObjects.push_back(objectId);
    FileObject file;
    file.header.objectType = kObjectFile;
    file.header.rrv = objectId;
    file.fileNameLength = static_cast<uint16_t>(name.size());
    file.hostType = HOST_MSDOS;
    file.compressionType = compression;
    file.fileSize = static_cast<uint32_t>(data.size());
    file.fileCreated = TimeNow();
    file.fileModified = file.fileCreated;
    std::string value;
    PutLe16(&value, TYPE_OBJECT);
    value += EncodeFileObject(file);
    value += name;
    uint16_t flags = ITEM_SUMMARY | ITEM_SIGN | (encrypted ? ITEM_SEAL : 0);
    return AppendItem(note, flags, "$FILE", std::move(value), item);
  }

  // A MIME note presented for a reader: its text parts as a rich-text
  // "Body", its other parts as "$FILE" attachments. A note that cannot be
  // converted stays as it is stored.
  void PresentConverted(NoteHandle handle) {
    OpenNote* open = FindNote(handle);
    OpenDatabase* db = open == nullptr ? nullptr : FindDb(open->db);
    if (db == nullptr) return;
    auto& items = open->note.items;
    bool mime = std::any_of(items.begin(), items.end(), [](const auto& i) { return SameName(i.name, "MIME_Version"); });
    if (!mime) return;
    auto readObject = [&](std::string_view name, std::string* data) {
      return ReadAttachmentByName(handle, name, data) ? kNoError : kItemNotFound;
    };
    std::string message;
    std::vector<std::string> partFiles;  // attachments that only hold large part contents
    for (const auto& item : items) {
      uint16_t type = 0;
      if (ValueType(item.value, &type) != kNoError || type != TYPE_MIME_PART) continue;
      std::string partFile;
      if (AppendMimePart(this, std::string_view(item.value).substr(2), readObject, &message, &partFile) != kNoError) {
        return;
      }
      if (!partFile.empty()) partFiles.push_back(std::move(partFile));
    }
    host::ConvertedMessage converted;
    if (host::ConvertMimeMessage(message, &converted) != kNoError) return;
    std::vector<host::StoredItem> kept;
    for (auto& item : items) {
      uint16_t type = 0;
      (void)ValueType(item.value, &type);  // too short: kept as it is
      if (type == TYPE_MIME_PART || SameName(item.name, "MIME_Version")) continue;
      if (type == TYPE_OBJECT && IsPartFile(item, partFiles)) {
        // Saving the converted note lets the raw part's object go.
        FileObject file;
        if (ParseFileObject(std::string_view(item.value).substr(2), &file) == kNoError) {
          open->note.detachedObjects.push_back(file.header.rrv);
        }
        continue;
      }
      kept.push_back(std::move(item));
    }
    items = std::move(kept);
    CompoundText body{handle, "Body", {}, {}};
    AppendPabDefinition(&body.records, 1);
    for (const std::string& line : converted.textLines) {
      std::string lmbcs;
      if (charsets_->Convert(Charset::kUtf8, Charset::kLmbcs, line, &lmbcs) != kNoError) lmbcs = line;
      AppendParagraph(&body.records);
      AppendPabReference(&body.records, 1);
      AppendText(&body.records, kDefaultFontId, lmbcs);
    }
    std::vector<std::string> attached;
    for (const host::ConvertedFile& file : converted.files) {
      std::string lmbcs;
      if (charsets_->Convert(Charset::kUtf8, Charset::kLmbcs, file.name, &lmbcs) != kNoError) lmbcs = file.name;
      // A part that cannot be attached is left out of the view.
      if (AttachData(handle, file.data, lmbcs, 1, false, nullptr) == kNoError) attached.push_back(lmbcs);
    }
    for (const std::string& name : attached) {
      AppendParagraph(&body.records);
      AppendPabReference(&body.records, 1);
      AppendFileHotspot(&body.records, name, name);
    }
    (void)WriteRichTextItems(body);  // the note is open and the records are ours
  }

  static bool IsPartFile(const host::StoredItem& item, const std::vector<std::string>& partFiles) {
    FileObject file;
    std::string_view body = std::string_view(item.value).substr(2);
    if (ParseFileObject(body, &file) != kNoError || body.size() - 36 < file.fileNameLength) return false;
    std::string name(body.substr(36, file.fileNameLength));
    return std::find(partFiles.begin(), partFiles.end(), name) != partFiles.end();
  }

  // The file name and data of a "$FILE" item of an open note.
  bool ReadAttachment(NoteHandle handle, const host::StoredItem& item, std::string* name, std::string* data) {
    OpenNote* open = FindNote(handle);
    OpenDatabase* db = open == nullptr ? nullptr : FindDb(open->db);
    if (db == nullptr) return false;
    FileObject file;
    std::string_view body = std::string_view(item.value).substr(std::min<size_t>(2, item.value.size()));
    if (ParseFileObject(body, &file) != kNoError || body.size() - 36 < file.fileNameLength) return false;
    *name = std::string(body.substr(36, file.fileNameLength));
    uint32_t flags = 0;
    return db->store.ReadObject(file.header.rrv, data, &flags) == kNoError;
  }

  bool ReadAttachmentByName(NoteHandle handle, std::string_view name, std::string* data) {
    OpenNote* open = FindNote(handle);
    OpenDatabase* db = FindDb(open->db);
    for (const auto& item : open->note.items) {
      uint16_t type = 0;
      if (ValueType(item.value, &type) != kNoError || type != TYPE_OBJECT) continue;
      FileObject file;
      std::string_view body = std::string_view(item.value).substr(2);
      if (ParseFileObject(body, &file) != kNoError || body.size() - 36 < file.fileNameLength) continue;
      if (body.substr(36, file.fileNameLength) != name) continue;
      uint32_t flags = 0;
      return db->store.ReadObject(file.header.rrv, data, &flags) == kNoError;
    }
    return false;
  }

  struct CompoundText {
    NoteHandle note = kNullHandle;
    std::string itemName;
    std::string records;
    std::map<std::string, uint32_t> styles;
  };

  CompoundText* FindCompound(CompoundTextHandle text) {
    auto it = compoundTexts_.find(text);
    return it == compoundTexts_.end() ? nullptr : &it->second;
  }

  // Rich text on a note, in items that each fit the limit of one rich-text
  // item. Items are cut between paragraphs, so a paragraph stays whole
  // unless it alone is larger than an item.
  Status WriteRichTextItems(const CompoundText& compound) {
    if (FindNote(compound.note) == nullptr) return kInvalidHandle;
    std::vector<std::pair<size_t, size_t>> groups;  // paragraphs: offset, size with padding
    size_t at = 0;
    Status walked = ForEachCdRecord(compound.records, [&](const CdRecord& record) {
      size_t size = static_cast<size_t>(record.body.data() - compound.records.data()) - at + record.body.size();
      size += size % 2;
      bool starts = record.signature == SIG_CD_PARAGRAPH || record.signature == SIG_CD_PABDEFINITION;
      bool fits = !groups.empty() && groups.back().second + size <= kMaxRichTextItemBytes - 2;
      if (starts || !fits) {
        groups.emplace_back(at, size);
      } else {
        groups.back().second += size;
      }
      at += size;
    });
    if (walked != kNoError) return walked;
    std::string value;
    for (auto [offset, size] : groups) {
      if (value.size() > 2 && value.size() + size > kMaxRichTextItemBytes) {
        if (Status s = AppendItem(compound.note, ITEM_SIGN, compound.itemName, std::move(value), nullptr);
            s != kNoError) {
          return s;
        }
        value.clear();
      }
      if (value.empty()) PutLe16(&value, TYPE_COMPOSITE);
      value.append(compound.records, offset, size);
    }
    if (value.empty()) PutLe16(&value, TYPE_COMPOSITE);
    return AppendItem(compound.note, ITEM_SIGN, compound.itemName, std::move(value), nullptr);
  }
  static constexpr uint32_t kObjectEncrypted = 0x0001;

  // The file object of a "$FILE" item of an open note, and its database.
  Status AttachmentOf(NoteHandle note, BlockId item, FileObject* file, OpenDatabase** db) {
    OpenNote* open = FindNote(note);
    if (open == nullptr || item.pool != note) return kInvalidHandle;
    *db = FindDb(open->db);
    if (*db == nullptr) return kInvalidHandle;
    const host::StoredItem* stored = FindItemByBlock(item);
    if (stored == nullptr) return kInvalidHandle;
    uint16_t type = 0;
    if (Status s = ValueType(stored->value, &type); s != kNoError) return s;
    if (type != TYPE_OBJECT) return kWrongItemType;
    std::string_view body(stored->value);
    body.remove_prefix(2);
    if (Status s = ParseFileObject(body, file); s != kNoError) return s;
    if (file->header.objectType != kObjectFile) return kWrongItemType;
    return kNoError;
  }
  static constexpr size_t kMaxMemoryBlock = 256u * 1024 * 1024;

  uint32_t NewHandle() { return nextHandle_++; }

  // The folder of the running program: a utility shipped beside it is found there.
  static std::string ProgramFolder() {
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return {};
    std::string self(path, static_cast<size_t>(length));
    size_t slash = self.rfind('/');
    return slash == std::string::npos ? std::string() : self.substr(0, slash);
  }

  OpenDatabase* FindDb(DbHandle db) {
    auto it = databases_.find(db);
    return it == databases_.end() ? nullptr : it->second.get();
  }
  OpenNote* FindNote(NoteHandle note) {
    auto it = notes_.find(note);
    return it == notes_.end() ? nullptr : &it->second;
  }
  NoteHandle AddNote(OpenNote open) {
    for (const auto& item : open.note.items) open.nextBlock = std::max<uint16_t>(open.nextBlock, item.block + 1);
    NoteHandle handle = NewHandle();
    notes_[handle] = std::move(open);
    return handle;
  }
  static std::vector<host::StoredItem>::iterator FindItem(OpenNote* open, uint16_t block) {
    return std::find_if(open->note.items.begin(), open->note.items.end(),
                        [block](const host::StoredItem& item) { return item.block == block; });
  }
  host::StoredItem* FindItemByBlock(BlockId id) {
    OpenNote* open = FindNote(id.pool);
    if (open == nullptr) return nullptr;
    auto it = FindItem(open, id.block);
    return it == open->note.items.end() ? nullptr : &*it;
  }
  static void Describe(NoteHandle note, const host::StoredItem& item, ItemInfo* info) {
    info->item = BlockId{note, item.block};
    info->value = BlockId{note, item.block};
    info->flags = item.flags;
    info->name = item.name;
    info->valueLength = static_cast<uint32_t>(item.value.size());
    info->type = TYPE_ERROR;
    (void)ValueType(item.value, &info->type);  // a value too short to have a type reads as TYPE_ERROR
  }
  Status FirstItem(NoteHandle note, std::string_view name, const host::StoredItem** item) {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    for (const auto& candidate : open->note.items) {
      if (SameName(candidate.name, name)) {
        *item = &candidate;
        return kNoError;
      }
    }
    return kItemNotFound;
  }
  Status TextList(NoteHandle note, std::string_view name, std::vector<std::string>* entries) {
    const host::StoredItem* item = nullptr;
    if (Status s = FirstItem(note, name, &item); s != kNoError) return s;
    uint16_t type = 0;
    if (Status s = ValueType(item->value, &type); s != kNoError) return s;
    if (type == TYPE_TEXT) {
      std::string text;
      (void)DecodeTextValue(item->value, &text);  // the type was checked just above
      *entries = {text};
      return kNoError;
    }
    return DecodeTextListValue(item->value, entries);
  }
  Status AppendItem(NoteHandle note, uint16_t flags, std::string_view name, std::string value, BlockId* item) {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    if (name.empty() || name.size() > 0xFFFF) return kBadArgument;
    if (value.size() < 2) return kValueTooShort;
    if (open->nextBlock == 0xFFFF) return kItemTooLarge;
    host::StoredItem stored{open->nextBlock++, std::string(name), flags, std::move(value)};
    if (item != nullptr) *item = BlockId{note, stored.block};
    open->note.items.push_back(std::move(stored));
    return kNoError;
  }
  // Replaces the first item of the name in place and drops the others.
  Status ReplaceItem(NoteHandle note, std::string_view name, std::string value) {
    OpenNote* open = FindNote(note);
    if (open == nullptr) return kInvalidHandle;
    auto& items = open->note.items;
    auto first = std::find_if(items.begin(), items.end(), [&](const auto& i) { return SameName(i.name, name); });
    if (first == items.end()) return AppendItem(note, ITEM_SUMMARY, name, std::move(value), nullptr);
    first->value = std::move(value);
    uint16_t keep = first->block;
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const auto& i) { return i.block != keep && SameName(i.name, name); }),
                items.end());
    return kNoError;
  }

  Unid NewUnid() {
    Unid unid;
    std::ifstream random("/dev/urandom", std::ios::binary);
    uint32_t words[2] = {0, 0};
    random.read(reinterpret_cast<char*>(words), sizeof words);
    unid.file.innards = {words[0], words[1] ^ ProcessId()};
    unid.note = TimeNow();
    unid.note.innards[0] += ++unidSequence_;  // notes made in the same hundredth differ
    return unid;
  }

  // Every backslash becomes a slash here and nowhere else.
  std::string LocalPath(std::u16string_view path) {
    std::string file = charsets_->Utf16ToUtf8(path);
    std::replace(file.begin(), file.end(), '\\', '/');
    return file;
  }

  Status ResolveDatabasePath(std::string_view path, std::string* file) {
    std::string utf8;
    if (charsets_->Convert(Charset::kLmbcs, Charset::kUtf8, path, &utf8) != kNoError || utf8.empty()) {
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
    *file = dataDirectory_ + "/" + utf8;
    return kNoError;
  }

  Status WriteFileWith(std::u16string_view path, std::string_view data, int mode) {
    int fd = ::open(LocalPath(path).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | mode, 0644);
    if (fd < 0) return FileErrno(errno);
    size_t done = 0;
    while (done < data.size()) {
      ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) {
        ::close(fd);
        return kFileError;
      }
      done += static_cast<size_t>(wrote);
    }
    return ::close(fd) == 0 ? kNoError : kFileError;
  }

  // Sleeps until a queue that this instance has open holds a message, or the
  // pause runs out. Queue writers change the queue folder, which inotify
  // reports, so the wait needs no polling of the store.
  void WaitForQueueActivity() {
    if (options_.idleWaitMillis <= 0) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.idleWaitMillis);
    if (inotifyFd_ < 0) {
      inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (inotifyFd_ >= 0) {
        std::string folder = host::QueueStore::FolderOf(serverDirectory_);
        ::inotify_add_watch(inotifyFd_, folder.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO);
      }
    }
    std::vector<std::string> names;
    for (const auto& [handle, name] : openQueues_) names.push_back(name);
    // A writer's file change can be seen a moment before its commit is:
    // after each change the store is looked at again a few times, shortly.
    constexpr int kRecheckMillis[] = {1, 4, 16};
    size_t rechecks = std::size(kRecheckMillis);
    while (g_stopSignal == 0) {
      bool waiting = false;
      if (!names.empty() && queues_.AnyWaiting(names, &waiting) == kNoError && waiting) return;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      if (inotifyFd_ < 0) {
        ::usleep(static_cast<useconds_t>(left.count()) * 1000);
        return;
      }
      int timeout = static_cast<int>(left.count());
      if (rechecks < std::size(kRecheckMillis)) timeout = std::min(timeout, kRecheckMillis[rechecks++]);
      struct pollfd wait {inotifyFd_, POLLIN, 0};
      int ready = ::poll(&wait, 1, timeout);
      if (ready < 0) return;  // a signal: the caller checks for a stop
      if (ready == 0) continue;
      char events[4096];
      while (::read(inotifyFd_, events, sizeof events) > 0) {
      }
      rechecks = 0;
    }
  }

  HostOptions options_;
  std::string serverDirectory_;
  std::string dataDirectory_;
  host::NotesIni ini_;
  std::unique_ptr<host::Charsets> charsets_;
  host::QueueStore queues_;
  host::TaskRegistry tasks_;
  int64_t startMicros_ = 0;
  std::map<uint32_t, int64_t> intervals_;
  uint32_t nextHandle_ = 1;
  uint32_t unidSequence_ = 0;
  StatusLineHandle defaultLine_ = kNullHandle;
  std::map<StatusLineHandle, int64_t> statusLines_;
  std::map<DbHandle, std::unique_ptr<OpenDatabase>> databases_;
  std::map<NoteHandle, OpenNote> notes_;
  std::map<QueueHandle, std::string> openQueues_;
  std::map<MemHandle, std::vector<uint8_t>> memory_;
  std::map<LibraryHandle, host::PeStringTable> libraries_;
  int inotifyFd_ = -1;
  std::map<std::string, int> instanceLocks_;
  std::map<CompoundTextHandle, CompoundText> compoundTexts_;
};

std::string FolderOfFile(const std::string& file) {
  size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return file.substr(0, slash);
}

}  // namespace

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
  host::NotesIni ini(options.notesIni);
  std::string serverDirectory = FolderOfFile(options.notesIni);
  std::string dataDirectory = ini.Get("Directory").value_or("data");
  if (dataDirectory.empty() || dataDirectory[0] != '/') dataDirectory = serverDirectory + "/" + dataDirectory;
  if (!MakeFolders(dataDirectory)) return kFileError;
  std::unique_ptr<host::Charsets> charsets;
  if (Status s = host::Charsets::Create(ini.Get("ZulNativeCodePage").value_or("windows-1251"), &charsets);
      s != kNoError) {
    return s;
  }
  auto host = std::make_unique<HostPlatform>(options, serverDirectory, dataDirectory, std::move(charsets));
  if (Status s = host->Open(); s != kNoError) return s;
  *platform = std::move(host);
  return kNoError;
}

}  // namespace notesapi
