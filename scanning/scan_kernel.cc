#include "scanning/scan_kernel.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <memory>
#include <utility>

#include "base/message_text.h"
#include "base/task_log.h"
#include "base/text_conversions.h"
#include "scanning/bases_proof.h"
#include "scanning/scan_engine.h"
#include "settings/bases_date.h"

namespace zul {

using namespace notesapi;

// A reload running on a thread of its own: the engine being loaded, and the
// self-test signature file that lives as long as the load.
struct PendingReload {
  std::unique_ptr<ScanEngine> engine;
  std::u16string signatures;
  std::string fingerprint;  // what the bases folder held when it was proven
  std::future<HRESULT> loaded;
};

struct ScanKernel::State {
  Platform* p = nullptr;
  std::string spec;  // the engine chosen; a reload builds another of it
  std::unique_ptr<ScanEngine> engine;
  std::unique_ptr<PendingReload> pending;
  std::future<void> retiring;  // the engine a reload replaced, being freed
  bool reloadAgain = false;    // asked for while one was loading
  EngineSettings engineSettings;
  std::u16string basesFolder;
  std::u16string tempFolder;
};

namespace {

ScanKernel* g_processKernel = nullptr;

HRESULT EngineFor(const std::string& spec, std::unique_ptr<ScanEngine>* engine) {
  if (spec.empty() || spec == "clamav") {
    *engine = NewClamavEngine();
    return S_OK;
  }
  if (spec.rfind("clamd:", 0) == 0 && spec.size() > 6) {
    *engine = NewClamdEngine(spec.substr(6));
    return S_OK;
  }
  return ZUL_E_BAD_ADDRESS;
}

std::string SystemPath(Platform* p, std::u16string_view path) {
  std::string local;
  if (p->LocalPath(path, &local) != kNoError) return {};
  return local;
}

// The kernel's bases types: 2 asks for potentially unwanted programs too,
// 3 also lets heuristics decide first; anything else is the standard set.
int32_t KernelBasesType(int32_t recordType) {
  if (recordType == 2) return 1;
  if (recordType == 3) return 2;
  return 0;
}

std::u16string ProcessTag(Platform* p) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "%04x", static_cast<unsigned>(p->ProcessId()));
  return std::u16string(tag, tag + std::char_traits<char>::length(tag));
}

std::string Native(std::u16string_view text) { return std::string(NotesToNative(UnicodeToNotes(text))); }

// The folder the kernel's temporary folder lies in: the task work folder,
// where the scanners write every object.
std::u16string WorkFolderOf(std::u16string folder) {
  while (!folder.empty() && (folder.back() == u'\\' || folder.back() == u'/')) folder.pop_back();
  size_t separator = folder.find_last_of(u"\\/");
  return separator == std::u16string::npos ? folder + u"\\" : folder.substr(0, separator + 1);
}

// The engine makes a folder of its own in the temporary folder for every
// scan and does not scan without it, so the folder must exist and take a file.
HRESULT CheckTempFolder(Platform* p, const std::u16string& folder) {
  notesapi::Status s = kBadArgument;
  if (!folder.empty()) {
    std::u16string probe = folder + u"\\ZELKprobe" + ProcessTag(p);
    s = p->FileWrite(probe, "");
    if (s == kNoError) (void)p->FileDelete(probe);  // just written
  }
  if (s == kNoError) return S_OK;
  LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::KernelTempFolderUnusable), s,
             Native(folder).c_str());
  return ZUL_E_TEMP_FOLDER;
}

ScanResult ScanWith(Platform* p, ScanEngine* engine, std::u16string_view scanCopy, std::string* description) {
  std::string bytes;
  if (p->FileRead(scanCopy, &bytes) != kNoError) return ResultFailed;
  if (bytes.empty()) return ResultClean;
  if (engine == nullptr) return ResultFailed;
  int32_t verdict = VerdictError;
  std::string name;
  if (engine->Scan(bytes, &verdict, &name) != S_OK) return ResultFailed;
  if (!name.empty()) *description = name.substr(0, kMaxDescription);  // engine names are ASCII
  return ResultOfVerdict(verdict);
}

void LogRefusal(const std::u16string& folder, const Status& refused) {
  LogMessage(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalError, "%s", 0, RefusalLine(folder, refused.message()).c_str());
}

// The engine loads every file of the bases folder, so nothing is loaded
// that the folder's index (or ClamAV's own signature) does not vouch for.
// `announce` says how the folder was proven, as a start-up line does.
HRESULT ProveBases(const std::u16string& folder, ScanEngine* engine, bool announce, std::string* fingerprint) {
  fingerprint->clear();
  if (!engine->LoadsBasesFolder()) return S_OK;
  BasesProof proof = BasesProof::kSignedIndex;
  if (Status proven = ProveBasesFolder(folder, &proof, fingerprint); !proven.ok()) {
    LogRefusal(folder, proven);
    return proven.hresult();
  }
  // Unsigned bases are said at every load: a choice that is easy to forget.
  if (announce || proof == BasesProof::kUnsignedAllowed) {
    uint16_t type = proof == BasesProof::kUnsignedAllowed ? JournalError : JournalInformation;
    LogMessage(LOG_FILE | LOG_CONSOLE, type, "%s", 0, ProofLine(folder, proof).c_str());
  }
  return S_OK;
}

// The folder the engine loaded from still holds what was proven: a file
// put in place while the engine read it was never proven.
HRESULT ConfirmLoaded(const std::u16string& folder, const std::string& fingerprint) {
  Status unchanged = ConfirmBasesUnchanged(folder, fingerprint);
  if (!unchanged.ok()) LogRefusal(folder, unchanged);
  return unchanged.hresult();
}

constexpr int kLoaderNice = 10;

}  // namespace

// What the kernel does with its state, kept out of the public class.
class KernelSteps {
 public:
  using State = ScanKernel::State;

  // Gets `engine` ready to load: the bases proven (`fingerprint` says what
  // the folder held), the temporary folder checked, the settings given with
  // the self-test signature file, written beside the bases for the load
  // alone (EndLoad removes it).
  static HRESULT PrepareLoad(State& k, ScanEngine* engine, bool announce, std::u16string* signatures,
                             std::string* fingerprint) {
    Platform* p = k.p;
    if (HRESULT hr = ProveBases(k.basesFolder, engine, announce, fingerprint); hr != S_OK) return hr;
    if (HRESULT hr = CheckTempFolder(p, k.tempFolder); hr != S_OK) return hr;
    std::u16string file = k.tempFolder + u"\\tervala-selftest-" + ProcessTag(p) + u".ndb";
    if (notesapi::Status s = p->FileWrite(file, KernelSelfTestSignature()); s != kNoError) {
      LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::KernelTempFolderUnusable), s,
                 Native(k.tempFolder).c_str());
      return ZUL_E_TEMP_FOLDER;
    }
    *signatures = file;
    EngineSettings settings = k.engineSettings;
    settings.selfTestSignatures = SystemPath(p, file);
    return engine->Configure(settings);
  }

  static void EndLoad(State& k, const std::u16string& signatures) {
    if (!signatures.empty()) (void)k.p->FileDelete(signatures);  // loaded or not, it has served
  }

  // The engine scans its test object through the path every mail object
  // takes: a file in the work folder, read and scanned with the configured
  // options.
  static HRESULT SelfTest(State& k, ScanEngine* engine) {
    Platform* p = k.p;
    std::u16string path = WorkFolderOf(k.tempFolder) + u"ZELK" + ProcessTag(p) + u"selftest";
    std::string description;
    ScanResult result = ResultFailed;
    if (notesapi::Status s = p->FileWrite(path, engine->SelfTestObject()); s == kNoError) {
      result = ScanWith(p, engine, path, &description);
    } else {
      description = p->StatusText(s);
    }
    (void)p->FileDelete(path);  // ours; missing when the write failed
    if (result == ResultInfected) return S_OK;
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::KernelSelfTestFailed), 0,
               static_cast<int>(result), description.c_str());
    return ZUL_E_SELF_TEST;
  }

  // The first load, on the caller's thread.
  static HRESULT Start(State& k) {
    std::u16string signatures;
    std::string fingerprint;
    HRESULT hr = PrepareLoad(k, k.engine.get(), true, &signatures, &fingerprint);
    if (hr == S_OK) hr = k.engine->Start();
    if (hr == S_OK) hr = ConfirmLoaded(k.basesFolder, fingerprint);
    EndLoad(k, signatures);
    if (hr == S_OK) hr = SelfTest(k, k.engine.get());
    return hr;
  }

  static HRESULT Configure(State& k, const KernelSettingsRecord& settings) {
    EngineSettings& engine = k.engineSettings;
    engine = EngineSettings();
    engine.basesFolder = SystemPath(k.p, settings.basesFolder);
    engine.tempFolder = SystemPath(k.p, settings.tempFolder);
    engine.scanFlags = settings.scanFlags;
    engine.basesType = KernelBasesType(settings.basesType);
    engine.depthLimitEnabled = settings.depthLimitEnabled != 0;
    engine.depthLimit = settings.depthLimit > 0 ? static_cast<uint32_t>(settings.depthLimit) : 0;
    engine.timeoutMillis = settings.engineTimeout > 0 ? static_cast<uint32_t>(settings.engineTimeout) : 0;
    engine.maxFiles = settings.queueSizeLimit > 0 ? static_cast<uint32_t>(settings.queueSizeLimit) : 0;
    k.basesFolder = settings.basesFolder;
    k.tempFolder = settings.tempFolder;
    return k.engine->Configure(engine);
  }

  // Freeing a large engine takes as long as a scan of many objects: the old
  // one goes on a thread of its own, so the mail waiting behind the swap
  // does not wait for it.
  static void Retire(State& k, std::unique_ptr<ScanEngine> old) {
    if (k.retiring.valid()) k.retiring.wait();  // never more than two engines
    try {
      k.retiring = std::async(std::launch::async, [going = std::move(old)]() mutable { going.reset(); });
    } catch (const std::exception&) {
      // No second thread to be had: the engine went, here, with the task that could not start.
    }
  }

  static void WaitForRetired(State& k) {
    if (k.retiring.valid()) k.retiring.wait();
  }

  // Starts the load of a fresh engine on a thread of its own.
  static HRESULT BeginLoad(State& k) {
    auto pending = std::make_unique<PendingReload>();
    HRESULT hr = EngineFor(k.spec, &pending->engine);
    if (hr == S_OK) hr = PrepareLoad(k, pending->engine.get(), false, &pending->signatures, &pending->fingerprint);
    if (hr != S_OK) {
      EndLoad(k, pending->signatures);
      return hr;
    }
    ScanEngine* engine = pending->engine.get();
    try {
      pending->loaded = std::async(std::launch::async, [engine] {
        // Mail comes first: the load takes what the scanning leaves.
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kLoaderNice);  // at worst it competes as before
        return engine->Reload();
      });
    } catch (const std::exception&) {
      // No second thread to be had: the load runs here.
      std::promise<HRESULT> here;
      here.set_value(engine->Reload());
      pending->loaded = here.get_future();
    }
    k.pending = std::move(pending);
    return S_OK;
  }

  // The outcome of the load that finished: proven still, self-tested, then in use.
  static HRESULT TakeIn(State& k) {
    std::unique_ptr<PendingReload> done = std::move(k.pending);
    HRESULT hr = done->loaded.get();
    EndLoad(k, done->signatures);
    if (hr == S_OK) hr = ConfirmLoaded(k.basesFolder, done->fingerprint);
    if (hr == S_OK) hr = SelfTest(k, done->engine.get());
    if (hr == S_OK) Retire(k, std::exchange(k.engine, std::move(done->engine)));
    return hr;
  }
};

ScanKernel::ScanKernel(std::unique_ptr<State> state) : state_(std::move(state)) {}

ScanKernel::~ScanKernel() {
  State& k = *state_;
  if (k.pending) {
    k.pending->loaded.wait();  // the loading thread ends before its engine goes
    KernelSteps::EndLoad(k, k.pending->signatures);
    k.pending.reset();
  }
  KernelSteps::WaitForRetired(k);
  if (k.engine) k.engine->Stop();
  if (g_processKernel == this) g_processKernel = nullptr;
}

Status ScanKernel::Open(const ScanKernelOptions& options, Platform* platform, std::unique_ptr<ScanKernel>* kernel,
                        KernelOpenStep* failedStep) {
  KernelOpenStep ignored;
  if (failedStep == nullptr) failedStep = &ignored;
  *failedStep = KernelOpenStep::kEngine;
  if (platform == nullptr) return Status::FromKernel(E_UNEXPECTED, "no platform");
  auto state = std::make_unique<State>();
  state->p = platform;
  state->spec = options.engine;
  if (HRESULT hr = EngineFor(state->spec, &state->engine); hr != S_OK) {
    return Status::FromKernel(hr, "no such scan engine: " + options.engine);
  }
  *failedStep = KernelOpenStep::kSettings;
  if (HRESULT hr = KernelSteps::Configure(*state, options.settings); hr < 0) {
    return Status::FromKernel(hr, "the engine refuses the kernel settings");
  }
  *failedStep = KernelOpenStep::kStart;
  // A kernel that did not pass never scans.
  if (HRESULT hr = KernelSteps::Start(*state); hr != S_OK) {
    state->engine->Stop();
    return Status::FromKernel(hr, "the bases did not load or the self-test failed");
  }
  kernel->reset(new ScanKernel(std::move(state)));
  return Status::OK();
}

Status ScanKernel::Configure(const KernelSettingsRecord& settings) {
  return Status::FromKernel(KernelSteps::Configure(*state_, settings), "the engine refuses the kernel settings");
}

Status ScanKernel::BeginReload() {
  State& k = *state_;
  if (k.pending) {
    k.reloadAgain = true;  // the set loading may be older than the one announced
    return Status::OK();
  }
  KernelSteps::WaitForRetired(k);  // the engine being freed and the one in use are the two
  return Status::FromKernel(KernelSteps::BeginLoad(k), "the bases cannot be loaded");
}

std::optional<Status> ScanKernel::FinishReload(bool wait) {
  State& k = *state_;
  if (!k.pending) return std::nullopt;
  if (!wait && k.pending->loaded.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return std::nullopt;
  Status outcome = Status::FromKernel(KernelSteps::TakeIn(k), "the new bases did not load or failed the self-test");
  if (k.reloadAgain) {
    k.reloadAgain = false;
    if (Status again = BeginReload(); !again.ok()) return again;  // a later finish has the outcome of one begun
  }
  return outcome;
}

Status ScanKernel::Reload() {
  if (state_->pending) (void)FinishReload(true);  // one load at a time; its outcome is superseded
  state_->reloadAgain = false;
  if (Status begun = BeginReload(); !begun.ok()) return begun;
  std::optional<Status> outcome = FinishReload(true);
  return outcome ? *outcome : Status::OK();
}

void ScanKernel::WaitForReloadLoaded() {
  if (state_->pending) state_->pending->loaded.wait();
}

Status ScanKernel::BasesInfo(uint32_t* recordCount, std::optional<BasesDate>* basesDate) {
  State& k = *state_;
  uint64_t count = 0;
  std::string version;
  HRESULT hr = k.engine->Info(&count, &version);
  *recordCount = hr == S_OK ? static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX)) : 0;
  uint64_t fileTime = 0;
  basesDate->reset();
  if (!k.basesFolder.empty() && ReadBasesDate(k.basesFolder + u"\\master.xml", &fileTime).ok()) {
    *basesDate = BasesDateOfFileTime(fileTime);
  }
  return Status::FromKernel(hr, "the engine cannot tell its bases");
}

ScanResult ScanKernel::ScanFile(std::u16string_view scanCopy, std::string* description) {
  return ScanWith(state_->p, state_->engine.get(), scanCopy, description);
}

std::string ConfiguredKernelEngine(Platform* platform) {
  std::string spec;
  if (platform == nullptr || !platform->IniGetText("ZulScanKernel", 1024, &spec)) spec.clear();
  return spec;
}

ScanKernel* ProcessKernel() { return g_processKernel; }

void SetProcessKernel(ScanKernel* kernel) { g_processKernel = kernel; }

}  // namespace zul
