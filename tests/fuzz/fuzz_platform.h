// A real embedded server for fuzz targets that go through the platform: made
// once per process in a temporary folder.
#ifndef TESTS_FUZZ_FUZZ_PLATFORM_H_
#define TESTS_FUZZ_FUZZ_PLATFORM_H_

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "notesapi/host/host_admin.h"
#include "notesapi/host/host_platform.h"
#include "notesapi/process_platform.h"

namespace zul::fuzzing {

inline notesapi::Platform* FuzzPlatform() {
  static std::unique_ptr<notesapi::Platform> platform = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "zulfuzz.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) __builtin_trap();
    if (notesapi::InitServerDirectory(pattern + "/srv", "CN=Fuzz/O=Tervala") != notesapi::kNoError) __builtin_trap();
    notesapi::HostOptions options;
    options.notesIni = pattern + "/srv/notes.ini";
    options.echoConsole = false;
    std::unique_ptr<notesapi::Platform> created;
    if (notesapi::NewHostPlatform(options, &created) != notesapi::kNoError) __builtin_trap();
    notesapi::SetProcessPlatform(created.get());
    return created;
  }();
  return platform.get();
}

}  // namespace zul::fuzzing

#endif  // TESTS_FUZZ_FUZZ_PLATFORM_H_
