// Throughput of the scan kernel on a mixed corpus (ClamAV's test files, text,
// a clean archive, random binary data) against calling libclamav directly on
// the same bytes, in the same run: the ratio is the kernel layer's cost
// (reading the file through the platform, the verdict mapping).
#include <benchmark/benchmark.h>
#include <clamav.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "notesapi/host/host_admin.h"
#include "notesapi/host/host_platform.h"
#include "notesapi/process_platform.h"
#include "scanning/scan_kernel.h"

namespace {

struct Corpus {
  std::string directory;
  std::vector<std::string> files;
  std::vector<std::string> contents;
  size_t bytes = 0;
  std::unique_ptr<notesapi::Platform> platform;

  Corpus() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zulscanbench.XXXXXX").string();
    directory = ::mkdtemp(pattern.data());
    (void)notesapi::InitServerDirectory(directory + "/server", "CN=Bench/O=Tervala");
    notesapi::HostOptions options;
    options.notesIni = directory + "/server/notes.ini";
    options.echoConsole = false;
    if (notesapi::NewHostPlatform(options, &platform) != notesapi::kNoError) std::abort();
    notesapi::SetProcessPlatform(platform.get());
    for (const auto& entry : std::filesystem::directory_iterator("/usr/share/clamav-testfiles")) {
      Add(entry.path().string());
    }
    std::mt19937 random(42);
    std::string noise(1 << 20, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    Write("noise.bin", noise);
    std::string text;
    while (text.size() < (256 << 10)) text += "Quarterly report: all figures are within the plan.\n";
    Write("report.txt", text);
  }
  ~Corpus() {
    notesapi::SetProcessPlatform(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
  void Write(const std::string& name, const std::string& data) {
    std::ofstream(directory + "/" + name, std::ios::binary) << data;
    Add(directory + "/" + name);
  }
  void Add(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    files.push_back(path);
    bytes += contents.back().size();
  }
};

Corpus& TheCorpus() {
  static Corpus corpus;
  return corpus;
}

void BM_LibclamavDirect(benchmark::State& state) {
  Corpus& corpus = TheCorpus();
  cl_init(CL_INIT_DEFAULT);
  cl_engine* engine = cl_engine_new();
  unsigned int signatures = 0;
  if (cl_load(DEMO_BASES_DIR, engine, &signatures, CL_DB_STDOPT) != CL_SUCCESS || cl_engine_compile(engine) != CL_SUCCESS) {
    state.SkipWithError("bases did not load");
    return;
  }
  cl_scan_options options{};
  options.general = CL_SCAN_GENERAL_HEURISTICS;
  // The options the kernel uses with every kind of content switched on.
  options.parse = CL_SCAN_PARSE_PE | CL_SCAN_PARSE_ELF | CL_SCAN_PARSE_ARCHIVE | CL_SCAN_PARSE_MAIL |
                  CL_SCAN_PARSE_OLE2 | CL_SCAN_PARSE_XMLDOCS | CL_SCAN_PARSE_HWP3 | CL_SCAN_PARSE_ONENOTE |
                  CL_SCAN_PARSE_PDF | CL_SCAN_PARSE_HTML | CL_SCAN_PARSE_SWF;
  options.heuristic = CL_SCAN_HEURISTIC_ENCRYPTED_ARCHIVE | CL_SCAN_HEURISTIC_ENCRYPTED_DOC |
                      CL_SCAN_HEURISTIC_EXCEEDS_MAX | CL_SCAN_HEURISTIC_BROKEN | CL_SCAN_HEURISTIC_MACROS |
                      CL_SCAN_HEURISTIC_PHISHING_SSL_MISMATCH | CL_SCAN_HEURISTIC_PHISHING_CLOAK;
  for (auto _ : state) {
    for (const std::string& bytes : corpus.contents) {
      cl_fmap_t* map = cl_fmap_open_memory(bytes.data(), bytes.size());
      const char* name = nullptr;
      unsigned long scanned = 0;
      benchmark::DoNotOptimize(cl_scanmap_callback(map, nullptr, &name, &scanned, engine, &options, nullptr));
      cl_fmap_close(map);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
  cl_engine_free(engine);
}
BENCHMARK(BM_LibclamavDirect)->Unit(benchmark::kMillisecond);

void BM_ScanFile(benchmark::State& state) {
  Corpus& corpus = TheCorpus();
  zul::KernelSettingsRecord settings;
  std::string bases = DEMO_BASES_DIR;
  settings.basesFolder.assign(bases.begin(), bases.end());
  settings.scanFlags = 0x7E;
  std::string temp = corpus.directory + "/work/ftemp";
  std::filesystem::create_directories(temp);
  settings.tempFolder.assign(temp.begin(), temp.end());
  std::unique_ptr<zul::ScanKernel> kernel;
  if (!zul::ScanKernel::Open({"", settings}, notesapi::ProcessPlatform(), &kernel).ok()) {
    state.SkipWithError("kernel did not start");
    return;
  }
  std::vector<std::u16string> paths;
  for (const std::string& file : corpus.files) paths.emplace_back(file.begin(), file.end());
  std::string description;
  for (auto _ : state) {
    for (const std::u16string& path : paths) benchmark::DoNotOptimize(kernel->ScanFile(path, &description));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
}
BENCHMARK(BM_ScanFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
