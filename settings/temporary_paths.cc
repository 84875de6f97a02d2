#include "settings/temporary_paths.h"

#include <cstdio>
#include <filesystem>
#include <random>

#include "notesapi/process_platform.h"
#include "base/text_conversions.h"
#include "settings/settings_records.h"

namespace zul {

namespace {

// Enough for any folder that could hold a file at all; past it the
// generator repeats and the last name is used.
constexpr int kMaxDraws = 100000;

// Seeded once per process: names nobody can guess ahead of the monitor.
int NextNumber() {
  static std::mt19937 generator{std::random_device{}()};
  return static_cast<int>(generator() % 32768);
}

}  // namespace

std::string DrawTemporaryPath(std::string_view taken) {
  notesapi::Platform* p = notesapi::ProcessPlatform();
  std::string folder(UnicodeToNotes(General().taskWorkFolder));
  std::string path;
  for (int draw = 0; draw < kMaxDraws; ++draw) {
    char name[32];
    std::snprintf(name, sizeof name, "ZELK%04x%04d", p->ProcessId(), NextNumber());
    path = folder + name;
    uint64_t size = 0;
    if (path != taken && p->FileSize(PathForFiles(path), &size) != notesapi::kNoError) return path;
  }
  return path;
}

std::u16string PathForFiles(std::string_view notesPath) { return std::u16string(NotesToUnicode(notesPath)); }

int RemoveLeftoverCopies() {
  std::string folder;
  if (notesapi::ProcessPlatform()->LocalPath(General().taskWorkFolder, &folder) != notesapi::kNoError) return 0;
  int removed = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::error_code ignored;
    if (entry.is_regular_file(ignored) && entry.path().filename().string().rfind("ZELK", 0) == 0 &&
        std::filesystem::remove(entry.path(), ignored)) {
      ++removed;
    }
  }
  return removed;
}

}  // namespace zul
