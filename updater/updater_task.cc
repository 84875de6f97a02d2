#include "updater/updater_task.h"

#include <cstring>
#include <string>

#include "base/process_entry.h"
#include "base/server_variables.h"
#include "base/version_text.h"
#include "notesapi/process_platform.h"
#include "base/message_text.h"
#include "records/notifications.h"
#include "base/task_log.h"
#include "settings/settings_reader.h"
#include "settings/settings_records.h"
#include "settings/settings_writer.h"
#include "settings/update_schedule.h"
#include "updater/update_run.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr char kProgramName[] = "nZulUpdater";
constexpr char kConsoleQueue[] = "MQ$ZULUPDATER";
constexpr char kDatabaseQueue[] = "MQ$DATABASE2UPD";
constexpr uint32_t kScheduleInterval = 60;
constexpr int kFailuresBeforeNextSlot = 3;
constexpr int kMaxFailedReads = 3;

enum class Outcome { kGoOn, kStop, kEndTask };

struct UpdaterState {
  QueueHandle console = kNullHandle;
  QueueHandle database = kNullHandle;
  int failures = 0;
};

void Log(uint32_t targets, uint16_t type, Msg message, notesapi::Status status = 0) {
  LogMessage(targets, type, "%s", status, MessageText(message));
}

void SetStatusText(const char* text) { (void)ProcessPlatform()->StatusLineSetDefaultText(text); }  // shown only

void UpdateNow() {
  Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::UpdateRequested);
  if (Status s = RunUpdate(); !s.ok()) {
    Log(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalError, Msg::UpdateNotPossible, s.platformStatus());
  }
}

Outcome HandleDatabase(const std::string& text) {
  if (LogLevelAbove(kLogFromLevel3)) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, MessageText(Msg::DatabaseMessageReceived), 0, text.c_str());
  }
  if (text.find("CONFIG|UPDATED") != std::string::npos) {
    if (!ReadAllSettings(TaskKind::kUpdater).ok()) {
      Log(LOG_FILE | LOG_CONSOLE, JournalError, Msg::ConfigReadErrorExit);
      return Outcome::kEndTask;
    }
    if (LogLevelAbove(kLogFromLevel4)) LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, "%s", 0, "RecalculateNextTime");
    (void)ComputeNextUpdate();  // reports its own errors
    if (LogLevelAbove(kLogFromLevel3)) Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::ConfigurationUpdated);
  }
  if (text.find("CONFIG|START") != std::string::npos) UpdateNow();
  return Outcome::kGoOn;
}

Outcome HandleConsole(const std::string& original) {
  std::string text = original;
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (LogLevelAbove(kLogFromLevel3)) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, MessageText(Msg::ConsoleMessageReceived), 0, text.c_str());
  }
  if (text.find("START") != std::string::npos) {
    UpdateNow();
  } else if (text.find("SHOWNEXT") != std::string::npos) {
    if (Updater().scheduleOff == 1) {
      Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::ScheduleDisabled);
    } else {
      std::string next;
      (void)ProcessPlatform()->TimeToText(Updater().nextUpdate, &next);  // always succeeds
      next.resize(std::min<size_t>(next.size(), 25));
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, MessageText(Msg::NextUpdate), 0, next.c_str());
    }
  } else if (text.find("VERSION") != std::string::npos) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, "%s", 0, VersionText("1382").c_str());
  }
  return Outcome::kGoOn;
}

Outcome Drain(Platform* p, QueueHandle queue, const char* name, Outcome (*handler)(const std::string&)) {
  int failures = 0;
  for (;;) {
    std::string message;
    notesapi::Status s = p->QueueGet(queue, 255, &message);
    if (s == kNoError) {
      failures = 0;
      message.resize(std::strlen(message.c_str()));
      if (handler(message) == Outcome::kEndTask) return Outcome::kEndTask;
      continue;
    }
    if (IsError(s, kQueueEmpty) || IsError(s, kQueueTimeout)) return Outcome::kGoOn;
    if (IsError(s, kQueueQuitting)) return Outcome::kStop;
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::QueueReadFailed), s, name);
    if (++failures >= kMaxFailedReads) return Outcome::kGoOn;
  }
}

void CheckSchedule(Platform* p, UpdaterState& state) {
  if (!p->AddInIntervalElapsed(kScheduleInterval) || Updater().scheduleOff != 0) return;
  TimeDate now = p->TimeNow();
  if (LogLevelAbove(kLogFromLevel3)) Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::CheckingDate);
  if (p->TimeCompare(now, Updater().nextUpdate) < 0) return;
  SetStatusText("Update in progress");
  Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::UpdateRequested);
  Status s = RunUpdate();
  if (!s.ok()) {
    Log(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalError, Msg::UpdateNotPossible, s.platformStatus());
    ++state.failures;
    if (LogLevelAbove(kLogFromLevel4)) LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, "Count=%d", 0, state.failures);
    if (state.failures >= kFailuresBeforeNextSlot) {
      if (LogLevelAbove(kLogFromLevel4)) LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, "%s", 0, "RecalculateNextTime");
      (void)ComputeNextUpdate();  // reports its own errors
      state.failures = 0;
    }
  } else {
    state.failures = 0;
  }
  SetStatusText("Idle task");
}

Outcome MainLoop(Platform* p, UpdaterState& state) {
  if (p->AddInIdle()) return Outcome::kStop;
  for (;;) {
    if (p->AddInShouldTerminate()) return Outcome::kStop;
    Outcome outcome = Drain(p, state.database, kDatabaseQueue, HandleDatabase);
    if (outcome == Outcome::kGoOn) outcome = Drain(p, state.console, kConsoleQueue, HandleConsole);
    if (outcome != Outcome::kGoOn) return outcome;
    CheckSchedule(p, state);
    if (p->AddInIdle()) return Outcome::kStop;
  }
}

void ReplaceStatusLine(Platform* p) {
  ModuleHandle module = kNullHandle;
  StatusLineHandle line = kNullHandle;
  (void)p->StatusLineQueryDefault(&module, &line);  // none yet is fine
  (void)p->StatusLineDelete(line);
  if (p->StatusLineCreate(kUpdaterTaskName, &line) == kNoError) (void)p->StatusLineSetDefault(module, line);
  SetStatusText("Init.");
}

}  // namespace

Status UpdaterTaskMain(ModuleHandle module, int argc, char** argv) {
  (void)module;
  (void)argc;
  (void)argv;
  Platform* p = ProcessPlatform();
  ReplaceStatusLine(p);
  (void)LoadMessageLibrary(ConfiguredMessageLibrary());  // the built-in texts serve without it
  SetTaskName(kUpdaterTaskName);
  SetSystemWarningSender(SendSystemWarning);
  if (!ReadServerVariables(TaskKind::kUpdater)) {
    Log(LOG_FILE | LOG_CONSOLE, JournalError, Msg::UpdaterConfigReadErrorExit);
    return TaskDidNotStart();
  }
  Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::Initialising);
  if (!ReadAllSettings(TaskKind::kUpdater).ok()) {
    Log(LOG_FILE | LOG_CONSOLE, JournalError, Msg::UpdaterSettingsReadErrorExit);
    return TaskDidNotStart();
  }
  // Taken for the life of the process: the system frees it when the process ends.
  if (notesapi::Status guard = p->AcquireInstance(kProgramName); guard != kNoError) {
    if (IsError(guard, kInstanceRunning)) {
      Log(LOG_FILE | LOG_CONSOLE, JournalTaskFault, Msg::AlreadyRunning);
      return Status::OK();
    }
    Log(LOG_FILE | LOG_CONSOLE, JournalError, Msg::InstanceGuardFailed, guard);
    return TaskDidNotStart();
  }
  Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::UpdaterRegisteringQueues);
  UpdaterState state;
  bool opened = true;
  for (auto [name, handle] : {std::pair{kConsoleQueue, &state.console}, std::pair{kDatabaseQueue, &state.database}}) {
    if (notesapi::Status s = p->QueueOpen(name, kQueueCreate, handle); s != kNoError) {
      *handle = kNullHandle;
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::QueueOpenFailedExit), s, name);
      opened = false;
      break;
    }
  }
  if (opened) {
    SetStatusText("Idle task");
    std::string empty;
    (void)WriteUpdaterStatus(1, &empty);  // reports its own errors
    Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::UpdaterInitialisationComplete);
    if (MainLoop(p, state) == Outcome::kEndTask) return Status::Failed("the settings could not be read again: the task ended");
  }
  if (LogLevelAbove(kLogFromLevel3)) Log(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalInformation, Msg::ShuttingDown);
  if (state.console != kNullHandle) (void)p->QueueClose(state.console);  // nothing to do about a failure here
  if (state.database != kNullHandle) (void)p->QueueClose(state.database);
  return Status::OK();
}

}  // namespace zul
