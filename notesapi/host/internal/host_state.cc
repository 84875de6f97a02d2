// The host's shared state and the note, item and attachment primitives every
// role that changes notes builds on.
#include "notesapi/host/internal/host_state.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <sstream>

#include "notesapi/item_values.h"
#include "notesapi/rich_text.h"

namespace notesapi::host {

HostState::HostState(const HostOptions& hostOptions, std::string server, std::string data,
                     std::unique_ptr<Charsets> sets)
    : options(hostOptions),
      serverDirectory(std::move(server)),
      dataDirectory(std::move(data)),
      ini(hostOptions.notesIni),
      charsets(std::move(sets)) {
  if (!options.clock) options.clock = std::make_shared<SystemClock>();
}

OpenDatabase* HostState::FindDb(DbHandle db) {
  auto it = databases.find(db);
  return it == databases.end() ? nullptr : it->second.get();
}

OpenNote* HostState::FindNote(NoteHandle note) {
  auto it = notes.find(note);
  return it == notes.end() ? nullptr : &it->second;
}

StoredItem* HostState::FindItemByBlock(BlockId id) {
  OpenNote* open = FindNote(id.pool);
  if (open == nullptr) return nullptr;
  auto it = FindItem(open, id.block);
  return it == open->note.items.end() ? nullptr : &*it;
}

std::string HostState::LocalPath(std::u16string_view path) {
  std::string file = charsets->Utf16ToUtf8(path);
  std::replace(file.begin(), file.end(), '\\', '/');
  return file;
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
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) return true;  // the usual case, one call
  std::string partial;
  std::stringstream parts(path);
  std::string part;
  if (!path.empty() && path[0] == '/') partial.assign(1, '/');
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    partial += part;
    if (::mkdir(partial.c_str(), 0750) != 0 && errno != EEXIST) return false;
    partial += "/";
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

NoteHandle AddNote(HostState& s, OpenNote open) {
  for (const auto& item : open.note.items) open.nextBlock = std::max<uint16_t>(open.nextBlock, item.block + 1);
  NoteHandle handle = s.NewHandle();
  s.notes[handle] = std::move(open);
  return handle;
}

Unid NewUnid(HostState& s) {
  // Seeded from the system's randomness once, not read from it per note.
  static std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  Unid unid;
  uint64_t word = generator();
  unid.file.innards = {static_cast<uint32_t>(word), static_cast<uint32_t>(word >> 32) ^ s.platform->ProcessId()};
  unid.note = s.platform->TimeNow();
  unid.note.innards[0] += ++s.unidSequence;  // notes made in the same hundredth differ
  return unid;
}

std::vector<StoredItem>::iterator FindItem(OpenNote* open, uint16_t block) {
  return std::find_if(open->note.items.begin(), open->note.items.end(),
                      [block](const StoredItem& item) { return item.block == block; });
}

void Describe(NoteHandle note, const StoredItem& item, ItemInfo* info) {
  info->item = BlockId{note, item.block};
  info->value = BlockId{note, item.block};
  info->flags = item.flags;
  info->name = item.name;
  info->valueLength = static_cast<uint32_t>(item.value.size());
  info->type = TYPE_ERROR;
  (void)ValueType(item.value, &info->type);  // a value too short to have a type reads as TYPE_ERROR
}

Status FirstItem(HostState& s, NoteHandle note, std::string_view name, const StoredItem** item) {
  OpenNote* open = s.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  for (const auto& candidate : open->note.items) {
    if (SameName(candidate.name, name)) {
      *item = &candidate;
      return kNoError;
    }
  }
  return kItemNotFound;
}

Status AppendItem(HostState& s, NoteHandle note, uint16_t flags, std::string_view name, std::string value,
                  BlockId* item) {
  OpenNote* open = s.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  if (name.empty() || name.size() > 0xFFFF) return kBadArgument;
  if (value.size() < 2) return kValueTooShort;
  if (open->nextBlock == 0xFFFF) return kItemTooLarge;
  StoredItem stored{open->nextBlock++, std::string(name), flags, std::move(value)};
  if (item != nullptr) *item = BlockId{note, stored.block};
  open->note.items.push_back(std::move(stored));
  return kNoError;
}

Status ReplaceItem(HostState& s, NoteHandle note, std::string_view name, std::string value) {
  OpenNote* open = s.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  auto& items = open->note.items;
  auto first = std::find_if(items.begin(), items.end(), [&](const auto& i) { return SameName(i.name, name); });
  if (first == items.end()) return AppendItem(s, note, ITEM_SUMMARY, name, std::move(value), nullptr);
  first->value = std::move(value);
  uint16_t keep = first->block;
  items.erase(std::remove_if(items.begin(), items.end(),
                             [&](const auto& i) { return i.block != keep && SameName(i.name, name); }),
              items.end());
  return kNoError;
}

namespace {

Status AttachObject(HostState& s, NoteHandle note, PendingObject object, uint64_t dataSize, std::string_view name,
                    uint16_t compression, bool encrypted, BlockId* item) {
  OpenNote* open = s.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  OpenDatabase* db = s.FindDb(open->db);
  if (db == nullptr) return kInvalidHandle;
  if (name.empty() || name.size() > 0xFFFF) return kBadArgument;
  if (dataSize > 0xFFFFFFFFu) return kItemTooLarge;
  uint32_t size = static_cast<uint32_t>(dataSize);
  object.flags = encrypted ? kObjectEncrypted : 0;
  uint32_t objectId = open->nextPendingObject++;
  open->pendingObjects[objectId] = std::move(object);
  FileObject file;
  file.header.objectType = kObjectFile;
  file.header.rrv = objectId;
  file.fileNameLength = static_cast<uint16_t>(name.size());
  file.hostType = HOST_MSDOS;
  file.compressionType = compression;
  file.fileSize = size;
  file.fileCreated = s.platform->TimeNow();
  file.fileModified = file.fileCreated;
  std::string value;
  PutLe16(&value, TYPE_OBJECT);
  value += EncodeFileObject(file);
  value += name;
  uint16_t flags = ITEM_SUMMARY | ITEM_SIGN | (encrypted ? ITEM_SEAL : 0);
  return AppendItem(s, note, flags, "$FILE", std::move(value), item);
}

}  // namespace

Status AttachData(HostState& s, NoteHandle note, std::string data, std::string_view name, uint16_t compression,
                  bool encrypted, BlockId* item) {
  uint64_t size = data.size();
  return AttachObject(s, note, PendingObject{std::move(data)}, size, name, compression, encrypted, item);
}

Status AttachSpooled(HostState& s, NoteHandle note, std::shared_ptr<const SpooledFile> spooled, std::string_view name,
                     uint16_t compression, bool encrypted, BlockId* item) {
  uint64_t size = spooled->size();
  return AttachObject(s, note, PendingObject{{}, 0, std::move(spooled)}, size, name, compression, encrypted, item);
}

Status AttachmentOf(HostState& s, NoteHandle note, BlockId item, FileObject* file, OpenDatabase** db) {
  OpenNote* open = s.FindNote(note);
  if (open == nullptr || item.pool != note) return kInvalidHandle;
  *db = s.FindDb(open->db);
  if (*db == nullptr) return kInvalidHandle;
  const StoredItem* stored = s.FindItemByBlock(item);
  if (stored == nullptr) return kInvalidHandle;
  uint16_t type = 0;
  if (Status st = ValueType(stored->value, &type); st != kNoError) return st;
  if (type != TYPE_OBJECT) return kWrongItemType;
  std::string_view body(stored->value);
  body.remove_prefix(2);
  if (Status st = ParseFileObject(body, file); st != kNoError) return st;
  if (file->header.objectType != kObjectFile) return kWrongItemType;
  return kNoError;
}

namespace {

// The file name of a "$FILE" value, when its structure holds together.
bool FileNameOf(const StoredItem& item, FileObject* file, std::string_view* name) {
  return AttachmentName(item.value, file, name) == kNoError;
}

}  // namespace

bool ReadAttachment(HostState& s, NoteHandle handle, const StoredItem& item, std::string* name, std::string* data) {
  OpenNote* open = s.FindNote(handle);
  OpenDatabase* db = open == nullptr ? nullptr : s.FindDb(open->db);
  if (db == nullptr) return false;
  FileObject file;
  std::string_view shown;
  if (!FileNameOf(item, &file, &shown)) return false;
  *name = std::string(shown);
  uint32_t flags = 0;
  return ReadNoteObject(s, handle, file.header.rrv, data, &flags) == kNoError;
}

uint32_t AddPendingObject(OpenNote* open, std::string data, uint32_t flags) {
  uint32_t id = open->nextPendingObject++;
  open->pendingObjects[id] = PendingObject{std::move(data), flags};
  return id;
}

Status ReadNoteObject(HostState& s, NoteHandle note, uint32_t object, std::string* data, uint32_t* flags) {
  data->clear();
  return AppendNoteObject(s, note, object, data, flags);
}

Status AppendNoteObject(HostState& s, NoteHandle note, uint32_t object, std::string* data, uint32_t* flags) {
  OpenNote* open = s.FindNote(note);
  OpenDatabase* db = open == nullptr ? nullptr : s.FindDb(open->db);
  if (db == nullptr) return kInvalidHandle;
  if (auto it = open->pendingObjects.find(object); it != open->pendingObjects.end()) {
    *flags = it->second.flags;
    if (it->second.spooled) return it->second.spooled->AppendTo(data);
    data->append(it->second.data);
    return kNoError;
  }
  return db->store->AppendObject(object, data, flags);
}

namespace {

void SetObjectNumber(StoredItem* item, uint32_t object) {
  for (int i = 0; i < 4; ++i) item->value[2 + 2 + i] = static_cast<char>(object >> (8 * i) & 0xFF);
}

}  // namespace

Status StorePendingObjects(HostState& s, OpenNote* open, NoteId owner, std::vector<ObjectPatch>* patches) {
  OpenDatabase* db = s.FindDb(open->db);
  if (db == nullptr) return kInvalidHandle;
  for (size_t i = 0; i < open->note.items.size(); ++i) {
    StoredItem& item = open->note.items[i];
    uint16_t type = 0;
    FileObject file;
    if (ValueType(item.value, &type) != kNoError || type != TYPE_OBJECT ||
        ParseFileObject(std::string_view(item.value).substr(2), &file) != kNoError) {
      continue;
    }
    auto pending = open->pendingObjects.find(file.header.rrv);
    if (pending == open->pendingObjects.end()) continue;
    uint32_t stored = 0;
    const PendingObject& object = pending->second;
    Status st = object.spooled ? db->store->InsertObjectFrom(object.spooled->size(),
                                                           [&](uint64_t at, size_t length, char* into) {
                                                             return object.spooled->Read(at, length, into);
                                                           },
                                                           object.flags, owner, &stored)
                               : db->store->InsertObject(object.data, object.flags, owner, &stored);
    if (st != kNoError) return st;
    patches->push_back({i, file.header.rrv});
    SetObjectNumber(&item, stored);
    if (owner == 0) open->note.attachedObjects.push_back(stored);
  }
  return kNoError;
}

void UndoObjectPatches(OpenNote* open, const std::vector<ObjectPatch>& patches) {
  for (const ObjectPatch& patch : patches) SetObjectNumber(&open->note.items[patch.item], patch.object);
}

Status FindAttachmentItem(HostState& s, NoteHandle note, std::string_view name, BlockId* found) {
  OpenNote* open = s.FindNote(note);
  if (open == nullptr) return kInvalidHandle;
  for (const auto& item : open->note.items) {
    uint16_t type = 0;
    if (ValueType(item.value, &type) != kNoError || type != TYPE_OBJECT) continue;
    FileObject file;
    std::string_view shown;
    if (FileNameOf(item, &file, &shown) && shown == name) {
      *found = BlockId{note, item.block};
      return kNoError;
    }
  }
  return kItemNotFound;
}

Status WriteRichTextItems(HostState& s, const CompoundText& compound) {
  if (s.FindNote(compound.note) == nullptr) return kInvalidHandle;
  std::vector<std::pair<size_t, size_t>> groups;  // paragraphs: offset, size with padding
  size_t at = 0;
  Status walked = ForEachCdRecord(compound.records, [&](const CdRecord& record) {
    size_t size = static_cast<size_t>(record.body.data() - compound.records.data()) - at + record.body.size();
    size += size % 2;
    bool starts = record.signature == SIG_CD_PARAGRAPH || record.signature == SIG_CD_PABDEFINITION;
    bool fits = !groups.empty() && groups.back().second + size <= Platform::kMaxRichTextItemBytes - 2;
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
    if (value.size() > 2 && value.size() + size > Platform::kMaxRichTextItemBytes) {
      if (Status st = AppendItem(s, compound.note, ITEM_SIGN, compound.itemName, std::move(value), nullptr);
          st != kNoError) {
        return st;
      }
      value.clear();
    }
    if (value.empty()) PutLe16(&value, TYPE_COMPOSITE);
    value.append(compound.records, offset, size);
  }
  if (value.empty()) PutLe16(&value, TYPE_COMPOSITE);
  return AppendItem(s, compound.note, ITEM_SIGN, compound.itemName, std::move(value), nullptr);
}

}  // namespace notesapi::host
