#include "mailmonitor/mail_monitor_task.h"

#include <cstring>
#include <optional>
#include <string>

#include "mailmonitor/held_mail_retry.h"
#include "mailmonitor/queue_handlers.h"
#include "mailmonitor/scan_attempts.h"
#include "base/process_entry.h"
#include "base/server_variables.h"
#include "mailmonitor/service_queues.h"
#include "notesapi/process_platform.h"
#include "base/message_text.h"
#include "records/notifications.h"
#include "records/outbreak_monitor.h"
#include "base/task_log.h"
#include "base/text_conversions.h"
#include "scanning/scan_kernel.h"
#include "settings/temporary_paths.h"
#include "settings/settings_reader.h"
#include "settings/settings_records.h"
#include "settings/settings_writer.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr char kProgramName[] = "nZulMailMonitor";
constexpr uint32_t kPeriodicInterval = 900;
// Reads of one queue that fail in a row before the loop goes on to the next.
constexpr int kMaxFailedReads = 3;

struct Queue {
  const char* name;
  QueueOutcome (*handler)(const std::string&);
  QueueHandle handle = kNullHandle;
};

// Opened in this order: database, console, hook requests, updater.
struct MonitorQueues {
  Queue database{kDatabaseQueue, HandleDatabaseMessage};
  Queue console{kConsoleQueue, HandleConsoleCommand};
  Queue hook{kHookQueue, HandleHookRequest};
  Queue updater{kUpdaterQueue, HandleUpdaterMessage};
  std::unique_ptr<ScanKernel> kernel;  // the process's kernel while it runs
};

enum class LoopEnd { kStopAsked, kQuitting, kEndTask };
enum class DrainEnd { kNextQueue, kQuitting, kEndTask };

void Log(uint16_t type, Msg message, notesapi::Status status = 0) {
  LogMessage(LOG_FILE | LOG_CONSOLE, type, "%s", status, MessageText(message));
}

void SetStatusText(const char* text) { (void)ProcessPlatform()->StatusLineSetDefaultText(text); }  // shown only

void ReplaceStatusLine(Platform* p) {
  ModuleHandle module = kNullHandle;
  StatusLineHandle line = kNullHandle;
  (void)p->StatusLineQueryDefault(&module, &line);  // none yet is fine
  (void)p->StatusLineDelete(line);
  if (p->StatusLineCreate(kMailMonitorTaskName, &line) == kNoError) (void)p->StatusLineSetDefault(module, line);
  SetStatusText("Init.");
}

DrainEnd Drain(Platform* p, Queue& queue) {
  int failures = 0;
  for (;;) {
    std::string message;
    notesapi::Status s = p->QueueGet(queue.handle, kMaxQueueMessage, &message);
    if (s == kNoError) {
      failures = 0;
      message.resize(std::strlen(message.c_str()));  // the text ends at its first zero byte
      QueueOutcome outcome = queue.handler(message);
      if (outcome == QueueOutcome::kEndTask) return DrainEnd::kEndTask;
      if (outcome == QueueOutcome::kStopDraining) return DrainEnd::kNextQueue;
      continue;
    }
    if (IsError(s, kQueueEmpty) || IsError(s, kQueueTimeout)) return DrainEnd::kNextQueue;
    if (IsError(s, kQueueQuitting)) return DrainEnd::kQuitting;
    // Any other status: read again, but never for ever.
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::QueueReadFailed), s, queue.name);
    if (++failures >= kMaxFailedReads) return DrainEnd::kNextQueue;
  }
}

LoopEnd MainLoop(Platform* p, MonitorQueues& queues) {
  HeldMailRetry retry(ConfiguredRetryDelay(p));
  if (p->AddInIdle()) return LoopEnd::kStopAsked;
  for (;;) {
    if (p->AddInShouldTerminate()) return LoopEnd::kStopAsked;
    for (Queue* queue : {&queues.hook, &queues.updater, &queues.console, &queues.database}) {
      DrainEnd end = Drain(p, *queue);
      if (end == DrainEnd::kQuitting) return LoopEnd::kQuitting;
      if (end == DrainEnd::kEndTask) return LoopEnd::kEndTask;
    }
    if (p->AddInIntervalElapsed(kPeriodicInterval)) RunPeriodicStep();
    TakeInReload(false);
    // After the hook queue is drained: a request still due is one nobody posted.
    if (p->AddInIntervalElapsed(retry.SweepSeconds())) retry.Sweep(p, queues.hook.handle);
    if (p->AddInIdle()) return LoopEnd::kStopAsked;
  }
}

void WriteBasesInformation() {
  uint32_t count = 0;
  std::optional<BasesDate> date;
  if (ScanKernel* kernel = ProcessKernel()) (void)kernel->BasesInfo(&count, &date);  // no bases: count 0 and no date
  (void)WriteInformation(count, date);  // reports its own errors
}

void ShutDown(Platform* p, MonitorQueues& queues) {
  if (LogLevelAbove(kLogFromLevel3)) {
    LogMessage(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalInformation, "%s", 0, MessageText(Msg::ShuttingDown));
  }
  FreeMessageLibrary();
  SetProcessKernel(nullptr);
  queues.kernel.reset();  // waits for a load in progress
  for (Queue* queue : {&queues.console, &queues.database, &queues.hook, &queues.updater}) {
    if (queue->handle != kNullHandle) (void)p->QueueClose(queue->handle);  // nothing to do about a failure here
    queue->handle = kNullHandle;
  }
}

// Each step of the kernel's opening has its own start-up text.
bool OpenKernel(Platform* p, std::unique_ptr<ScanKernel>* kernel) {
  KernelOpenStep failed = KernelOpenStep::kEngine;
  Status opened = ScanKernel::Open({ConfiguredKernelEngine(p), KernelSettings()}, p, kernel, &failed);
  if (opened.ok()) return true;
  unsigned hr = static_cast<unsigned>(opened.hresult());
  if (failed == KernelOpenStep::kEngine) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::KernelInitFailedExit), 0, hr);
  } else if (failed == KernelOpenStep::kSettings) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::KernelSettingsFailedExit), 0, hr);
  } else {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::KernelStartFailedExit), 0, hr);
    // Most often the folder is missing or holds no bases: say which one.
    std::string folder(UnicodeToNotes(KernelSettings().basesFolder));
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::KernelBasesFolder), 0,
               std::string(NotesToNative(folder)).c_str());
  }
  return false;
}

// Start-up from the queues to the end; false sends the task to shut-down.
bool StartServices(Platform* p, MonitorQueues& queues) {
  Log(JournalInformation, Msg::ServiceQueues);
  for (Queue* queue : {&queues.database, &queues.console, &queues.hook, &queues.updater}) {
    if (notesapi::Status s = p->QueueOpen(queue->name, kQueueCreate, &queue->handle); s != kNoError) {
      queue->handle = kNullHandle;
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::QueueOpenFailedExit), s, queue->name);
      return false;
    }
  }
  Log(JournalInformation, Msg::ScanSubsystem);
  if (!OpenKernel(p, &queues.kernel)) return false;
  SetProcessKernel(queues.kernel.get());
  Log(JournalInformation, Msg::OutbreakSubsystem);
  if (notesapi::Status s = StartOutbreakMonitor(1); ErrorOf(s) != kNoError) {
    Log(JournalError, Msg::OutbreakInitFailedExit, s);
    return false;
  }
  WriteBasesInformation();
  SetStatusText("Idle task");
  Log(JournalInformation, Msg::InitialisationComplete);
  return true;
}

}  // namespace

void RunPeriodicStep() {
  if (LogLevelAbove(kLogFromLevel3)) LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, "%s", 0, "AddInDayHasElapsed");
  ScanKernel* kernel = ProcessKernel();
  if (kernel != nullptr && !kernel->BeginReload().ok()) Log(JournalError, Msg::BasesReloadFailed);
}

void TakeInReload(bool wait) {
  ScanKernel* kernel = ProcessKernel();
  std::optional<Status> reloaded = kernel != nullptr ? kernel->FinishReload(wait) : std::nullopt;
  if (!reloaded) return;
  if (!reloaded->ok()) Log(JournalError, Msg::BasesReloadFailed);
  WriteBasesInformation();
}

Status MailMonitorTaskMain(ModuleHandle module, int argc, char** argv) {
  (void)module;  // the message library is found by name
  (void)argc;    // the mail monitor takes no arguments
  (void)argv;
  Platform* p = ProcessPlatform();
  ReplaceStatusLine(p);
  SetTaskName(kMailMonitorTaskName);
  SetSystemWarningSender(SendSystemWarning);
  (void)LoadMessageLibrary(ConfiguredMessageLibrary());  // the built-in texts serve without it
  if (!ReadServerVariables(TaskKind::kMailMonitor)) {
    Log(JournalError, Msg::ConfigReadErrorExit);
    return TaskDidNotStart();
  }
  Log(JournalInformation, Msg::Initialising);
  if (!ReadAllSettings(TaskKind::kMailMonitor).ok()) {
    Log(JournalError, Msg::ConfigReadErrorExit);
    return TaskDidNotStart();
  }
  // One running instance per server: taken atomically, and freed by the
  // system when the process ends in any way.
  if (notesapi::Status guard = p->AcquireInstance(kProgramName); guard != kNoError) {
    if (IsError(guard, kInstanceRunning)) {
      Log(JournalTaskFault, Msg::AlreadyRunning);
      return Status::OK();
    }
    Log(JournalError, Msg::InstanceGuardFailed, guard);
    return TaskDidNotStart();
  }
  // The one instance: what a monitor that died left in the work folder goes.
  (void)RemoveLeftoverCopies();
  CountInterruptedScan(p);  // a scan the last monitor did not live through
  MonitorQueues queues;
  if (!StartServices(p, queues)) {
    // A service manager must see a start that failed.
    ShutDown(p, queues);
    return TaskDidNotStart();
  }
  switch (MainLoop(p, queues)) {
    case LoopEnd::kStopAsked:
      (void)p->ReleaseInstance(kProgramName);  // held since start-up
      break;
    case LoopEnd::kQuitting:
      break;  // the server is going away: the slot goes with the process
    case LoopEnd::kEndTask:
      return Status::OK();
  }
  ShutDown(p, queues);
  return Status::OK();
}

}  // namespace zul
