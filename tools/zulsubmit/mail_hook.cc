#include "tools/zulsubmit/mail_hook.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include "mailmonitor/service_queues.h"
#include "notesapi/scoped_handles.h"

namespace mailhook {

using namespace notesapi;

namespace {

constexpr char kMailBox[] = "mail.box";

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

int ReadStandardInput(std::string* data) {
  struct stat info {};
  if (::fstat(0, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    data->reserve(static_cast<size_t>(info.st_size));  // a file: its size once, not grown by doubling
  }
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) data->append(buffer, got);
  return std::ferror(stdin) ? -1 : 0;
}

void ExplainDamagedMailBox(Platform* p, const std::string& serverDirectory, std::string_view program) {
  std::cerr << program << ": " << DataDirectory(p, serverDirectory) << "/mail.box"
            << " is no database of this server: stop the tasks, move it aside (a new one is made with the next"
               " message) and take what it held from a backup\n";
}

}  // namespace

std::string DataDirectory(Platform* p, const std::string& serverDirectory) {
  std::string data;
  if (!p->IniGetText("Directory", 1024, &data) || data.empty()) data = "data";
  return data[0] == '/' ? data : serverDirectory + "/" + data;
}

bool HookHolds(Platform* p, const std::string& serverDirectory, const std::string& task) {
  std::string stateFile = serverDirectory + "/run/hook-" + Upper(task) + ".state";
  std::string state = "holding";
  std::ifstream(stateFile) >> state;
  ScopedQueue queue(p);
  bool changed = false;
  if (p->QueueOpen("MQ$ZULMAILHOOK" + Upper(task), kQueueCreate, queue.put()) == kNoError) {
    std::string message;
    while (p->QueueGet(queue.get(), 255, &message) == kNoError) {
      changed = true;
      if (message.find("MAILSCAN|UNHOLD") != std::string::npos) {
        state = "holding";
      } else if (message.find("MAILSCAN|HOLD") != std::string::npos) {
        state = "paused";
      } else if (message.find("MAILSCAN|INFO") != std::string::npos) {
        p->ConsoleLine("Mail hook " + Upper(task) + ": " + state);
      }
    }
  }
  if (changed) std::ofstream(stateFile, std::ios::trunc) << state << "\n";
  return state == "holding";
}

notesapi::Status PostHookRequest(Platform* p, DbHandle box, NoteId noteId, std::string* request) {
  *request = zul::FormatHookRequest(noteId, kMailBox);
  ScopedQueue queue(p);
  notesapi::Status s = p->QueueOpen(zul::kHookQueue, kQueueCreate, queue.put());
  if (s == kNoError) s = p->QueuePut(queue.get(), 1, *request);
  // Never leave a held message nobody was asked to scan; the caller says it
  // was not submitted.
  if (s != kNoError) (void)p->NoteDelete(box, noteId);
  return s;
}

namespace {

// Marks a stored message as the caller's.
notesapi::Status SetMark(Platform* p, DbHandle box, NoteId id, const ItemMark& mark) {
  ScopedNote note(p);
  notesapi::Status s = p->NoteOpen(box, id, kOpenRawMime, note.put());
  if (s == kNoError) s = p->ItemSetText(note.get(), mark.name, mark.value);
  if (s == kNoError) s = p->NoteUpdate(note.get(), kUpdateForce);
  return s;
}

}  // namespace

zul::Status StoreForScan(Platform* p, const std::string& serverDirectory, const std::string& task,
                         std::string_view message, const MessageEnvelope* envelope, const ItemMark* mark,
                         StoredMessage* stored) {
  notesapi::Status created = p->DbCreate(kMailBox, "Mail box");
  ScopedDb box(p);
  notesapi::Status s = created == kNoError || created == kDatabaseExists ? p->DbOpen(kMailBox, box.put()) : created;
  if (s != kNoError) {
    if (IsError(s, kDatabaseCorrupt)) return zul::Status::Corrupt("mail.box: " + p->StatusText(s));
    return zul::Status::FromPlatform(s, "mail.box: " + p->StatusText(s));
  }
  stored->held = HookHolds(p, serverDirectory, task);
  if (mark != nullptr && !stored->held) return zul::Status::OK();  // paused: the caller passes it on unscanned
  std::u16string scratch;
  for (char c : serverDirectory + "/run") scratch.push_back(static_cast<unsigned char>(c));
  // A marked message and its mark are one transaction: no crash in between
  // leaves held mail whose owner nobody knows.
  if (mark != nullptr) {
    if (s = p->BeginSaves(); s != kNoError) return zul::Status::FromPlatform(s, "not stored: " + p->StatusText(s));
  }
  ImportedMessage imported;
  s = ImportMimeMessage(p, box.get(), message, stored->held, scratch, envelope, &imported);
  stored->noteId = imported.noteId;
  stored->refusal = imported.refusal;
  if (s == kNoError && mark != nullptr) s = SetMark(p, box.get(), imported.noteId, *mark);
  if (mark != nullptr) {
    notesapi::Status ended = p->EndSaves(s == kNoError);
    if (s == kNoError) s = ended;
  }
  if (s == kNotAMessage) return zul::Status::InvalidArgument("not a mail message (" + imported.refusal + ")");
  if (s == kTooManyRecipients) return zul::Status::InvalidArgument("refused: " + imported.refusal + "; send it in parts");
  if (s != kNoError) return zul::Status::FromPlatform(s, "not stored: " + p->StatusText(s));
  if (!stored->held) return zul::Status::OK();
  std::string request;
  if (s = PostHookRequest(p, box.get(), imported.noteId, &request); s != kNoError) {
    return zul::Status::FromPlatform(s, "the hook request cannot be posted: " + p->StatusText(s));
  }
  return zul::Status::OK();
}

int SubmitFromStandardInput(Platform* p, const std::string& serverDirectory, const std::string& task,
                            const MessageEnvelope* envelope, std::string_view program) {
  std::string message;
  if (ReadStandardInput(&message) != 0) {
    std::cerr << program << ": standard input cannot be read; not submitted\n";
    return kExitTempFail;
  }
  StoredMessage stored;
  zul::Status s = StoreForScan(p, serverDirectory, task, message, envelope, nullptr, &stored);
  if (s.ok()) return 0;
  if (s.code() == zul::Status::Code::kInvalidArgument) {
    std::cerr << program << ": " << s.message() << "\n";
    return kExitDataError;
  }
  std::cerr << program << ": " << s.message() << "; the message stays with the sender's MTA\n";
  if (s.code() == zul::Status::Code::kCorrupt) ExplainDamagedMailBox(p, serverDirectory, program);
  return kExitTempFail;
}

}  // namespace mailhook
