#include "notesapi/host/internal/attachment_role.h"

#include <algorithm>

namespace notesapi::host {

Status AttachmentRole::ReadStructure(uint16_t type, std::string_view stored, size_t* offset, std::string* memory) {
  size_t size = StructureSize(type);
  if (size == 0) return kBadArgument;
  // Stored and in-memory forms agree on a little-endian machine with packed fields.
  if (*offset > stored.size() || stored.size() - *offset < size) return kValueTooShort;
  memory->assign(stored.substr(*offset, size));
  *offset += size;
  return kNoError;
}

Status AttachmentRole::AttachFile(NoteHandle note, std::u16string_view path, std::string_view name,
                                  uint16_t compression, bool encrypted, BlockId* item) {
  if (s_.FindNote(note) == nullptr) return kInvalidHandle;
  uint64_t size = 0;
  if (Status st = s_.platform->FileSize(path, &size); st != kNoError) return st;
  if (size >= kSpoolFromBytes) {
    std::shared_ptr<const SpooledFile> spooled;
    if (Status st = SpoolCopy(s_.serverDirectory + "/run", s_.LocalPath(path), &spooled); st != kNoError) return st;
    return AttachSpooled(s_, note, std::move(spooled), name, compression, encrypted, item);
  }
  std::string data;
  if (Status st = s_.platform->FileRead(path, &data); st != kNoError) return st;
  return AttachData(s_, note, std::move(data), name, compression, encrypted, item);
}

Status AttachmentRole::ExtractFile(NoteHandle note, BlockId item, std::u16string_view path) {
  FileObject file;
  OpenDatabase* db = nullptr;
  if (Status st = AttachmentOf(s_, note, item, &file, &db); st != kNoError) return st;
  // A large file that waits for its save on disk goes file to file.
  OpenNote* open = s_.FindNote(note);
  if (auto pending = open->pendingObjects.find(file.header.rrv);
      pending != open->pendingObjects.end() && pending->second.spooled && !(pending->second.flags & kObjectEncrypted)) {
    if (pending->second.spooled->size() != file.fileSize) return kDatabaseCorrupt;
    return pending->second.spooled->WriteTo(s_.LocalPath(path));
  }
  std::string data;
  uint32_t flags = 0;
  if (Status st = ReadNoteObject(s_, note, file.header.rrv, &data, &flags); st != kNoError) return st;
  if (flags & kObjectEncrypted) return kAttachmentEncrypted;
  if (data.size() != file.fileSize) return kDatabaseCorrupt;
  return s_.platform->FileWrite(path, data);
}

Status AttachmentRole::DetachFile(NoteHandle note, BlockId item) {
  FileObject file;
  OpenDatabase* db = nullptr;
  if (Status st = AttachmentOf(s_, note, item, &file, &db); st != kNoError) return st;
  OpenNote* open = s_.FindNote(note);
  auto& attached = open->note.attachedObjects;
  auto unsaved = std::find(attached.begin(), attached.end(), file.header.rrv);
  if (open->pendingObjects.erase(file.header.rrv) > 0) {
    // never stored: nothing to remove
  } else if (unsaved != attached.end()) {
    attached.erase(unsaved);
    (void)db->store->DeleteObject(file.header.rrv);  // never saved: an orphan at worst
  } else {
    open->note.detachedObjects.push_back(file.header.rrv);
  }
  auto it = FindItem(open, item.block);
  open->note.items.erase(it);  // found by AttachmentOf above
  return kNoError;
}

}  // namespace notesapi::host
