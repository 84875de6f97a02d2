#include "tools/zulctl/mail_recovery.h"

#include <cstdio>
#include <iostream>
#include <set>
#include <vector>

#include "tools/zulctl/cli_support.h"
#include "mailmonitor/scan_attempts.h"
#include "mailmonitor/service_queues.h"
#include "notesapi/host/host_admin.h"
#include "notesapi/scoped_handles.h"

namespace zulctl {

using namespace notesapi;

namespace {

constexpr char kMailBox[] = "mail.box";
using zul::kHookQueue;

// 0x8F8, as the router and the monitor write note IDs.
std::string HexId(NoteId id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", id);
  return text;
}

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

notesapi::Status FindHeld(Platform* p, const std::string& serverDirectory, std::vector<HeldMail>* held) {
  ScopedDb box(p);
  if (notesapi::Status s = p->DbOpen(kMailBox, box.put()); s != kNoError) return s;
  std::vector<NoteId> ids;
  if (notesapi::Status s = p->DbNoteIds(box.get(), &ids); s != kNoError) return s;
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

Status ListHeldMail(Platform* p, const std::string& serverDirectory) {
  std::vector<HeldMail> held;
  if (notesapi::Status s = FindHeld(p, serverDirectory, &held); s != kNoError) {
    return Status::FromPlatform(s, std::string(kMailBox) + ": " + p->StatusText(s));
  }
  std::printf("%-10s %10s  %s\n", "NOTEID", "AGE (s)", "REQUEST");
  for (const HeldMail& mail : held) {
    const char* request = mail.setAside      ? "set aside: it stopped the monitor (zulctl mail requeue --set-aside)"
                          : mail.requestWaits ? "waiting"
                                              : "none (zulctl mail requeue)";
    std::printf("0x%-8X %10.0f  %s\n", mail.id, mail.ageSeconds, request);
  }
  std::printf("%zu held\n", held.size());
  return Status::OK();
}

namespace {

// The mark and the count of a document set aside go: it is tried afresh.
notesapi::Status ClearSetAside(Platform* p, NoteId id) {
  ScopedDb box(p);
  ScopedNote note(p);
  notesapi::Status s = p->DbOpen(kMailBox, box.put());
  if (s == kNoError) s = p->NoteOpen(box.get(), id, kOpenRawMime, note.put());
  if (s != kNoError) return s;
  (void)p->ItemDelete(note.get(), zul::kSetAsideItem);  // present: it was found set aside
  (void)p->ItemDelete(note.get(), zul::kScanCrashesItem);
  return p->NoteUpdate(note.get(), kUpdateForce);
}

}  // namespace

Status RequeueHeldMail(Platform* p, const std::string& serverDirectory, bool setAside) {
  std::vector<HeldMail> held;
  if (notesapi::Status s = FindHeld(p, serverDirectory, &held); s != kNoError) {
    if (IsError(s, kDatabaseNotFound)) {
      std::printf("no mail.box: nothing held\n");
      return Status::OK();
    }
    return Status::FromPlatform(s, std::string(kMailBox) + ": " + p->StatusText(s));
  }
  ScopedQueue queue(p);
  if (notesapi::Status s = p->QueueOpen(kHookQueue, kQueueCreate, queue.put()); s != kNoError) {
    return Status::FromPlatform(s, std::string(kHookQueue) + ": " + p->StatusText(s));
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
      if (notesapi::Status s = ClearSetAside(p, mail.id); s != kNoError) {
        return Status::FromPlatform(s, HexId(mail.id) + " stays set aside: " + p->StatusText(s));
      }
    }
    std::string request = zul::FormatHookRequest(mail.id, kMailBox);
    if (notesapi::Status s = p->QueuePut(queue.get(), 1, request); s != kNoError) {
      return Status::FromPlatform(s, "request for " + HexId(mail.id) + " not posted: " + p->StatusText(s));
    }
    ++posted;
  }
  std::printf("%zu held, %d request(s) posted", held.size(), posted);
  if (leftAside > 0) std::printf(", %d set aside (zulctl mail requeue --set-aside)", leftAside);
  std::printf("\n");
  return Status::OK();
}

}  // namespace zulctl
