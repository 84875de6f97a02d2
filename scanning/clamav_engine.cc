// The in-process engine: ClamAV's library. The only file that sees clamav.h.
#include <clamav.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scanning/archive_members.h"
#include "scanning/closed_containers.h"
#include "scanning/scan_engine.h"
#include "scanning/scan_result.h"

namespace zul {

namespace {

// ClamAV results in the kernel's terms; the one place they are translated.
HRESULT ClamavResult(cl_error_t rc) {
  switch (rc) {
    case CL_SUCCESS:  // the same value as CL_CLEAN
      return S_OK;
    case CL_EMEM:
      return E_OUTOFMEMORY;
    case CL_EOPEN:
    case CL_ESTAT:
    case CL_EACCES:
      return HresultFromWin32(ERROR_FILE_NOT_FOUND);
    case CL_ENULLARG:
    case CL_EARG:
      return E_INVALIDARG;
    default:
      return ZUL_E_ENGINE;
  }
}

// What the library reported while one scan ran. The library answers
// "clean" for some failures it only reports as a message (a scan folder it
// cannot create, for one), and its message callback gets no context for
// them, so the scan in progress on this thread is found here.
struct ScanMessages {
  int errors = 0;
  std::string firstError;
};
thread_local ScanMessages* t_activeScan = nullptr;

class ActiveScan {
 public:
  explicit ActiveScan(ScanMessages* messages) { t_activeScan = messages; }
  ~ActiveScan() { t_activeScan = nullptr; }
  ActiveScan(const ActiveScan&) = delete;
  ActiveScan& operator=(const ActiveScan&) = delete;
};

void OnEngineMessage(enum cl_msg severity, const char*, const char* message, void*) {
  // Outside a scan the failing call's own result tells; the engine's chatter
  // on standard error is not the task's log.
  if (severity < CL_MSG_ERROR || t_activeScan == nullptr) return;
  if (t_activeScan->errors++ == 0 && message != nullptr) {
    std::string text(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    t_activeScan->firstError = "engine error: " + text;
  }
}

HRESULT InitLibrary() {
  static std::once_flag once;
  static cl_error_t result = CL_SUCCESS;
  std::call_once(once, [] {
    cl_set_clcb_msg(OnEngineMessage);
    result = cl_init(CL_INIT_DEFAULT);
  });
  return ClamavResult(result);
}

struct EngineDeleter {
  void operator()(cl_engine* engine) const { cl_engine_free(engine); }
};
using EnginePtr = std::unique_ptr<cl_engine, EngineDeleter>;

// Every file the engine looks at, the object itself and each one inside it,
// passes here once before the engine's clean cache is asked.
// What the engine looked at during one scan.
struct Inspection {
  uint64_t maxFileSize = 0;  // a file the engine cut to this size was not seen whole
  size_t files = 0;
  std::vector<uint64_t> sizes;  // of every file looked at
  bool cut = false;
  bool html = false;  // a file the engine read as HTML, which it matches only as it normalises it
};

// Every file the engine looks at, the object itself and each one inside it,
// passes here once.
cl_error_t CountInspected(int, const char* type, const char**, size_t, const char*, size_t size, const char*, uint32_t,
                          uint32_t, void* context) {
  Inspection* inspection = static_cast<Inspection*>(context);
  ++inspection->files;
  inspection->sizes.push_back(size);
  if (inspection->maxFileSize > 0 && size >= inspection->maxFileSize) inspection->cut = true;
  if (type != nullptr && std::strncmp(type, "CL_TYPE_HTML", 12) == 0) inspection->html = true;
  return CL_CLEAN;
}

struct MapCloser {
  void operator()(cl_fmap_t* map) const { cl_fmap_close(map); }
};

cl_scan_options OptionsFor(const EngineSettings& settings) {
  cl_scan_options options{};
  // Executables are always parsed, and the alerts that say a scan could not
  // see everything are always on: without them an encrypted archive or a
  // scan cut short by a limit would pass as clean.
  options.general = CL_SCAN_GENERAL_HEURISTICS;
  options.parse = CL_SCAN_PARSE_PE | CL_SCAN_PARSE_ELF;
  options.heuristic = CL_SCAN_HEURISTIC_ENCRYPTED_ARCHIVE | CL_SCAN_HEURISTIC_ENCRYPTED_DOC |
                      CL_SCAN_HEURISTIC_EXCEEDS_MAX;
  uint32_t flags = settings.scanFlags;
  if (flags & kScanArchives) options.parse |= CL_SCAN_PARSE_ARCHIVE;
  if (flags & kScanMail) options.parse |= CL_SCAN_PARSE_MAIL;
  if (flags & kScanOfficeDocuments) {
    options.parse |= CL_SCAN_PARSE_OLE2 | CL_SCAN_PARSE_XMLDOCS | CL_SCAN_PARSE_HWP3 | CL_SCAN_PARSE_ONENOTE;
  }
  if (flags & kScanPdf) options.parse |= CL_SCAN_PARSE_PDF;
  if (flags & kScanHtml) options.parse |= CL_SCAN_PARSE_HTML | CL_SCAN_PARSE_SWF;
  if (flags & kScanHeuristics) {
    options.heuristic |= CL_SCAN_HEURISTIC_BROKEN | CL_SCAN_HEURISTIC_MACROS | CL_SCAN_HEURISTIC_PHISHING_SSL_MISMATCH |
                         CL_SCAN_HEURISTIC_PHISHING_CLOAK;
  }
  if (settings.basesType == 2) options.general |= CL_SCAN_GENERAL_HEURISTIC_PRECEDENCE;
  return options;
}

class ClamavEngine final : public ScanEngine {
 public:
  HRESULT Configure(const EngineSettings& settings) override {
    settings_ = settings;
    // The library takes its options with each scan, but caches clean
    // verdicts by content alone: once the options change, what it cached no
    // longer holds, so the running engine stops using its cache (the next
    // reload starts a fresh one).
    cl_scan_options fresh = OptionsFor(settings_);
    if (engine_ && std::memcmp(&fresh, &options_, sizeof fresh) != 0) {
      (void)cl_engine_set_num(engine_.get(), CL_ENGINE_DISABLE_CACHE, 1);  // cannot fail on a valid engine
    }
    options_ = fresh;
    return S_OK;
  }
  HRESULT Start() override { return Reload(); }
  HRESULT Reload() override {
    EnginePtr fresh;
    uint64_t signatures = 0;
    if (HRESULT hr = Build(&fresh, &signatures); hr != S_OK) return hr;
    // Swapped in only once loaded and compiled, so a bad reload keeps the
    // old engine scanning.
    engine_ = std::move(fresh);
    signatures_ = signatures;
    options_ = OptionsFor(settings_);
    return S_OK;
  }
  void Stop() override { engine_.reset(); }

  HRESULT Scan(std::string_view bytes, int32_t* verdict, std::string* threatName) override {
    if (!engine_) return ZUL_E_BASES_NOT_LOADED;
    MemberBudget budget;
    budget.largestMember = maxFileSize_;
    budget.bytesLeft = kMaxScanSize;
    budget.membersLeft = settings_.maxFiles > 0 ? settings_.maxFiles : kDefaultMaxFiles;
    if (settings_.timeoutMillis > 0) {
      budget.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.timeoutMillis);
    }
    return ScanAt(bytes, 0, &budget, verdict, threatName);
  }

  // One object at one depth of archives: the engine's scan, then what the
  // engine did not open, read by another reader.
  HRESULT ScanAt(std::string_view bytes, uint32_t depth, MemberBudget* budget, int32_t* verdict, std::string* threatName) {
    Inspection inspection;
    cl_error_t rc = CL_CLEAN;
    ScanMessages messages;
    const char* name = nullptr;
    if (HRESULT hr = EngineScan(bytes, options_, &inspection, &messages, &rc, &name); hr != S_OK) return hr;
    switch (rc) {
      case CL_CLEAN:
        // Clean only when the library reported no error on the way: an error
        // means it did not really look. A detection stands either way.
        if (messages.errors > 0) {
          *verdict = VerdictError;
          *threatName = messages.firstError;
          return S_OK;
        }
        *verdict = VerdictClean;
        if (inspection.cut) {
          *verdict = VerdictIncomplete;
          *threatName = "Heuristics.Limits.Exceeded.MaxFileSize";
          return S_OK;
        }
        if (inspection.html) ScanAsSent(bytes, verdict, threatName);
        if (*verdict == VerdictClean) OpenBinHex(bytes, depth, budget, verdict, threatName);
        if (*verdict == VerdictClean) VerifyContainer(bytes, inspection, depth, budget, verdict, threatName);
        return S_OK;
      case CL_VIRUS:
        *threatName = name != nullptr ? name : "";
        *verdict = VerdictOfDetection(*threatName);
        return S_OK;
      case CL_ETIMEOUT:
      case CL_EMAXREC:
      case CL_EMAXSIZE:
      case CL_EMAXFILES:
        *verdict = VerdictIncomplete;
        *threatName = cl_strerror(rc);
        return S_OK;
      default:
        *verdict = VerdictError;
        *threatName = cl_strerror(rc);
        return S_OK;
    }
  }

  HRESULT EngineScan(std::string_view bytes, cl_scan_options options, Inspection* inspection, ScanMessages* messages,
                     cl_error_t* rc, const char** name) {
    std::unique_ptr<cl_fmap_t, MapCloser> map(cl_fmap_open_memory(bytes.data(), bytes.size()));
    if (!map) return E_OUTOFMEMORY;
    unsigned long scanned = 0;
    inspection->maxFileSize = maxFileSize_;
    ActiveScan active(messages);
    *rc = cl_scanmap_callback(map.get(), nullptr, name, &scanned, engine_.get(), &options, inspection);
    return S_OK;
  }

  // The engine matches HTML only as it normalises it (lower case, entities
  // resolved), so a pattern in the bytes as sent is missed there: HTML is
  // looked at again as plain data. Only a detection counts from this look.
  void ScanAsSent(std::string_view bytes, int32_t* verdict, std::string* threatName) {
    if (!(options_.parse & CL_SCAN_PARSE_HTML)) return;  // it was plain data already
    cl_scan_options plain = options_;
    plain.parse &= ~CL_SCAN_PARSE_HTML;
    Inspection inspection;
    ScanMessages messages;
    cl_error_t rc = CL_CLEAN;
    const char* name = nullptr;
    if (EngineScan(bytes, plain, &inspection, &messages, &rc, &name) != S_OK || rc != CL_VIRUS) return;
    *threatName = name != nullptr ? name : "";
    *verdict = VerdictOfDetection(*threatName);
  }

  uint32_t DeepestArchive() const {
    return settings_.depthLimitEnabled && settings_.depthLimit > 0 ? settings_.depthLimit : kDefaultMaxDepth;
  }

  // BinHex text carries a file (after any lines of other text) that the
  // engine finds only where the text starts the object: its forks are
  // decoded here and scanned each, and text that does not decode is a scan
  // that did not finish.
  void OpenBinHex(std::string_view bytes, uint32_t depth, MemberBudget* budget, int32_t* verdict, std::string* threatName) {
    std::vector<std::string> forks;
    bool unreadable = false;
    if (!FindBinHex(bytes, &forks, &unreadable)) return;
    if (unreadable || depth + 1 > DeepestArchive()) {
      *verdict = VerdictIncomplete;
      *threatName = "Heuristics.Limits.Exceeded.NotInspected (BinHex)";
      return;
    }
    for (const std::string& fork : forks) {
      int32_t found = VerdictClean;
      std::string what;
      if (ScanAt(fork, depth + 1, budget, &found, &what) != S_OK) found = VerdictError;
      if (found == VerdictClean) continue;
      *verdict = found;
      *threatName = what;
      return;
    }
  }

  // A container is clean only when every file in it was read. Some no
  // reader here opens (disk images, garbled ARJ): never clean. An archive
  // is read again by another reader, at every depth, and each file it holds
  // must be one the engine looked at (by size); where one is missing (a
  // member compressed in a way the engine does not decode, an archive
  // inside it cannot open, the second stream of a compressed file), the
  // members are read here and each scanned on its own, within the same
  // limits. Only what even that cannot read makes the scan incomplete.
  void VerifyContainer(std::string_view bytes, const Inspection& inspection, uint32_t depth, MemberBudget* budget,
                       int32_t* verdict, std::string* threatName) {
    if (!(settings_.scanFlags & kScanArchives)) return;  // not asked to look inside
    std::string form;
    switch (ClassifyClosedContainer(bytes, &form)) {
      case ClosedContainer::kDiskImage:
        *verdict = VerdictIncomplete;
        *threatName = "Heuristics.Limits.Exceeded.NotInspected (" + form + ")";
        return;
      case ClosedContainer::kEncryptedArchive:
        *threatName = "Heuristics.Encrypted.ARJ";
        *verdict = VerdictOfDetection(*threatName);
        return;
      case ClosedContainer::kNone:
        break;
    }
    ArchiveListing listing = ListArchiveMembers(bytes);
    if (!listing.archive) return;
    MemberBudget surveyBudget = *budget;  // a look, not a scan: it takes nothing from the scan's budget
    ArchiveSurvey survey;
    SurveyArchive(bytes, &surveyBudget, DeepestArchive() - std::min(depth, DeepestArchive()), &survey);
    if (!survey.unread && EngineSawEach(inspection.sizes, survey.sizes)) return;
    OpenMembers(bytes, listing, depth, budget, verdict, threatName);
  }

  static bool EngineSawEach(std::vector<uint64_t> seen, std::vector<uint64_t> held) {
    std::sort(seen.begin(), seen.end());
    std::sort(held.begin(), held.end());
    return std::includes(seen.begin(), seen.end(), held.begin(), held.end());
  }

  void OpenMembers(std::string_view bytes, const ArchiveListing& listing, uint32_t depth, MemberBudget* budget,
                   int32_t* verdict, std::string* threatName) {
    std::string unread = " (" + std::to_string(listing.files) + " member(s), " + listing.firstName + ")";
    if (depth + 1 > DeepestArchive()) {
      *verdict = VerdictIncomplete;
      *threatName = "Heuristics.Limits.Exceeded.MaxRecursion" + unread;
      return;
    }
    MembersRead read = ReadArchiveMembers(bytes, budget, [&](const std::string& member, std::string_view data) {
      int32_t found = VerdictClean;
      std::string what;
      if (ScanAt(data, depth + 1, budget, &found, &what) != S_OK) found = VerdictError;
      if (found == VerdictClean) return true;
      *verdict = found;
      *threatName = what.empty() ? member : what;
      return false;
    });
    if (*verdict != VerdictClean) return;
    switch (read) {
      case MembersRead::kAll:
      case MembersRead::kStopped:
        return;
      case MembersRead::kEncrypted:
        *threatName = "Heuristics.Encrypted.Archive" + unread;
        *verdict = VerdictOfDetection(*threatName);
        return;
      case MembersRead::kUnreadable:
        *verdict = VerdictIncomplete;
        *threatName = "Heuristics.Limits.Exceeded.MembersNotInspected" + unread;
        return;
      case MembersRead::kOverBudget:
        *verdict = VerdictIncomplete;
        *threatName = "Heuristics.Limits.Exceeded.MembersOverLimit" + unread;
        return;
    }
  }

  HRESULT Info(uint64_t* recordCount, std::string* version) override {
    if (!engine_) return ZUL_E_BASES_NOT_LOADED;
    *recordCount = signatures_;
    int error = 0;
    long long dbVersion = cl_engine_get_num(engine_.get(), CL_ENGINE_DB_VERSION, &error);
    *version = error == 0 && dbVersion > 0 ? std::to_string(dbVersion) : std::string("local");
    return S_OK;
  }

  std::string SelfTestObject() const override { return std::string(KernelSelfTestObject()); }
  bool LoadsBasesFolder() const override { return true; }

 private:
  HRESULT Build(EnginePtr* out, uint64_t* signatures) {
    if (HRESULT hr = InitLibrary(); hr != S_OK) return hr;
    EnginePtr engine(cl_engine_new());
    if (!engine) return E_OUTOFMEMORY;
    cl_engine* e = engine.get();
    // An engine that did not take a setting would scan other than asked
    // (in another folder, past other limits): it is not used.
    cl_error_t set = CL_SUCCESS;
    if (!settings_.tempFolder.empty()) set = cl_engine_set_str(e, CL_ENGINE_TMPDIR, settings_.tempFolder.c_str());
    cl_engine_set_clcb_file_inspection(e, CountInspected);
    // A clean verdict from the library's cache skips the files inside, and
    // with them the count that shows which members it never opened.
    if (set == CL_SUCCESS) set = cl_engine_set_num(e, CL_ENGINE_DISABLE_CACHE, 1);
    // Limits set here, not left to the library's defaults, and read back:
    // a file cut to the size limit is a scan that did not finish.
    if (set == CL_SUCCESS) set = cl_engine_set_num(e, CL_ENGINE_MAX_FILESIZE, kMaxFileSize);
    if (set == CL_SUCCESS) set = cl_engine_set_num(e, CL_ENGINE_MAX_SCANSIZE, kMaxScanSize);
    if (set == CL_SUCCESS && settings_.depthLimitEnabled && settings_.depthLimit > 0) {
      set = cl_engine_set_num(e, CL_ENGINE_MAX_RECURSION, settings_.depthLimit);
    }
    if (set == CL_SUCCESS && settings_.timeoutMillis > 0) {
      set = cl_engine_set_num(e, CL_ENGINE_MAX_SCANTIME, settings_.timeoutMillis);
    }
    if (set == CL_SUCCESS && settings_.maxFiles > 0) set = cl_engine_set_num(e, CL_ENGINE_MAX_FILES, settings_.maxFiles);
    if (set != CL_SUCCESS) return ClamavResult(set);
    int error = 0;
    long long limit = cl_engine_get_num(e, CL_ENGINE_MAX_FILESIZE, &error);
    maxFileSize_ = error == 0 && limit > 0 ? static_cast<uint64_t>(limit) : kMaxFileSize;
    unsigned int loadOptions = CL_DB_STDOPT;
    if (settings_.basesType >= 1) loadOptions |= CL_DB_PUA;
    unsigned int count = 0;
    if (settings_.basesFolder.empty()) return HresultFromWin32(ERROR_FILE_NOT_FOUND);
    if (HRESULT hr = ClamavResult(cl_load(settings_.basesFolder.c_str(), e, &count, loadOptions)); hr != S_OK) {
      return hr;
    }
    if (count == 0) return ZUL_E_BASES_NOT_LOADED;
    unsigned int withSelfTest = count;
    if (!settings_.selfTestSignatures.empty()) {
      if (HRESULT hr = ClamavResult(cl_load(settings_.selfTestSignatures.c_str(), e, &withSelfTest, CL_DB_STDOPT));
          hr != S_OK) {
        return hr;
      }
    }
    if (HRESULT hr = ClamavResult(cl_engine_compile(e)); hr != S_OK) return hr;
    *out = std::move(engine);
    *signatures = count;
    return S_OK;
  }

  static constexpr long long kMaxFileSize = 100LL << 20;
  static constexpr long long kMaxScanSize = 400LL << 20;
  // The library's own defaults, for members it did not read itself.
  static constexpr size_t kDefaultMaxFiles = 10000;
  static constexpr uint32_t kDefaultMaxDepth = 17;

  EngineSettings settings_;
  uint64_t maxFileSize_ = kMaxFileSize;
  EnginePtr engine_;
  uint64_t signatures_ = 0;
  cl_scan_options options_{};
};

}  // namespace

std::unique_ptr<ScanEngine> NewClamavEngine() { return std::make_unique<ClamavEngine>(); }

}  // namespace zul
