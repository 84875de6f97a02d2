#include "scanning/scan_kernel.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <memory>
#include <utility>

#include "notesapi/process_platform.h"
#include "base/message_text.h"
#include "base/task_log.h"
#include "base/text_conversions.h"
#include "scanning/bases_proof.h"
#include "scanning/scan_engine.h"
#include "settings/bases_date.h"

namespace zul {

using namespace notesapi;

namespace {

// A reload running on a thread of its own: the engine being loaded, and the
// self-test signature file that lives as long as the load.
struct PendingReload {
  std::unique_ptr<ScanEngine> engine;
  std::u16string signatures;
  std::string fingerprint;  // what the bases folder held when it was proven
  std::future<HRESULT> loaded;
};

struct KernelManager {
  std::unique_ptr<ScanEngine> engine;
  std::unique_ptr<PendingReload> pending;
  std::future<void> retiring;  // the engine a reload replaced, being freed
  bool reloadAgain = false;  // asked for while one was loading
  std::string spec;  // the engine chosen by InitKernel; a reload builds another of it
  EngineSettings engineSettings;
  std::u16string basesFolder;
  std::u16string tempFolder;
  std::string engineOverride;
};

KernelManager& Manager() {
  static KernelManager manager;
  return manager;
}

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

std::string SystemPath(std::u16string_view path) {
  std::string local;
  Platform* p = ProcessPlatform();
  if (p == nullptr || p->LocalPath(path, &local) != kNoError) return {};
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
  Status s = kBadArgument;
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
  if (p == nullptr || p->FileRead(scanCopy, &bytes) != kNoError) return ResultFailed;
  if (bytes.empty()) return ResultClean;
  if (engine == nullptr) return ResultFailed;
  int32_t verdict = VerdictError;
  std::string name;
  if (engine->Scan(bytes, &verdict, &name) != S_OK) return ResultFailed;
  if (!name.empty()) *description = name.substr(0, kMaxDescription);  // engine names are ASCII
  return ResultOfVerdict(verdict);
}

// The engine loads every file of the bases folder, so nothing is loaded
// that the folder's index (or ClamAV's own signature) does not vouch for.
// `announce` says how the folder was proven, as a start-up line does.
HRESULT ProveBases(ScanEngine* engine, bool announce, std::string* fingerprint) {
  KernelManager& m = Manager();
  fingerprint->clear();
  if (!engine->LoadsBasesFolder()) return S_OK;
  BasesProof proof = BasesProof::kSignedIndex;
  std::string why;
  if (HRESULT hr = ProveBasesFolder(m.basesFolder, &proof, &why, fingerprint); hr != S_OK) {
    LogMessage(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalError, "%s", 0, RefusalLine(m.basesFolder, why).c_str());
    return hr;
  }
  // Unsigned bases are said at every load: a choice that is easy to forget.
  if (announce || proof == BasesProof::kUnsignedAllowed) {
    uint16_t type = proof == BasesProof::kUnsignedAllowed ? JournalError : JournalInformation;
    LogMessage(LOG_FILE | LOG_CONSOLE, type, "%s", 0, ProofLine(m.basesFolder, proof).c_str());
  }
  return S_OK;
}

// The folder the engine loaded from still holds what was proven: a file
// put in place while the engine read it was never proven.
HRESULT ConfirmLoaded(const std::string& fingerprint) {
  KernelManager& m = Manager();
  std::string why;
  HRESULT hr = ConfirmBasesUnchanged(m.basesFolder, fingerprint, &why);
  if (hr != S_OK) {
    LogMessage(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalError, "%s", 0, RefusalLine(m.basesFolder, why).c_str());
  }
  return hr;
}

// Gets `engine` ready to load: the bases proven (`fingerprint` says what the
// folder held), the temporary folder checked, the settings given with the
// self-test signature file, written beside the bases for the load alone
// (EndLoad removes it).
HRESULT PrepareLoad(Platform* p, ScanEngine* engine, bool announce, std::u16string* signatures,
                    std::string* fingerprint) {
  KernelManager& m = Manager();
  if (HRESULT hr = ProveBases(engine, announce, fingerprint); hr != S_OK) return hr;
  if (HRESULT hr = CheckTempFolder(p, m.tempFolder); hr != S_OK) return hr;
  std::u16string file = m.tempFolder + u"\\tervala-selftest-" + ProcessTag(p) + u".ndb";
  if (Status s = p->FileWrite(file, KernelSelfTestSignature()); s != kNoError) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::KernelTempFolderUnusable), s,
               Native(m.tempFolder).c_str());
    return ZUL_E_TEMP_FOLDER;
  }
  *signatures = file;
  EngineSettings settings = m.engineSettings;
  settings.selfTestSignatures = SystemPath(file);
  return engine->Configure(settings);
}

void EndLoad(Platform* p, const std::u16string& signatures) {
  if (!signatures.empty()) (void)p->FileDelete(signatures);  // loaded or not, it has served
}

// Loads the bases into `engine` (Start or Reload) on this thread.
HRESULT LoadBases(Platform* p, ScanEngine* engine, HRESULT (ScanEngine::*load)()) {
  std::u16string signatures;
  std::string fingerprint;
  HRESULT hr = PrepareLoad(p, engine, load == &ScanEngine::Start, &signatures, &fingerprint);
  if (hr == S_OK) hr = (engine->*load)();
  if (hr == S_OK) hr = ConfirmLoaded(fingerprint);
  EndLoad(p, signatures);
  return hr;
}

// The engine scans its test object through the path every mail object takes:
// a file in the work folder, read and scanned with the configured options.
HRESULT SelfTest(Platform* p, ScanEngine* engine) {
  KernelManager& m = Manager();
  std::u16string path = WorkFolderOf(m.tempFolder) + u"ZELK" + ProcessTag(p) + u"selftest";
  std::string description;
  ScanResult result = ResultFailed;
  if (Status s = p->FileWrite(path, engine->SelfTestObject()); s == kNoError) {
    result = ScanWith(p, engine, path, &description);
  } else {
    description = p->StatusText(s);
  }
  (void)p->FileDelete(path);  // ours; missing when the write failed
  if (result == ResultInfected) return S_OK;
  LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::KernelSelfTestFailed), 0, static_cast<int>(result),
             description.c_str());
  return ZUL_E_SELF_TEST;
}

}  // namespace

void SelectKernelEngine(const std::string& spec) { Manager().engineOverride = spec; }

HRESULT InitKernel() {
  KernelManager& m = Manager();
  if (m.engine) return S_OK;
  std::string spec = m.engineOverride;
  Platform* p = ProcessPlatform();
  if (spec.empty() && p != nullptr && !p->IniGetText("ZulScanKernel", 1024, &spec)) spec.clear();
  if (HRESULT hr = EngineFor(spec, &m.engine); hr != S_OK) return hr;
  m.spec = spec;
  return S_OK;
}

HRESULT WriteKernelSettings(const KernelSettingsRecord& settings) {
  KernelManager& m = Manager();
  if (!m.engine) return E_UNEXPECTED;
  EngineSettings& engine = m.engineSettings;
  engine = EngineSettings();
  engine.basesFolder = SystemPath(settings.basesFolder);
  engine.tempFolder = SystemPath(settings.tempFolder);
  engine.scanFlags = settings.scanFlags;
  engine.basesType = KernelBasesType(settings.basesType);
  engine.depthLimitEnabled = settings.depthLimitEnabled != 0;
  engine.depthLimit = settings.depthLimit > 0 ? static_cast<uint32_t>(settings.depthLimit) : 0;
  engine.timeoutMillis = settings.engineTimeout > 0 ? static_cast<uint32_t>(settings.engineTimeout) : 0;
  engine.maxFiles = settings.queueSizeLimit > 0 ? static_cast<uint32_t>(settings.queueSizeLimit) : 0;
  m.basesFolder = settings.basesFolder;
  m.tempFolder = settings.tempFolder;
  return m.engine->Configure(engine);
}

HRESULT StartKernel() {
  KernelManager& m = Manager();
  Platform* p = ProcessPlatform();
  if (!m.engine || p == nullptr) return E_UNEXPECTED;
  HRESULT hr = LoadBases(p, m.engine.get(), &ScanEngine::Start);
  if (hr == S_OK) hr = SelfTest(p, m.engine.get());
  // A kernel that did not pass never scans: every scan then fails.
  if (hr != S_OK) m.engine->Stop();
  return hr;
}

HRESULT ReloadBases() {
  KernelManager& m = Manager();
  Platform* p = ProcessPlatform();
  if (!m.engine || p == nullptr) return E_UNEXPECTED;
  if (m.pending) (void)FinishReloadBases(true);  // one load at a time
  // The new bases go into an engine of their own; the old one scans until
  // the new one has loaded and passed its self-test.
  std::unique_ptr<ScanEngine> fresh;
  HRESULT hr = EngineFor(m.spec, &fresh);
  if (hr == S_OK) hr = LoadBases(p, fresh.get(), &ScanEngine::Reload);
  if (hr == S_OK) hr = SelfTest(p, fresh.get());
  if (hr != S_OK) return hr;
  m.engine = std::move(fresh);
  return S_OK;
}

namespace {

constexpr int kLoaderNice = 10;

// Freeing a large engine takes as long as a scan of many objects: the old
// one goes on a thread of its own, so the mail waiting behind the swap does
// not wait for it.
void Retire(KernelManager& m, std::unique_ptr<ScanEngine> old) {
  if (m.retiring.valid()) m.retiring.wait();  // never more than two engines
  try {
    m.retiring = std::async(std::launch::async, [going = std::move(old)]() mutable { going.reset(); });
  } catch (const std::exception&) {
    // No second thread to be had: the engine went, here, with the task that could not start.
  }
}

void WaitForRetired(KernelManager& m) {
  if (m.retiring.valid()) m.retiring.wait();
}

}  // namespace

HRESULT BeginReloadBases() {
  KernelManager& m = Manager();
  Platform* p = ProcessPlatform();
  if (!m.engine || p == nullptr) return E_UNEXPECTED;
  if (m.pending) {
    m.reloadAgain = true;  // the set loading may be older than the one announced
    return S_FALSE;
  }
  WaitForRetired(m);  // the engine being freed and the one in use are the two
  auto pending = std::make_unique<PendingReload>();
  HRESULT hr = EngineFor(m.spec, &pending->engine);
  if (hr == S_OK) hr = PrepareLoad(p, pending->engine.get(), false, &pending->signatures, &pending->fingerprint);
  if (hr != S_OK) {
    EndLoad(p, pending->signatures);
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
    // No second thread to be had: the load runs here, as it did before.
    std::promise<HRESULT> here;
    here.set_value(engine->Reload());
    pending->loaded = here.get_future();
  }
  m.pending = std::move(pending);
  return S_OK;
}

HRESULT FinishReloadBases(bool wait) {
  KernelManager& m = Manager();
  Platform* p = ProcessPlatform();
  if (!m.pending || p == nullptr) return S_FALSE;
  if (!wait && m.pending->loaded.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return S_FALSE;
  std::unique_ptr<PendingReload> done = std::move(m.pending);
  HRESULT hr = done->loaded.get();
  EndLoad(p, done->signatures);
  if (hr == S_OK) hr = ConfirmLoaded(done->fingerprint);
  if (hr == S_OK) hr = SelfTest(p, done->engine.get());
  if (hr == S_OK) Retire(m, std::exchange(m.engine, std::move(done->engine)));
  if (m.reloadAgain) {
    m.reloadAgain = false;
    (void)BeginReloadBases();  // its outcome comes with a later finish
  }
  return hr;
}

void WaitForReloadLoaded() {
  KernelManager& m = Manager();
  if (m.pending) m.pending->loaded.wait();
}

HRESULT StopKernel() {
  KernelManager& m = Manager();
  if (m.pending) {
    m.pending->loaded.wait();  // the loading thread ends before its engine goes
    if (Platform* p = ProcessPlatform()) EndLoad(p, m.pending->signatures);
    m.pending.reset();
    m.reloadAgain = false;
  }
  WaitForRetired(m);
  if (m.engine) m.engine->Stop();
  m.engine.reset();
  return S_OK;
}

HRESULT GetBasesInfo(uint32_t* recordCount, std::optional<BasesDate>* basesDate) {
  KernelManager& m = Manager();
  if (!m.engine) return E_UNEXPECTED;
  uint64_t count = 0;
  std::string version;
  HRESULT hr = m.engine->Info(&count, &version);
  *recordCount = hr == S_OK ? static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX)) : 0;
  uint64_t fileTime = 0;
  basesDate->reset();
  if (!m.basesFolder.empty() && ReadBasesDate(m.basesFolder + u"\\master.xml", &fileTime) == S_OK) {
    *basesDate = BasesDateOfFileTime(fileTime);
  }
  return hr;
}

ScanResult ScanFile(std::u16string_view scanCopy, std::u16string_view cureCopy, std::string* description,
                    bool tryCure) {
  (void)cureCopy;  // never written: the engines do not cure
  (void)tryCure;
  return ScanWith(ProcessPlatform(), Manager().engine.get(), scanCopy, description);
}

}  // namespace zul
