#include "mailmonitor/queue_handlers.h"

#include <optional>

#include "mailmonitor/current_document.h"
#include "mailmonitor/scan_attempts.h"
#include "base/server_variables.h"
#include "mailmonitor/service_queues.h"
#include "base/version_text.h"
#include "notesapi/process_platform.h"
#include "notesapi/scoped_handles.h"
#include "base/message_text.h"
#include "records/outbreak_monitor.h"
#include "base/task_log.h"
#include "scanning/scan_driver.h"
#include "scanning/scan_kernel.h"
#include "settings/settings_reader.h"
#include "settings/settings_records.h"
#include "settings/settings_writer.h"

namespace zul {

using namespace notesapi;

namespace {

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

void LogReceived(Msg message, const std::string& text) {
  if (LogLevelAbove(kLogFromLevel3)) LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, MessageText(message), 0, text.c_str());
}

void PutHookCommand(Platform* p, QueueHandle queue, const std::string& text, const char* command, const char* message) {
  if (Contains(text, command)) (void)p->QueuePut(queue, 1, message);  // not reported, as the console expects no answer
}

void SetStatus(const char* text) { (void)ProcessPlatform()->StatusLineSetDefaultText(text); }  // shown only

// Opens, scans and releases one held document; every outcome but a saved
// release leaves it held.
void HandleHeldDocument(Platform* p, const CurrentDocumentRecord& current, const std::string& path) {
  DbHandle db = current.db;
  NoteId noteId = current.noteId;
  NoteHandle note = kNullHandle;
  if (notesapi::Status s = p->NoteOpen(db, noteId, kOpenRawMime, &note); s != kNoError) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::DocumentOpenFailed), s, noteId);
    return;
  }
  ItemInfo routing;
  if (p->ItemInfoByName(note, "RoutingState", &routing) != kNoError) {
    // Already released, or never held: not the monitor's to scan and save again.
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::DocumentNotHeld), 0, noteId);
    (void)p->NoteClose(note);
    return;
  }
  // A document that stopped the monitor twice waits for an administrator,
  // so that the mail behind it is not stopped with it.
  if (SetAsideIfItStoppedTheMonitor(p, note, noteId)) {
    (void)p->NoteClose(note);
    return;
  }
  bool released = true;
  if (Monitor().scanningOff == 0) {
    BeginScanAttempt(p, path, noteId);
    notesapi::Status s = ScanMailDocument(db, &note, Monitor().monitoredObjects, noteId);
    EndScanAttempt(p);
    if (ErrorOf(s) != kNoError) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::DocumentScanFailed), s, noteId);
      released = false;
    }
  }
  if (released) {
    (void)ReleaseDocument(current, &note);  // a failure shows in the save
    notesapi::Status s = note == kNullHandle ? kInvalidHandle : p->NoteUpdate(note, kUpdateRelease);
    if (s != kNoError) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::DocumentSendFailed), s, noteId);
    } else if (LogLevelAbove(kLogFromLevel3)) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, MessageText(Msg::DocumentProcessed), 0, noteId);
    }
  }
  if (note != kNullHandle) (void)p->NoteClose(note);
}

}  // namespace

QueueOutcome HandleHookRequest(const std::string& text) {
  Platform* p = ProcessPlatform();
  SetStatus("Scanning mail.");
  LogReceived(Msg::HookRequestReceived, text);
  HookRequest request;
  if (!ParseHookRequest(text, &request)) {
    // Nothing of an earlier request may stand in for what this one lacks.
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::HookRequestMalformed), 0, text.c_str());
    SetStatus("Idle task");
    return QueueOutcome::kContinue;
  }
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(request.path, db.put()); s != kNoError) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::MailDatabaseOpenFailed), s, request.path.c_str());
    SetStatus("Idle task");
    return QueueOutcome::kStopDraining;
  }
  const CurrentDocumentRecord current{db.get(), request.noteId};
  // Everything one mail writes (its quarantine document, statistics, the
  // saved mail, memos, the release) is one transaction per database, one
  // sync each; the mail's own database is written last, so it is committed
  // after its quarantine copy. A failed commit leaves the mail held.
  bool grouped = p->BeginSaves() == kNoError;
  HandleHeldDocument(p, current, request.path);
  if (grouped) {
    if (notesapi::Status s = p->EndSaves(true); s != kNoError) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::DocumentSendFailed), s, request.noteId);
    }
  }
  SetStatus("Idle task");
  return QueueOutcome::kContinue;
}

notesapi::Status ReleaseDocument(const CurrentDocumentRecord& current, NoteHandle* note) {
  Platform* p = ProcessPlatform();
  if (*note != kNullHandle) (void)p->NoteClose(*note);
  *note = kNullHandle;
  if (p->NoteOpen(current.db, current.noteId, kOpenRawMime, note) != kNoError) *note = kNullHandle;
  return p->ItemDelete(*note, "RoutingState");
}

QueueOutcome HandleUpdaterMessage(const std::string& text) {
  LogReceived(Msg::UpdaterMessageReceived, text);
  if (!Contains(text, kUpdaterComplete)) return QueueOutcome::kContinue;
  Platform* p = ProcessPlatform();
  const std::string& path = Variables().setupDatabase;
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(path, db.put()); s != kNoError) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::SetupDatabaseOpenFailed), s, path.c_str());
    return QueueOutcome::kEndTask;
  }
  if (Status read = ReadUpdaterSettings(db.get()); !read.ok()) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::SettingsReadFailed), read.platformStatus(),
               path.c_str());
    return QueueOutcome::kContinue;
  }
  // The kernel loads from the folder it was given; a folder changed by the
  // updater settings has to reach it before the reload.
  ScanKernel* kernel = ProcessKernel();
  if (kernel == nullptr) return QueueOutcome::kContinue;  // not started: it loads the new bases when it starts
  (void)kernel->Configure(KernelSettings());  // a failure shows in the reload
  // Mail goes on being scanned with the old bases while the new ones load;
  // the main loop takes them in (TakeInReload).
  if (!kernel->BeginReload().ok()) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, "%s", 0, MessageText(Msg::BasesReloadFailed));
  }
  return QueueOutcome::kContinue;
}

QueueOutcome HandleConsoleCommand(const std::string& original) {
  std::string text = original;
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  LogReceived(Msg::ConsoleMessageReceived, text);
  Platform* p = ProcessPlatform();
  if (Contains(text, "HOOK")) {
    // The task is named by the text after the last blank; without a blank
    // the name is empty and no hook queue has it.
    size_t blank = text.rfind(' ');
    std::string task = blank == std::string::npos ? std::string() : text.substr(blank + 1);
    ScopedQueue queue(p);
    if (p->QueueOpen(std::string(kHookCommandQueuePrefix) + task, kQueueOpenExisting, queue.put()) != kNoError) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, MessageText(Msg::TaskNotHooked), 0, task.c_str());
      return QueueOutcome::kStopDraining;
    }
    PutHookCommand(p, queue.get(), text, "HOOK INFO", "MAILSCAN|INFO");
    PutHookCommand(p, queue.get(), text, "HOOK PAUSE", "MAILSCAN|HOLD");
    PutHookCommand(p, queue.get(), text, "HOOK RESUME", "MAILSCAN|UNHOLD");
    return QueueOutcome::kContinue;
  }
  if (Contains(text, "VERSION")) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, "%s", 0, MailMonitorVersionText().c_str());
  }
  return QueueOutcome::kContinue;
}

QueueOutcome HandleDatabaseMessage(const std::string& text) {
  LogReceived(Msg::DatabaseMessageReceived, text);
  if (Contains(text, kConfigUpdated)) {
    if (!ReadAllSettings(TaskKind::kMailMonitor).ok()) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, "%s", 0, MessageText(Msg::ConfigReadErrorExit));
    } else {
      if (LogLevelAbove(kLogFromLevel3)) {
        LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, "%s", 0, MessageText(Msg::ConfigurationUpdated));
      }
      ScanKernel* kernel = ProcessKernel();
      if (Status s = kernel != nullptr ? kernel->Configure(KernelSettings()) : Status::OK(); !s.ok()) {
        LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::KernelSettingsFailed), 0,
                   static_cast<unsigned>(s.hresult()));
      }
    }
  }
  if (Contains(text, kOutbreakUpdated)) {
    if (!ReadAllSettings(TaskKind::kMailMonitor).ok()) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, "%s", 0, MessageText(Msg::ConfigReadErrorExit));
    } else if (LogLevelAbove(kLogFromLevel3)) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, "%s", 0, MessageText(Msg::ConfigurationUpdated));
    }
    if (notesapi::Status s = ReconfigureOutbreakMonitor(); ErrorOf(s) != kNoError) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, "%s", s, MessageText(Msg::OutbreakInitFailed));
    }
  }
  return QueueOutcome::kContinue;
}

}  // namespace zul
