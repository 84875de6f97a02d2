// Storing and presenting large mail: import of a message with one base64
// attachment, then the converted open a scanner does, for 1 MB and 30 MB.
// The baseline in the same run is decoding the same attachment alone; the
// peak resident size of the process is reported as a counter.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "notesapi/host/host_admin.h"
#include "notesapi/host/host_platform.h"
#include "notesapi/host/mime_import.h"
#include "notesapi/scoped_handles.h"
#include "mime/transfer_decoding.h"

using namespace notesapi;
using mime::DecodeBase64Leniently;

namespace {

std::string Base64Lines(size_t bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve(bytes * 4 / 3 + bytes / 57 + 8);
  uint32_t seed = 7;
  for (size_t i = 0; i < bytes / 3; ++i) {
    for (int k = 0; k < 4; ++k) {
      seed = seed * 1103515245 + 12345;
      out += kAlphabet[seed >> 26];
    }
    if (i % 19 == 18) out += '\n';
  }
  return out + "\n";
}

std::string Message(size_t attachmentBytes) {
  return "From: a@example.com\nTo: b@example.com\nSubject: large\nMIME-Version: 1.0\n"
         "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nsee attached\n"
         "--b\nContent-Type: application/octet-stream; name=\"big.bin\"\nContent-Transfer-Encoding: base64\n\n" +
         Base64Lines(attachmentBytes) + "--b--\n";
}

double PeakResidentMiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_DecodeAttachmentOnly(benchmark::State& state) {
  std::string body = Base64Lines(static_cast<size_t>(state.range(0)) << 20);
  for (auto _ : state) benchmark::DoNotOptimize(DecodeBase64Leniently(body));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_DecodeAttachmentOnly)->Arg(1)->Arg(30)->Unit(benchmark::kMillisecond);

void BM_ImportAndOpenConverted(benchmark::State& state) {
  std::string pattern = (std::filesystem::temp_directory_path() / "zulbench.XXXXXX").string();
  std::string directory = ::mkdtemp(pattern.data());
  if (InitServerDirectory(directory, "CN=Bench/O=Tervala") != kNoError) std::abort();
  HostOptions options;
  options.notesIni = directory + "/notes.ini";
  options.echoConsole = false;
  std::unique_ptr<Platform> platform;
  if (NewHostPlatform(options, &platform) != kNoError) std::abort();
  Platform* p = platform.get();
  if (p->DbCreate("mail.box", "Mail box") != kNoError) std::abort();
  std::string message = Message(static_cast<size_t>(state.range(0)) << 20);
  std::u16string scratch(directory.begin(), directory.end());
  {
    ScopedDb db(p);
    if (p->DbOpen("mail.box", db.put()) != kNoError) std::abort();
    for (auto _ : state) {
      ImportedMessage imported;
      if (ImportMimeMessage(p, db.get(), message, true, scratch, &imported) != kNoError) std::abort();
      ScopedNote view(p);
      if (p->NoteOpen(db.get(), imported.noteId, 0, view.put()) != kNoError) std::abort();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(message.size()));
  state.counters["peak_rss_MiB"] = PeakResidentMiB();
  platform.reset();
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}
BENCHMARK(BM_ImportAndOpenConverted)->Arg(1)->Arg(30)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
