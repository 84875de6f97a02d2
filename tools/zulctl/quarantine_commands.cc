#include "tools/zulctl/cli_support.h"
#include "tools/zulctl/quarantine_commands.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"
#include "tools/zulctl/db_commands.h"
#include "tools/zulctl/record_dates.h"
#include "tools/zulctl/value_format.h"

namespace zulctl {

using namespace notesapi;

namespace {

constexpr char kMailBox[] = "mail.box";

std::string QuarantinePath(Platform* p) {
  std::string path;
  if (!p->IniGetText("ZULQuarantineDatabase", 1024, &path) || path.empty()) path = "zulquarantine.nsf";
  return path;
}

std::string Text(Platform* p, NoteHandle note, const char* item) {
  std::string text;
  if (p->ItemGetText(note, item, 1023, &text) != kNoError) return {};
  return ToUtf8(p, text);
}

std::vector<std::string> List(Platform* p, NoteHandle note, const char* item) {
  std::vector<std::string> entries;
  uint16_t count = p->ItemTextListCount(note, item);
  for (uint16_t i = 0; i < count; ++i) {
    std::string entry;
    if (p->ItemTextListEntry(note, item, i, &entry) == kNoError && !entry.empty()) entries.push_back(ToUtf8(p, entry));
  }
  return entries;
}

std::string Joined(const std::vector<std::string>& entries) {
  std::string out;
  for (const std::string& e : entries) out += (out.empty() ? "" : ", ") + e;
  return out;
}

std::string RichText(Platform* p, NoteHandle note, const char* item) {
  std::string text;
  ItemInfo info;
  for (notesapi::Status s = p->ItemInfoByName(note, item, &info); s == kNoError; s = p->ItemInfoNext(note, info.item, item, &info)) {
    if (info.type != TYPE_COMPOSITE) continue;
    MemHandle block = kNullHandle;
    uint32_t length = 0;
    if (p->ConvertRichTextToText(info.value, "\n", 0, &block, &length) != kNoError) continue;
    ScopedMem owner(p, block);
    text.append(reinterpret_cast<const char*>(p->MemLock(block)), length);
    p->MemUnlock(block);
  }
  return ToUtf8(p, text);
}

struct StoredFile {
  BlockId item;
  std::string name;  // Notes character set
  uint32_t size = 0;
};

std::vector<StoredFile> FilesOf(Platform* p, NoteHandle note) {
  std::vector<StoredFile> files;
  ItemInfo item;
  for (notesapi::Status s = p->ItemInfoByName(note, "$FILE", &item); s == kNoError; s = p->ItemInfoNext(note, item.item, "$FILE", &item)) {
    std::string value;
    FileObject object;
    std::string_view name;
    if (p->ItemValue(item.value, &value) != kNoError || AttachmentName(value, &object, &name) != kNoError) continue;
    files.push_back({item.item, std::string(name), object.fileSize});
  }
  return files;
}

bool Contains(const std::string& text, const std::string& part) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  return lower(text).find(lower(part)) != std::string::npos;
}

Status ListDocuments(Platform* p, const QuarantineArguments& q) {
  TimeDate since{};
  bool haveSince = !q.since.empty();
  if (haveSince && !ParseDay(p, q.since, &since)) {
    return Status::InvalidArgument(std::string("not a date: ") + q.since + " (write it as 2026-12-31)");
  }
  const std::string& sender = q.sender;
  const std::string& recipient = q.recipient;
  std::string path = QuarantinePath(p);
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(path, db.put()); s != kNoError) return Fail(p, path, s);
  std::vector<NoteId> ids;
  if (notesapi::Status s = p->DbNoteIds(db.get(), &ids); s != kNoError) return Fail(p, path, s);
  std::printf("%-8s %-10s %-28s %-28s %5s  %s\n", "ID", "DATE", "SENDER", "RECIPIENTS", "FILES", "SUBJECT");
  int shown = 0;
  for (NoteId id : ids) {
    ScopedNote note(p);
    if (p->NoteOpen(db.get(), id, kOpenRawMime, note.put()) != kNoError) continue;
    TimeDate created{};
    bool dated = p->ItemGetTime(note.get(), "qmDateCreate", &created);
    if (haveSince && (!dated || p->TimeCompare(created, since) < 0)) continue;
    std::string from = Text(p, note.get(), "qmSender");
    std::string to = Joined(List(p, note.get(), "qmRecipients"));
    if (!sender.empty() && !Contains(from, sender)) continue;
    if (!recipient.empty() && !Contains(to, recipient)) continue;
    bool released = !Text(p, note.get(), "qmReleasedTo").empty();
    std::printf("0x%-6X %-10s %-28.28s %-28.28s %5zu  %s%s\n", id, dated ? DayOf(p, created).c_str() : "-",
                from.c_str(), to.c_str(), FilesOf(p, note.get()).size(), Text(p, note.get(), "qmSubject").c_str(),
                released ? "  (released)" : "");
    ++shown;
  }
  std::printf("%d document(s)\n", shown);
  return Status::OK();
}

Status Open(Platform* p, const std::string& idText, ScopedDb* db, ScopedNote* note, NoteId* id) {
  if (Status parsed = ParseNoteId(idText, id); !parsed.ok()) return parsed;
  std::string path = QuarantinePath(p);
  if (notesapi::Status s = p->DbOpen(path, db->put()); s != kNoError) return Fail(p, path, s);
  if (notesapi::Status s = p->NoteOpen(db->get(), *id, kOpenRawMime, note->put()); s != kNoError) {
    return Fail(p, "quarantine document " + idText, s);
  }
  return Status::OK();
}

Status ShowDocument(Platform* p, const std::string& idText) {
  ScopedDb db(p);
  ScopedNote note(p);
  NoteId id = 0;
  if (Status done = Open(p, idText, &db, &note, &id); !done.ok()) return done;
  TimeDate created{};
  std::string date;
  if (p->ItemGetTime(note.get(), "qmDateCreate", &created)) (void)p->TimeToText(created, &date);
  std::printf("Quarantined  %s\nServer       %s\nSender       %s\nRecipients   %s\nSendTo       %s\n", date.c_str(),
              Text(p, note.get(), "qmServer").c_str(), Text(p, note.get(), "qmSender").c_str(),
              Joined(List(p, note.get(), "qmRecipients")).c_str(), Joined(List(p, note.get(), "qmSendTo")).c_str());
  std::printf("CopyTo       %s\nBlindCopyTo  %s\nSubject      %s\n", Joined(List(p, note.get(), "qmCopyTo")).c_str(),
              Joined(List(p, note.get(), "qmBlindCopyTo")).c_str(), Text(p, note.get(), "qmSubject").c_str());
  std::string released = Text(p, note.get(), "qmReleasedTo");
  if (!released.empty()) {
    std::printf("Released     to %s by %s on %s\n", released.c_str(), Text(p, note.get(), "qmReleasedBy").c_str(),
                Text(p, note.get(), "qmReleasedAt").c_str());
  }
  std::printf("\n%s\n\nObjects:\n", RichText(p, note.get(), "qmBody").c_str());
  for (const StoredFile& file : FilesOf(p, note.get())) {
    std::printf("  %-40s %9u bytes\n", ToUtf8(p, file.name).c_str(), file.size);
  }
  ItemInfo item;
  if (p->ItemInfoByName(note.get(), "MIME_Version", &item) == kNoError ||
      p->ItemInfoByName(note.get(), "Body", &item) == kNoError) {
    std::printf("  (the whole message as it was stored)\n");
  }
  return Status::OK();
}

// A message in mail.box, not held: the router takes it as it is, and no
// hook request means it is not scanned again.
notesapi::Status BuildRelease(Platform* p, NoteHandle quarantined, const std::vector<std::string>& recipients,
                    const std::string& serverDirectory, NoteId* released) {
  ScopedDb box(p);
  if (notesapi::Status s = p->DbOpen(kMailBox, box.put()); s != kNoError) return s;
  ScopedNote message(p);
  if (notesapi::Status s = p->MailCreateMessage(box.get(), message.put()); s != kNoError) return s;
  ItemInfo item;
  bool whole = p->ItemInfoByName(quarantined, "MIME_Version", &item) == kNoError ||
               p->ItemInfoByName(quarantined, "Body", &item) == kNoError;
  if (whole) {
    (void)p->ItemDelete(message.get(), "Form");
    for (notesapi::Status s = p->ItemInfoFirst(quarantined, &item); s == kNoError; s = p->ItemInfoNext(quarantined, item.item, {}, &item)) {
      if (item.name.rfind("qm", 0) == 0 || item.name == "Form" || item.name == "RoutingState" || item.name == "Recipients") {
        continue;
      }
      if (notesapi::Status c = p->ItemCopy(message.get(), item.item); c != kNoError) return c;
    }
    (void)p->ItemSetText(message.get(), "Form", "Memo");
  } else {
    std::string text;
    (void)p->ItemGetText(quarantined, "qmSender", 1023, &text);
    (void)p->ItemSetText(message.get(), "From", text);
    text.clear();
    (void)p->ItemGetText(quarantined, "qmSubject", 1023, &text);
    (void)p->ItemSetText(message.get(), "Subject", text);
    std::u16string copy = WideUtf8(p, serverDirectory + "/run/quarantine-release.tmp");
    for (const StoredFile& file : FilesOf(p, quarantined)) {
      notesapi::Status s = p->ExtractFile(quarantined, file.item, copy);
      if (s == kNoError) s = p->AttachFile(message.get(), copy, file.name, 1, false, nullptr);
      (void)p->FileDelete(copy);
      if (s != kNoError) return s;
    }
  }
  bool first = true;
  for (const std::string& address : recipients) {
    std::string lmbcs;
    if (p->Translate(kTranslateUtf8ToLmbcs, address, &lmbcs) != kNoError) lmbcs = address;
    notesapi::Status s = first ? p->ItemCreateTextList(message.get(), "Recipients", lmbcs)
                     : p->ItemAppendTextList(message.get(), "Recipients", lmbcs, false);
    if (s != kNoError) return s;
    first = false;
  }
  if (notesapi::Status s = p->NoteUpdate(message.get(), kUpdateForce); s != kNoError) return s;
  NoteInfo info;
  if (notesapi::Status s = p->NoteGetInfo(message.get(), &info); s != kNoError) return s;
  *released = info.noteId;
  return kNoError;
}

Status ReleaseDocument(Platform* p, const std::string& serverDirectory, const QuarantineArguments& q) {
  ScopedDb db(p);
  ScopedNote note(p);
  NoteId id = 0;
  if (Status done = Open(p, q.id, &db, &note, &id); !done.ok()) return done;
  std::string already = Text(p, note.get(), "qmReleasedTo");
  if (!already.empty()) {
    return Status::Failed("quarantine document " + q.id + " was already released to " + already + " on " +
                          Text(p, note.get(), "qmReleasedAt") + "; nothing sent");
  }
  std::vector<std::string> recipients = !q.to.empty() ? std::vector<std::string>{q.to}
                                                         : List(p, note.get(), "qmRecipients");
  if (recipients.empty()) {
    return Status::InvalidArgument("the document names no recipient; give one with --to ADDRESS");
  }
  NoteId released = 0;
  if (notesapi::Status s = BuildRelease(p, note.get(), recipients, serverDirectory, &released); s != kNoError) {
    return Fail(p, "cannot release " + q.id, s);
  }
  const char* user = std::getenv("USER");
  std::string when;
  (void)p->TimeToText(p->TimeNow(), &when);
  std::string to = Joined(recipients);
  std::string lmbcs;
  (void)p->Translate(kTranslateUtf8ToLmbcs, to, &lmbcs);
  notesapi::Status s = p->ItemSetText(note.get(), "qmReleasedTo", lmbcs);
  if (s == kNoError) s = p->ItemSetText(note.get(), "qmReleasedBy", user != nullptr ? user : "unknown");
  if (s == kNoError) s = p->ItemSetText(note.get(), "qmReleasedAt", when);
  if (s == kNoError) s = p->NoteUpdate(note.get(), kUpdateForce);
  if (s != kNoError) return Fail(p, "released as note 0x" + std::to_string(released) + " but not recorded", s);
  std::printf("released to %s as note 0x%X of mail.box; zulctl mail route delivers it\n", to.c_str(), released);
  return Status::OK();
}

Status PurgeDocuments(Platform* p, long days) {
  TimeDate limit = p->TimeNow();
  if (notesapi::Status s = p->TimeAdjust(&limit, 0, -static_cast<int>(days)); s != kNoError) return Fail(p, "time", s);
  std::string path = QuarantinePath(p);
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(path, db.put()); s != kNoError) return Fail(p, path, s);
  std::vector<NoteId> ids;
  if (notesapi::Status s = p->DbNoteIds(db.get(), &ids); s != kNoError) return Fail(p, path, s);
  int purged = 0;
  for (NoteId id : ids) {
    TimeDate created{};
    {
      ScopedNote note(p);
      if (p->NoteOpen(db.get(), id, kOpenRawMime, note.put()) != kNoError) continue;
      if (!p->ItemGetTime(note.get(), "qmDateCreate", &created) || p->TimeCompare(created, limit) >= 0) continue;
    }
    if (p->NoteDelete(db.get(), id) == kNoError) ++purged;
  }
  std::printf("%d document(s) purged\n", purged);
  return Status::OK();
}

}  // namespace

Status QuarantineCommand(Platform* p, const std::string& serverDirectory, const std::string& action,
                      const QuarantineArguments& quarantine) {
  if (action == "ls") return ListDocuments(p, quarantine);
  if (action == "show") return ShowDocument(p, quarantine.id);
  if (action == "export") return ExtractNote(p, QuarantinePath(p), quarantine.id, false, quarantine.directory);
  if (action == "release") return ReleaseDocument(p, serverDirectory, quarantine);
  return PurgeDocuments(p, quarantine.olderThanDays);
}

}  // namespace zulctl
