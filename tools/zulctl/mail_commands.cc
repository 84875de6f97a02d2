#include "tools/zulctl/cli_support.h"
#include "tools/zulctl/mail_commands.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "mailmonitor/service_queues.h"
#include "notesapi/host/mime_import.h"
#include "notesapi/item_values.h"
#include "notesapi/scoped_handles.h"
#include "tools/common/file_read.h"
#include "tools/zulctl/mail_recovery.h"
#include "tools/zulctl/mail_relay.h"
#include "tools/zulctl/mail_report.h"
#include "tools/zulsubmit/mail_hook.h"
#include "notesapi/stored_structures.h"

namespace zulctl {

using namespace notesapi;

namespace {

constexpr char kMailBox[] = "mail.box";

std::u16string Wide(const std::string& path) { return std::u16string(path.begin(), path.end()); }

int Submit(Platform* p, const std::string& serverDirectory, const MailArguments& mail) {
  const std::string& task = mail.task;
  const std::vector<std::string>& files = mail.files;
  MessageEnvelope envelope{mail.sender, mail.recipients};
  bool haveEnvelope = mail.haveSender || !mail.recipients.empty();
  bool fromStdin = files.size() == 1 && files[0] == "-";
  if (haveEnvelope && (!fromStdin || envelope.recipients.empty())) {
    std::cerr << "zulctl: --from and --to take one message from standard input (-) and at least one recipient\n";
    return 2;
  }
  if (fromStdin) {
    return mailhook::SubmitFromStandardInput(p, serverDirectory, task, haveEnvelope ? &envelope : nullptr, "zulctl");
  }
  Status created = p->DbCreate(kMailBox, "Mail box");
  if (created != kNoError && created != kDatabaseExists) return Fail(p, kMailBox, created);
  ScopedDb box(p);
  if (Status s = p->DbOpen(kMailBox, box.put()); s != kNoError) return Fail(p, kMailBox, s);
  bool hold = mailhook::HookHolds(p, serverDirectory, task);
  std::u16string scratch = Wide(serverDirectory + "/run");
  int failed = 0;
  for (const std::string& file : files) {
    std::string message;
    std::string why;
    if (!tools::ReadWholeFile(file, &message, &why)) {
      std::cerr << "zulctl: " << file << " " << why << "; not submitted\n";
      ++failed;
      continue;
    }
    ImportedMessage imported;
    if (Status s = ImportMimeMessage(p, box.get(), message, hold, scratch, &imported); s != kNoError) {
      std::cerr << "zulctl: " << file << " not submitted: " << p->StatusText(s)
                << (imported.refusal.empty() ? "" : " (" + imported.refusal + ")") << "\n";
      ++failed;
      continue;
    }
    if (mail.memo) {
      // A Notes memo: the message as a reader sees it, stored that way.
      ScopedNote converted(p);
      Status s = p->NoteOpen(box.get(), imported.noteId, 0, converted.put());
      if (s == kNoError) s = p->NoteUpdate(converted.get(), kUpdateForce | kUpdateAsConverted);
      if (s != kNoError) {
        (void)p->NoteDelete(box.get(), imported.noteId);  // reported below; nothing half-made stays
        std::cerr << "zulctl: " << file << " not submitted as a memo: " << p->StatusText(s) << "\n";
        ++failed;
        continue;
      }
    }
    if (!hold) {
      std::printf("0x%X %s: in mail.box, not held (the hook of %s is paused)\n", imported.noteId, file.c_str(),
                  Upper(task).c_str());
      continue;
    }
    std::string request;
    if (Status s = mailhook::PostHookRequest(p, box.get(), imported.noteId, &request); s != kNoError) {
      std::cerr << "zulctl: " << file << " not submitted: cannot post the hook request: " << p->StatusText(s) << "\n";
      ++failed;
      continue;
    }
    std::printf("0x%X %s: held in mail.box; request %s posted\n", imported.noteId, file.c_str(), request.c_str());
  }
  return failed == 0 ? 0 : 1;
}

std::string ShortName(const std::string& address) {
  std::string local = address.substr(0, address.find('@'));
  std::string out;
  for (char c : local) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    bool safe = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    out.push_back(safe ? c : '_');
  }
  return out.empty() ? "unknown" : out;
}

// Recipients a message was already copied to: a route that stops half way
// (a full disk, a crash) goes on with the others and copies none twice.
constexpr char kDeliveredTo[] = "$ZulDeliveredTo";

// Copies every item but the router's own; attachments carry their data
// into the other database.
Status CopyNote(Platform* p, NoteHandle from, DbHandle to, const std::u16string& scratch, NoteId* copied) {
  ScopedNote target(p);
  if (Status s = p->NoteCreate(to, target.put()); s != kNoError) return s;
  ItemInfo item;
  for (Status s = p->ItemInfoFirst(from, &item); s == kNoError; s = p->ItemInfoNext(from, item.item, {}, &item)) {
    if (item.name == "RoutingState" || item.name == kDeliveredTo) continue;
    if (item.type == TYPE_OBJECT) {
      std::string value;
      FileObject file;
      std::string_view stored;
      if (p->ItemValue(item.value, &value) != kNoError || AttachmentName(value, &file, &stored) != kNoError) continue;
      std::string name(stored);
      std::u16string copy = scratch + u"/route-copy-" + Wide(std::to_string(p->ProcessId()));
      if (Status x = p->ExtractFile(from, item.item, copy); x != kNoError) return x;
      Status a = p->AttachFile(target.get(), copy, name, file.compressionType, false, nullptr);
      (void)p->FileDelete(copy);  // a temporary copy
      if (a != kNoError) return a;
      continue;
    }
    if (Status c = p->ItemCopy(target.get(), item.item); c != kNoError) return c;
  }
  if (Status s = p->NoteUpdate(target.get(), kUpdateForce); s != kNoError) return s;
  NoteInfo info;
  if (Status s = p->NoteGetInfo(target.get(), &info); s != kNoError) return s;
  *copied = info.noteId;
  return kNoError;
}

// Free space a route leaves on the data folder's file system.
constexpr uint64_t kDiskReserve = 64ull << 20;

// The bytes a copy of the note takes: its items and its attachments' data.
uint64_t NoteBytes(Platform* p, NoteHandle note) {
  uint64_t bytes = 0;
  ItemInfo item;
  for (Status s = p->ItemInfoFirst(note, &item); s == kNoError; s = p->ItemInfoNext(note, item.item, {}, &item)) {
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
  uint16_t count = p->ItemTextListCount(note, kDeliveredTo);
  for (uint16_t i = 0; i < count; ++i) {
    std::string done;
    if (p->ItemTextListEntry(note, kDeliveredTo, i, &done) == kNoError && done == address) return true;
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

int Route(Platform* p, const std::string& serverDirectory, bool summary = true) {
  ScopedDb box(p);
  if (Status s = p->DbOpen(kMailBox, box.put()); s != kNoError) return Fail(p, kMailBox, s);
  std::vector<NoteId> ids;
  if (Status s = p->DbNoteIds(box.get(), &ids); s != kNoError) return Fail(p, kMailBox, s);
  std::string dataFolder = mailhook::DataDirectory(p, serverDirectory);
  int delivered = 0;
  int held = 0;
  for (NoteId id : ids) {
    ScopedNote note(p);
    // Mail goes on as it was stored: MIME stays MIME.
    if (p->NoteOpen(box.get(), id, kOpenRawMime, note.put()) != kNoError) continue;
    ItemInfo routing;
    if (p->ItemInfoByName(note.get(), "RoutingState", &routing) == kNoError) {
      ++held;
      continue;
    }
    uint16_t count = p->ItemTextListCount(note.get(), "Recipients");
    bool ok = count > 0;
    if (!ok) std::printf("0x%X has no recipient address; left in mail.box\n", id);
    uint16_t copies = 0;
    for (uint16_t i = 0; i < count; ++i) {
      std::string address;
      copies += p->ItemTextListEntry(note.get(), "Recipients", i, &address) == kNoError &&
                !AlreadyDelivered(p, note.get(), address);
    }
    if (ok && !CopiesFit(p, note.get(), id, copies, dataFolder)) continue;
    for (uint16_t i = 0; i < count && ok; ++i) {
      std::string address;
      if (p->ItemTextListEntry(note.get(), "Recipients", i, &address) != kNoError) continue;
      if (AlreadyDelivered(p, note.get(), address)) continue;
      std::string path = "mail/" + ShortName(address) + ".nsf";
      Status c = p->DbCreate(path, address);
      ScopedDb mail(p);
      NoteId copied = 0;
      if ((c != kNoError && c != kDatabaseExists) || p->DbOpen(path, mail.put()) != kNoError ||
          CopyNote(p, note.get(), mail.get(), Wide(serverDirectory + "/run"), &copied) != kNoError) {
        std::cerr << "zulctl: 0x" << std::hex << id << std::dec << " not delivered to " << address << "\n";
        ok = false;
        continue;
      }
      // Recorded at once: a route that stops before the last recipient does
      // not copy to this one again.
      Status recorded = p->ItemAppendTextList(note.get(), kDeliveredTo, address, true);
      if (recorded == kNoError) recorded = p->NoteUpdate(note.get(), kUpdateForce);
      if (recorded != kNoError) {
        (void)Fail(p, "delivered to " + address + " but not recorded", recorded);  // said here; the route stops
        ok = false;
      }
      // The note ID in the recipient's database is what mail export and report take.
      std::printf("0x%X delivered to %s as note 0x%X of %s\n", id, address.c_str(), copied, path.c_str());
    }
    if (ok) {
      (void)note.close();  // closed before it is deleted
      if (p->NoteDelete(box.get(), id) == kNoError) ++delivered;
    }
  }
  if (summary) std::printf("%d delivered, %d still held\n", delivered, held);
  std::fflush(stdout);
  return 0;
}

int Export(Platform* p, const std::string& serverDirectory, const std::string& database, const std::string& noteId) {
  NoteId id = 0;
  if (!ParseNoteId(noteId, &id)) return 2;
  ScopedDb db(p);
  if (Status s = p->DbOpen(database, db.put()); s != kNoError) return Fail(p, database, s);
  ScopedNote note(p);
  if (Status s = p->NoteOpen(db.get(), id, kOpenRawMime, note.put()); s != kNoError) {
    return Fail(p, noteId, s);
  }
  std::string message;
  if (Status s = ExportMimeMessage(p, note.get(), Wide(serverDirectory + "/run"), &message); s != kNoError) {
    return Fail(p, "no MIME message in note " + noteId, s);
  }
  std::fwrite(message.data(), 1, message.size(), stdout);
  return 0;
}


// One router per server: two would hand the same messages over twice.
bool TakeRouterInstance(Platform* p, const std::string& serverDirectory) {
  constexpr char kRouter[] = "ZulRouter";
  Status s = p->AcquireInstance(kRouter);
  if (s == kNoError) return true;
  if (IsError(s, kInstanceRunning)) {
    std::string holder;
    std::ifstream in(serverDirectory + "/run/zulrouter.instance");
    std::getline(in, holder);
    std::cerr << "zulctl: a router is already running on this server (process " << (holder.empty() ? "?" : holder)
              << "); not started\n";
  } else {
    std::cerr << "zulctl: the router's instance lock cannot be taken: " << p->StatusText(s) << "\n";
  }
  return false;
}

}  // namespace

int MailCommand(Platform* p, const std::string& serverDirectory, const std::string& action, const MailArguments& mail) {
  if (action == "submit") return Submit(p, serverDirectory, mail);
  if (action == "route") {
    if (!TakeRouterInstance(p, serverDirectory)) return 1;
    if (!mail.follow) return Route(p, serverDirectory);
    const std::string& task = mail.task;
    return FollowMailBox(p, serverDirectory, task, mail.sendmail,
                         [&] { (void)mailhook::HookHolds(p, serverDirectory, task); },
                         [&] { (void)Route(p, serverDirectory, false); });
  }
  if (action == "export") return Export(p, serverDirectory, mail.database, mail.noteId);
  if (action == "report") return MailReport(p, serverDirectory, mail.database, mail.noteId);
  if (action == "held") return ListHeldMail(p, serverDirectory);
  return RequeueHeldMail(p, serverDirectory, mail.setAside);
}

}  // namespace zulctl
