#include "tools/zulrouter/local_delivery.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "base/held_mail_items.h"
#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"
#include "tools/zulsubmit/mail_hook.h"

namespace zulrouter {

using namespace notesapi;
using zul::Status;

namespace {

constexpr char kMailBox[] = "mail.box";

// Free space a delivery leaves on the data folder's file system.
constexpr uint64_t kDiskReserve = 64ull << 20;

std::u16string Wide(const std::string& path) { return std::u16string(path.begin(), path.end()); }

// Copies every item but the router's own; attachments carry their data
// into the other database.
notesapi::Status CopyNote(Platform* p, NoteHandle from, DbHandle to, const std::u16string& scratch, NoteId* copied) {
  ScopedNote target(p);
  if (notesapi::Status s = p->NoteCreate(to, target.put()); s != kNoError) return s;
  ItemInfo item;
  for (notesapi::Status s = p->ItemInfoFirst(from, &item); s == kNoError; s = p->ItemInfoNext(from, item.item, {}, &item)) {
    if (item.name == "RoutingState" || item.name == kDeliveredToItem) continue;
    if (item.type == TYPE_OBJECT) {
      std::string value;
      FileObject file;
      std::string_view stored;
      if (p->ItemValue(item.value, &value) != kNoError || AttachmentName(value, &file, &stored) != kNoError) continue;
      std::string name(stored);
      std::u16string copy = scratch + u"/route-copy-" + Wide(std::to_string(p->ProcessId()));
      if (notesapi::Status x = p->ExtractFile(from, item.item, copy); x != kNoError) return x;
      notesapi::Status a = p->AttachFile(target.get(), copy, name, file.compressionType, false, nullptr);
      (void)p->FileDelete(copy);  // a temporary copy
      if (a != kNoError) return a;
      continue;
    }
    if (notesapi::Status c = p->ItemCopy(target.get(), item.item); c != kNoError) return c;
  }
  if (notesapi::Status s = p->NoteUpdate(target.get(), kUpdateForce); s != kNoError) return s;
  NoteInfo info;
  if (notesapi::Status s = p->NoteGetInfo(target.get(), &info); s != kNoError) return s;
  *copied = info.noteId;
  return kNoError;
}

// The bytes a copy of the note takes: its items and its attachments' data.
uint64_t NoteBytes(Platform* p, NoteHandle note) {
  uint64_t bytes = 0;
  ItemInfo item;
  for (notesapi::Status s = p->ItemInfoFirst(note, &item); s == kNoError; s = p->ItemInfoNext(note, item.item, {}, &item)) {
    bytes += item.valueLength;
    std::string value;
    FileObject file;
    std::string_view name;
    if (item.type == TYPE_OBJECT && p->ItemValue(item.value, &value) == kNoError &&
        AttachmentName(value, &file, &name) == kNoError) {
      bytes += file.fileSize;
    }
  }
  return bytes;
}

bool AlreadyDelivered(Platform* p, NoteHandle note, const std::string& address) {
  uint16_t count = p->ItemTextListCount(note, kDeliveredToItem);
  for (uint16_t i = 0; i < count; ++i) {
    std::string done;
    if (p->ItemTextListEntry(note, kDeliveredToItem, i, &done) == kNoError && done == address) return true;
  }
  return false;
}

// Whether the copies still to make fit on the disk with room to spare; says
// why not when they do not.
bool CopiesFit(Platform* p, NoteHandle note, NoteId id, uint16_t copies, const std::string& dataFolder) {
  std::error_code error;
  std::filesystem::space_info space = std::filesystem::space(dataFolder, error);
  if (error) return true;  // unknown: the copies themselves will say when the disk is full
  // A copy is written to the log and then into the file.
  uint64_t needed = 2 * NoteBytes(p, note) * copies + kDiskReserve;
  if (space.available >= needed) return true;
  std::printf("0x%X left in mail.box: %u copies need %llu MB, %llu MB are free\n", id, copies,
              static_cast<unsigned long long>(needed >> 20), static_cast<unsigned long long>(space.available >> 20));
  return false;
}

std::vector<std::string> Recipients(Platform* p, NoteHandle note) {
  std::vector<std::string> addresses;
  uint16_t count = p->ItemTextListCount(note, "Recipients");
  for (uint16_t i = 0; i < count; ++i) {
    std::string address;
    if (p->ItemTextListEntry(note, "Recipients", i, &address) == kNoError) addresses.push_back(address);
  }
  return addresses;
}

// Copies the message to one recipient and records it in the message at
// once: a delivery that stops before the last recipient does not copy to
// this one again. False (said) when the copy or its record failed.
bool DeliverTo(Platform* p, const std::string& serverDirectory, NoteHandle note, NoteId id, const std::string& address) {
  std::string path = "mail/" + MailFileOf(address) + ".nsf";
  notesapi::Status c = p->DbCreate(path, address);
  ScopedDb mail(p);
  NoteId copied = 0;
  if ((c != kNoError && c != kDatabaseExists) || p->DbOpen(path, mail.put()) != kNoError ||
      CopyNote(p, note, mail.get(), Wide(serverDirectory + "/run"), &copied) != kNoError) {
    std::fprintf(stderr, "0x%X not delivered to %s\n", id, address.c_str());
    return false;
  }
  notesapi::Status recorded = p->ItemAppendTextList(note, kDeliveredToItem, address, true);
  if (recorded == kNoError) recorded = p->NoteUpdate(note, kUpdateForce);
  if (recorded != kNoError) {
    std::fprintf(stderr, "0x%X delivered to %s but not recorded: %s (status 0x%X); the delivery stops here\n", id,
                 address.c_str(), p->StatusText(recorded).c_str(), ErrorOf(recorded));
  }
  // The note ID in the recipient's database is what mail export and report take.
  std::printf("0x%X delivered to %s as note 0x%X of %s\n", id, address.c_str(), copied, path.c_str());
  return recorded == kNoError;
}

// Serves every recipient not served yet; true when all of them are.
bool DeliverMessage(Platform* p, const std::string& serverDirectory, NoteHandle note, NoteId id) {
  std::vector<std::string> recipients = Recipients(p, note);
  if (p->ItemTextListCount(note, "Recipients") == 0) {
    std::printf("0x%X has no recipient address; left in mail.box\n", id);
    return false;
  }
  uint16_t copies = 0;
  for (const std::string& address : recipients) copies += !AlreadyDelivered(p, note, address);
  if (!CopiesFit(p, note, id, copies, mailhook::DataDirectory(p, serverDirectory))) return false;
  for (const std::string& address : recipients) {
    if (AlreadyDelivered(p, note, address)) continue;
    if (!DeliverTo(p, serverDirectory, note, id, address)) return false;
  }
  return true;
}

}  // namespace

std::string MailFileOf(const std::string& address) {
  std::string local = address.substr(0, address.find('@'));
  std::string out;
  for (char c : local) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    bool safe = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    out.push_back(safe ? c : '_');
  }
  return out.empty() ? "unknown" : out;
}

Status DeliverLocally(Platform* p, const std::string& serverDirectory, DeliveryCounts* counts) {
  ScopedDb box(p);
  if (notesapi::Status s = p->DbOpen(kMailBox, box.put()); s != kNoError) {
    return Status::FromPlatform(s, std::string(kMailBox) + ": " + p->StatusText(s));
  }
  std::vector<NoteId> ids;
  if (notesapi::Status s = p->DbNoteIds(box.get(), &ids); s != kNoError) {
    return Status::FromPlatform(s, std::string(kMailBox) + ": " + p->StatusText(s));
  }
  for (NoteId id : ids) {
    ScopedNote note(p);
    // Mail goes on as it was stored: MIME stays MIME.
    if (p->NoteOpen(box.get(), id, kOpenRawMime, note.put()) != kNoError) continue;
    ItemInfo item;
    if (p->ItemInfoByName(note.get(), "RoutingState", &item) == kNoError) {
      ++counts->held;
      continue;
    }
    if (p->ItemInfoByName(note.get(), zul::kMilterOwnerItem, &item) == kNoError) continue;  // the milter answers for it
    if (!DeliverMessage(p, serverDirectory, note.get(), id)) continue;
    (void)note.close();  // closed before it is deleted
    if (p->NoteDelete(box.get(), id) == kNoError) ++counts->delivered;
  }
  std::fflush(stdout);
  return Status::OK();
}

}  // namespace zulrouter
