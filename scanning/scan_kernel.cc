#include "scanning/scan_kernel.h"

#include <memory>

#include "notesapi/process_platform.h"
#include "scanning/scan_engine.h"
#include "settings/bases_date.h"

namespace zul {

using namespace notesapi;

namespace {

struct KernelManager {
  std::unique_ptr<ScanEngine> engine;
  std::u16string basesFolder;
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

}  // namespace

void SelectKernelEngine(const std::string& spec) { Manager().engineOverride = spec; }

HRESULT InitKernel() {
  KernelManager& m = Manager();
  if (m.engine) return S_OK;
  std::string spec = m.engineOverride;
  Platform* p = ProcessPlatform();
  if (spec.empty() && p != nullptr && !p->IniGetText("ZulScanKernel", 1024, &spec)) spec.clear();
  return EngineFor(spec, &m.engine);
}

HRESULT WriteKernelSettings(const KernelSettingsRecord& settings) {
  KernelManager& m = Manager();
  if (!m.engine) return E_UNEXPECTED;
  EngineSettings engine;
  engine.basesFolder = SystemPath(settings.basesFolder);
  engine.tempFolder = SystemPath(settings.tempFolder);
  engine.scanFlags = settings.scanFlags;
  engine.basesType = KernelBasesType(settings.basesType);
  engine.depthLimitEnabled = settings.depthLimitEnabled != 0;
  engine.depthLimit = settings.depthLimit > 0 ? static_cast<uint32_t>(settings.depthLimit) : 0;
  engine.timeoutMillis = settings.engineTimeout > 0 ? static_cast<uint32_t>(settings.engineTimeout) : 0;
  engine.maxFiles = settings.queueSizeLimit > 0 ? static_cast<uint32_t>(settings.queueSizeLimit) : 0;
  m.basesFolder = settings.basesFolder;
  return m.engine->Configure(engine);
}

HRESULT StartKernel() {
  KernelManager& m = Manager();
  return m.engine ? m.engine->Start() : E_UNEXPECTED;
}

HRESULT ReloadBases() {
  KernelManager& m = Manager();
  return m.engine ? m.engine->Reload() : E_UNEXPECTED;
}

HRESULT StopKernel() {
  KernelManager& m = Manager();
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
  KernelManager& m = Manager();
  Platform* p = ProcessPlatform();
  std::string bytes;
  if (p == nullptr || p->FileRead(scanCopy, &bytes) != kNoError) return ResultFailed;
  if (bytes.empty()) return ResultClean;
  if (!m.engine) return ResultFailed;
  int32_t verdict = VerdictError;
  std::string name;
  if (m.engine->Scan(bytes, &verdict, &name) != S_OK) return ResultFailed;
  if (!name.empty()) *description = name.substr(0, kMaxDescription);  // engine names are ASCII
  return ResultOfVerdict(verdict);
}

}  // namespace zul
