#include "tools/zulctl/mail_recovery.h"

#include <cstdio>
#include <iostream>
#include <set>
#include <vector>

#include "mailmonitor/scan_attempts.h"
#include "mailmonitor/service_queues.h"
#include "notesapi/host/host_admin.h"
#include "notesapi/scoped_handles.h"

namespace zulctl {

using namespace notesapi;

namespace {

constexpr char kMailBox[] = "mail.box";
using zul::kHookQueue;

struct HeldMail {
  NoteId id = 0;
  double ageSeconds = 0;
  bool requestWaits = false;
  bool setAside = false;
};

// The note IDs that waiting hook requests for mail.box name.
std::set<NoteId> RequestedNotes(const std::string& serverDirectory) {
  std::set<NoteId> ids;
  std::vector<std::string> waiting;
  if (WaitingMessages(serverDirectory, kHookQueue, &waiting) != kNoError) return ids;
  for (const std::string& request : waiting) {
    zul::HookRequest parsed;
    if (zul::ParseHookRequest(request, &parsed) && parsed.path == kMailBox) ids.insert(parsed.noteId);
  }
  return ids;
}

Status FindHeld(Platform* p, const std::string& serverDirectory, std::vector<HeldMail>* held) {
  ScopedDb box(p);
  if (Status s = p->DbOpen(kMailBox, box.put()); s != kNoError) return s;
  std::vector<NoteId> ids;
  if (Status s = p->DbNoteIds(box.get(), &ids); s != kNoError) return s;
  std::set<NoteId> requested = RequestedNotes(serverDirectory);
  TimeDate now = p->TimeNow();
  for (NoteId id : ids) {
    ScopedNote note(p);
    if (p->NoteOpen(box.get(), id, kOpenRawMime, note.put()) != kNoError) continue;
    ItemInfo routing;
    if (p->ItemInfoByName(note.get(), "RoutingState", &routing) != kNoError) continue;
    NoteInfo info;
    (void)p->NoteGetInfo(note.get(), &info);  // the note is open
    held->push_back({id, p->TimeDifferenceSeconds(now, info.modified), requested.count(id) > 0,
                     zul::IsSetAside(p, note.get())});
  }
  return kNoError;
}

}  // namespace

int ListHeldMail(Platform* p, const std::string& serverDirectory) {
  std::vector<HeldMail> held;
  if (Status s = FindHeld(p, serverDirectory, &held); s != kNoError) {
    std::cerr << "zulctl: " << kMailBox << ": " << p->StatusText(s) << "\n";
    return 1;
  }
  std::printf("%-10s %10s  %s\n", "NOTEID", "AGE (s)", "REQUEST");
  for (const HeldMail& mail : held) {
    const char* request = mail.setAside      ? "set aside: it stopped the monitor (zulctl mail requeue --set-aside)"
                          : mail.requestWaits ? "waiting"
                                              : "none (zulctl mail requeue)";
    std::printf("0x%-8X %10.0f  %s\n", mail.id, mail.ageSeconds, request);
  }
  std::printf("%zu held\n", held.size());
  return 0;
}

namespace {

// The mark and the count of a document set aside go: it is tried afresh.
Status ClearSetAside(Platform* p, NoteId id) {
  ScopedDb box(p);
  ScopedNote note(p);
  Status s = p->DbOpen(kMailBox, box.put());
  if (s == kNoError) s = p->NoteOpen(box.get(), id, kOpenRawMime, note.put());
  if (s != kNoError) return s;
  (void)p->ItemDelete(note.get(), zul::kSetAsideItem);  // present: it was found set aside
  (void)p->ItemDelete(note.get(), zul::kScanCrashesItem);
  return p->NoteUpdate(note.get(), kUpdateForce);
}

}  // namespace

int RequeueHeldMail(Platform* p, const std::string& serverDirectory, bool setAside) {
  std::vector<HeldMail> held;
  if (Status s = FindHeld(p, serverDirectory, &held); s != kNoError) {
    if (IsError(s, kDatabaseNotFound)) {
      std::printf("no mail.box: nothing held\n");
      return 0;
    }
    std::cerr << "zulctl: " << kMailBox << ": " << p->StatusText(s) << "\n";
    return 1;
  }
  ScopedQueue queue(p);
  if (Status s = p->QueueOpen(kHookQueue, kQueueCreate, queue.put()); s != kNoError) {
    std::cerr << "zulctl: " << kHookQueue << ": " << p->StatusText(s) << "\n";
    return 1;
  }
  int posted = 0;
  int leftAside = 0;
  for (const HeldMail& mail : held) {
    if (mail.requestWaits) continue;
    if (mail.setAside && !setAside) {
      ++leftAside;
      continue;
    }
    if (mail.setAside) {
      if (Status s = ClearSetAside(p, mail.id); s != kNoError) {
        std::cerr << "zulctl: 0x" << std::hex << mail.id << std::dec << " stays set aside: " << p->StatusText(s) << "\n";
        return 1;
      }
    }
    std::string request = zul::FormatHookRequest(mail.id, kMailBox);
    if (Status s = p->QueuePut(queue.get(), 1, request); s != kNoError) {
      std::cerr << "zulctl: request for 0x" << std::hex << mail.id << std::dec << " not posted: " << p->StatusText(s) << "\n";
      return 1;
    }
    ++posted;
  }
  std::printf("%zu held, %d request(s) posted", held.size(), posted);
  if (leftAside > 0) std::printf(", %d set aside (zulctl mail requeue --set-aside)", leftAside);
  std::printf("\n");
  return 0;
}

}  // namespace zulctl
