#include "updater/update_run.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/server_variables.h"
#include "notesapi/process_platform.h"
#include "notesapi/scoped_handles.h"
#include "base/message_text.h"
#include "base/task_log.h"
#include "base/text_conversions.h"
#include "scanning/bases_proof.h"
#include "scanning/scan_kernel.h"
#include "settings/settings_records.h"
#include "settings/settings_writer.h"
#include "settings/update_schedule.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr size_t kPathBuffer = 260;  // paths and command lines are cut there
constexpr uint32_t kDefaultUtilityTimeoutSeconds = 3600;
constexpr char16_t kUtilityName[] = u"basefetch.exe";

void Log(uint32_t targets, uint16_t type, Msg message, notesapi::Status status = 0) {
  LogMessage(targets, type, "%s", status, MessageText(message));
}

std::u16string Cut(std::u16string text) {
  if (text.size() > kPathBuffer - 1) text.resize(kPathBuffer - 1);
  return text;
}

std::u16string Widen(const char* ascii) { return std::u16string(ascii, ascii + std::char_traits<char>::length(ascii)); }

}  // namespace

std::u16string LogFolder() {
  const std::string& name = Variables().logFileName;
  if (name.empty()) return {};
  std::u16string wide(NotesToUnicode(name));
  if (wide.size() > 256) wide.resize(256);
  size_t slash = wide.rfind(u'/');
  if (slash == std::u16string::npos) slash = wide.rfind(u'\\');
  return slash == std::u16string::npos ? wide : wide.substr(0, slash + 1);
}

std::u16string UtilityCommandLine(UtilityMode mode, const std::u16string& logFolder) {
  std::u16string arguments;
  if (!logFolder.empty()) {
    arguments = Cut(u"-tf \"" + logFolder + u"\\nZulUpdater-basefetch.log\" -tl 10");
  }
  std::u16string line = mode == UtilityMode::kUpdate ? u" -u -P ZULLotusNotes " : u" -r -P ZULLotusNotes ";
  return Cut(line + arguments);
}

UtilityRun RunUtility(UtilityMode mode, const std::u16string& logFolder) {
  Platform* p = ProcessPlatform();
  ChildProcess child;
  child.application = kUtilityName;
  // Like the Windows start of a program, the command line names the program first.
  child.commandLine = std::u16string(kUtilityName) + UtilityCommandLine(mode, logFolder);
  if (!logFolder.empty()) child.outputPath = Cut(logFolder + u"\\nZulUpdater-console.log");
  int32_t timeout = p->IniGetNumber("ZulUpdaterUtilityTimeout");
  child.timeoutSeconds = timeout > 0 ? static_cast<uint32_t>(timeout) : kDefaultUtilityTimeoutSeconds;
  // A result left by an earlier run must never be read as this run's.
  (void)p->FileDelete(Widen(kResultFile));  // usually there is none
  int exitCode = 0;
  notesapi::Status s = p->ProcessRun(child, &exitCode);
  if (s == kProcessOutputFailed) return UtilityRun::kNoLogFile;
  if (s == kProcessTimedOut) {
    LogMessage(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalError, "%s", s, MessageText(Msg::UtilityTimedOut));
    return UtilityRun::kNotStarted;
  }
  return s == kNoError ? UtilityRun::kRanToEnd : UtilityRun::kNotStarted;
}

Status FetchBases(int* code) {
  Platform* p = ProcessPlatform();
  UtilityRun ran = RunUtility(UtilityMode::kUpdate, LogFolder());
  if (ran == UtilityRun::kNoLogFile) {
    Log(LOG_FILE | LOG_CONSOLE, JournalError, Msg::UpdateLogFileFailed);
    return Status::Failed("the update utility's log file cannot be made");
  }
  if (ran == UtilityRun::kNotStarted) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::UtilityStartFailed), 0, "");
  } else {
    Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::UpdateFinished);
  }
  std::string text;
  if (p->FileRead(Widen(kResultFile), &text) != kNoError) {
    Log(LOG_FILE | LOG_CONSOLE, JournalError, Msg::ResultFileOpenFailed);
    return Status::NotFound("the update utility left no result file");
  }
  text.resize(std::min<size_t>(text.size(), 100));
  *code = 0;
  if (std::sscanf(text.c_str(), "%d", code) != 1) *code = 0;
  if (LogLevelAbove(kLogFromLevel3)) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, MessageText(Msg::UtilityReturnCode), 0, *code);
  }
  (void)p->FileDelete(Widen(kResultFile));  // a stale result must not be read twice; nothing to do if it fails
  return Status::OK();
}

namespace {

// Each step of the kernel's opening has its own log text here.
void LogKernelFailure(KernelOpenStep step, const Status& failed) {
  if (!LogLevelAbove(kLogFromLevel1)) return;
  Msg message = step == KernelOpenStep::kEngine     ? Msg::UpdaterKernelInitFailed
                : step == KernelOpenStep::kSettings ? Msg::KernelSettingsFailed
                                                    : Msg::KernelStartFailed;
  LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(message), 0, static_cast<unsigned>(failed.hresult()));
}

}  // namespace

Status CheckBases() {
  // A set that loads may still switch detections off: it is taken only when
  // every file in it is vouched for, and the administrators hear of one that
  // is not, since the site's bases source is then in question.
  BasesProof proof = BasesProof::kSignedIndex;
  const std::u16string& folder = KernelSettings().basesFolder;
  if (Status proven = ProveBasesFolder(folder, &proof); !proven.ok()) {
    LogMessage(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL | LOG_ADMIN, JournalError, "%s", 0,
               RefusalLine(folder, proven.message()).c_str());
    return proven;
  }
  Platform* p = ProcessPlatform();
  std::unique_ptr<ScanKernel> kernel;  // the updater's own, closed again at once
  KernelOpenStep failed = KernelOpenStep::kEngine;
  Status opened = ScanKernel::Open({ConfiguredKernelEngine(p), KernelSettings()}, p, &kernel, &failed);
  if (!opened.ok()) LogKernelFailure(failed, opened);
  return opened;
}

void NotifyTasks() {
  Platform* p = ProcessPlatform();
  for (const char* name : {"MQ$UPDATE2MAIL", "MQ$UPDATE2REP", "MQ$UPDATE2SCAN"}) {
    ScopedQueue queue(p);
    // Not checked: a queue nobody reads keeps the message, and the monitor
    // finds new bases by their date at its periodic step anyway.
    if (p->QueueOpen(name, kQueueCreate, queue.put()) == kNoError) (void)p->QueuePut(queue.get(), 1, kUpdaterComplete);
  }
}

namespace {

// The status the log shows for a run that failed.
constexpr notesapi::Status kUpdateFailed = 0xFFFF;

// Bases that do not load go back to the set before them.
Status RollBack(Platform* p) {
  Log(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalError, Msg::BrokenBasesRollingBack);
  UtilityRun rolled = RunUtility(UtilityMode::kRollback, LogFolder());
  (void)p->FileDelete(Widen(kResultFile));  // the rollback's result is not read, and must not be later
  if (rolled != UtilityRun::kRanToEnd) {
    if (rolled == UtilityRun::kNoLogFile) Log(LOG_FILE | LOG_CONSOLE, JournalError, Msg::UpdateLogFileFailed);
    if (rolled == UtilityRun::kNotStarted) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::UtilityStartFailed), 0, "");
    }
    Log(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL | LOG_ADMIN, JournalError, Msg::RollbackFailed);
    return Status::FromPlatform(kUpdateFailed, "the new bases are broken and could not be rolled back");
  }
  return Status::FromPlatform(kUpdateFailed, "the new bases are broken; the previous ones are back");
}

Status InstallFetched(Platform* p, int code) {
  if (code == kNoNewBases) {
    Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::NoNewBases);
    Log(LOG_JOURNAL, JournalInformation, Msg::JournalUpdateNotNeeded);
    (void)ComputeNextUpdate();  // reports its own errors
    return Status::OK();
  }
  if (code != 0) {
    Log(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalError, Msg::UpdateFailed);
    return Status::FromPlatform(kUpdateFailed, "the update utility failed");
  }
  (void)ComputeNextUpdate();  // reports its own errors
  Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::CheckingLoadedBases);
  if (!CheckBases().ok()) return RollBack(p);
  Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::LoadedBasesSound);
  NotifyTasks();
  Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::BasesUpdated);
  Log(LOG_JOURNAL, JournalInformation, Msg::JournalBasesUpdated);
  return Status::OK();
}

}  // namespace

Status RunUpdate() {
  Platform* p = ProcessPlatform();
  (void)p->StatusLineSetDefaultText("Loading antivirus databases...");  // shown only
  std::string updating = "Updating";
  (void)WriteUpdaterStatus(2, &updating);  // a status the administrator sees; the run goes on without it
  Log(LOG_FILE | LOG_CONSOLE, JournalInformation, Msg::UpdatingBases);
  int code = -1;
  Status fetched = FetchBases(&code);
  // Without a result the run failed as one the utility reports failed does.
  Status result = InstallFetched(p, fetched.ok() ? code : -1);
  (void)p->StatusLineSetDefaultText("Idle task");
  std::string empty;
  (void)WriteUpdaterStatus(1, &empty);
  return result;
}

}  // namespace zul
