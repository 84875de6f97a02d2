// Costs of the host's two hottest paths, each against a baseline measured in
// the same run so the figures can be read as ratios on a noisy machine:
//  - a queue put+get round trip, against a bare SQLite-free baseline of
//    formatting the same message (BM_FormatHookRequest);
//  - creating, saving and reopening a note of 20 items, against saving an
//    empty note (BM_SaveEmptyNote).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "notesapi/host/host_admin.h"
#include "notesapi/host/host_platform.h"
#include "notesapi/scoped_handles.h"

using namespace notesapi;

namespace {

class BenchServer {
 public:
  BenchServer() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zulbench.XXXXXX").string();
    directory_ = ::mkdtemp(pattern.data());
    (void)InitServerDirectory(directory_, "CN=Bench/O=Tervala");
    HostOptions options;
    options.notesIni = directory_ + "/notes.ini";
    options.echoConsole = false;
    if (NewHostPlatform(options, &platform_) != kNoError) std::abort();
  }
  ~BenchServer() {
    platform_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  Platform* platform() { return platform_.get(); }

 private:
  std::string directory_;
  std::unique_ptr<Platform> platform_;
};

std::string HookRequest(uint32_t noteId) {
  char text[64];
  std::snprintf(text, sizeof text, "%08x|%08x|%08x|%s", 0u, noteId, 0u, "mail.box");
  return text;
}

void BM_FormatHookRequest(benchmark::State& state) {
  uint32_t id = 0;
  for (auto _ : state) benchmark::DoNotOptimize(HookRequest(id += 4));
}
BENCHMARK(BM_FormatHookRequest);

void BM_QueuePutGet(benchmark::State& state) {
  BenchServer server;
  Platform* p = server.platform();
  ScopedQueue queue(p);
  if (p->QueueOpen("MQ$HOOK2MAIL", kQueueCreate, queue.put()) != kNoError) std::abort();
  std::string message;
  uint32_t id = 0;
  for (auto _ : state) {
    if (p->QueuePut(queue.get(), 1, HookRequest(id += 4)) != kNoError) std::abort();
    if (p->QueueGet(queue.get(), 255, &message) != kNoError) std::abort();
  }
}
BENCHMARK(BM_QueuePutGet);

void SaveAndReopen(benchmark::State& state, int items) {
  BenchServer server;
  Platform* p = server.platform();
  if (p->DbCreate("bench.nsf", "Bench") != kNoError) std::abort();
  ScopedDb db(p);
  if (p->DbOpen("bench.nsf", db.put()) != kNoError) std::abort();
  for (auto _ : state) {
    ScopedNote note(p);
    if (p->NoteCreate(db.get(), note.put()) != kNoError) std::abort();
    for (int i = 0; i < items; ++i) {
      std::string name = "Item" + std::to_string(i);
      notesapi::Status s = i % 2 == 0 ? p->ItemSetText(note.get(), name, "some text of a settings item")
                            : p->ItemSetNumber(note.get(), name, i);
      if (s != kNoError) std::abort();
    }
    if (p->NoteUpdate(note.get(), kUpdateForce) != kNoError) std::abort();
    NoteInfo info;
    if (p->NoteGetInfo(note.get(), &info) != kNoError) std::abort();
    ScopedNote reopened(p);
    if (p->NoteOpen(db.get(), info.noteId, 0, reopened.put()) != kNoError) std::abort();
  }
}

void BM_SaveEmptyNote(benchmark::State& state) { SaveAndReopen(state, 0); }
BENCHMARK(BM_SaveEmptyNote);

void BM_SaveNoteWith20Items(benchmark::State& state) { SaveAndReopen(state, 20); }
BENCHMARK(BM_SaveNoteWith20Items);

}  // namespace

BENCHMARK_MAIN();
