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
#include "tools/zulctl/mail_report.h"
#include "tools/zulrouter/local_delivery.h"
#include "tools/zulrouter/mail_router.h"
#include "tools/zulsubmit/mail_hook.h"
#include "notesapi/stored_structures.h"

namespace zulctl {

using namespace notesapi;

namespace {

constexpr char kMailBox[] = "mail.box";

std::u16string Wide(const std::string& path) { return std::u16string(path.begin(), path.end()); }

// Message files into mail.box, held for the monitor unless its hook is paused.
Status SubmitFiles(Platform* p, const std::string& serverDirectory, const MailArguments& mail) {
  const std::string& task = mail.task;
  const std::vector<std::string>& files = mail.files;
  notesapi::Status created = p->DbCreate(kMailBox, "Mail box");
  if (created != kNoError && created != kDatabaseExists) return Fail(p, kMailBox, created);
  ScopedDb box(p);
  if (notesapi::Status s = p->DbOpen(kMailBox, box.put()); s != kNoError) return Fail(p, kMailBox, s);
  bool hold = mailhook::HookHolds(p, serverDirectory, task);
  std::u16string scratch = Wide(serverDirectory + "/run");
  Status failed;
  for (const std::string& file : files) {
    std::string message;
    std::string why;
    if (!tools::ReadWholeFile(file, &message, &why)) {
      failed = Say(Status::NotFound(file + " " + why + "; not submitted"));
      continue;
    }
    ImportedMessage imported;
    if (notesapi::Status s = ImportMimeMessage(p, box.get(), message, hold, scratch, &imported); s != kNoError) {
      failed = Say(Status::FromPlatform(s, file + " not submitted: " + p->StatusText(s) +
                                               (imported.refusal.empty() ? "" : " (" + imported.refusal + ")")));
      continue;
    }
    if (mail.memo) {
      // A Notes memo: the message as a reader sees it, stored that way.
      ScopedNote converted(p);
      notesapi::Status s = p->NoteOpen(box.get(), imported.noteId, 0, converted.put());
      if (s == kNoError) s = p->NoteUpdate(converted.get(), kUpdateForce | kUpdateAsConverted);
      if (s != kNoError) {
        (void)p->NoteDelete(box.get(), imported.noteId);  // reported below; nothing half-made stays
        failed = Say(Status::FromPlatform(s, file + " not submitted as a memo: " + p->StatusText(s)));
        continue;
      }
    }
    if (!hold) {
      std::printf("0x%X %s: in mail.box, not held (the hook of %s is paused)\n", imported.noteId, file.c_str(),
                  Upper(task).c_str());
      continue;
    }
    std::string request;
    if (notesapi::Status s = mailhook::PostHookRequest(p, box.get(), imported.noteId, &request); s != kNoError) {
      failed = Say(Status::FromPlatform(s, file + " not submitted: cannot post the hook request: " + p->StatusText(s)));
      continue;
    }
    std::printf("0x%X %s: held in mail.box; request %s posted\n", imported.noteId, file.c_str(), request.c_str());
  }
  return failed;
}

// An exit code: from standard input, the sysexits codes the MTA reads.
int Submit(Platform* p, const std::string& serverDirectory, const MailArguments& mail) {
  const std::vector<std::string>& files = mail.files;
  MessageEnvelope envelope{mail.sender, mail.recipients};
  bool haveEnvelope = mail.haveSender || !mail.recipients.empty();
  bool fromStdin = files.size() == 1 && files[0] == "-";
  if (haveEnvelope && (!fromStdin || envelope.recipients.empty())) {
    return ExitCodeOf(
        Status::InvalidArgument("--from and --to take one message from standard input (-) and at least one recipient"));
  }
  if (fromStdin) {
    return mailhook::SubmitFromStandardInput(p, serverDirectory, mail.task, haveEnvelope ? &envelope : nullptr, "zulctl");
  }
  return ExitCodeOf(SubmitFiles(p, serverDirectory, mail));
}

Status Export(Platform* p, const std::string& serverDirectory, const std::string& database, const std::string& noteId) {
  NoteId id = 0;
  if (Status parsed = ParseNoteId(noteId, &id); !parsed.ok()) return parsed;
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(database, db.put()); s != kNoError) return Fail(p, database, s);
  ScopedNote note(p);
  if (notesapi::Status s = p->NoteOpen(db.get(), id, kOpenRawMime, note.put()); s != kNoError) {
    return Fail(p, noteId, s);
  }
  std::string message;
  if (notesapi::Status s = ExportMimeMessage(p, note.get(), Wide(serverDirectory + "/run"), &message); s != kNoError) {
    return Fail(p, "no MIME message in note " + noteId, s);
  }
  std::fwrite(message.data(), 1, message.size(), stdout);
  return Status::OK();
}

// One pass of local delivery, said as a summary.
Status RouteOnce(Platform* p, const std::string& serverDirectory) {
  zulrouter::DeliveryCounts counts;
  if (Status delivered = zulrouter::DeliverLocally(p, serverDirectory, &counts); !delivered.ok()) return delivered;
  std::printf("%d delivered, %d still held\n", counts.delivered, counts.held);
  return Status::OK();
}

Status Route(Platform* p, const std::string& serverDirectory, const MailArguments& mail) {
  // One router per server: two would hand the same messages over twice.
  if (Status taken = zulrouter::TakeRouterInstance(p, serverDirectory); !taken.ok()) return taken;
  if (!mail.follow) return RouteOnce(p, serverDirectory);
  return zulrouter::RunRouter(p, {serverDirectory, mail.task, mail.sendmail});
}

}  // namespace

int MailCommand(Platform* p, const std::string& serverDirectory, const std::string& action, const MailArguments& mail) {
  if (action == "submit") return Submit(p, serverDirectory, mail);
  if (action == "route") return ExitCodeOf(Route(p, serverDirectory, mail));
  if (action == "export") return ExitCodeOf(Export(p, serverDirectory, mail.database, mail.noteId));
  if (action == "report") return ExitCodeOf(MailReport(p, serverDirectory, mail.database, mail.noteId));
  if (action == "held") return ExitCodeOf(ListHeldMail(p, serverDirectory));
  return ExitCodeOf(RequeueHeldMail(p, serverDirectory, mail.setAside));
}

}  // namespace zulctl
