// A fresh server directory per test, removed afterwards, and the factories
// that open a platform on it. The conformance suite runs against every
// factory listed in PlatformFactories().
#ifndef TESTS_NOTESAPI_TEST_SERVER_H_
#define TESTS_NOTESAPI_TEST_SERVER_H_

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "notesapi/clock.h"
#include "notesapi/host/host_admin.h"
#include "notesapi/host/host_platform.h"
#include "notesapi/platform.h"

namespace notesapi::testing {

class TestServer {
 public:
  TestServer() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zulsrv.XXXXXX").string();
    directory_ = ::mkdtemp(pattern.data());
    (void)InitServerDirectory(directory_, "CN=Test/O=Tervala");
  }
  ~TestServer() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  const std::string& directory() const { return directory_; }
  std::string notesIni() const { return directory_ + "/notes.ini"; }
  std::string data(const std::string& name) const { return directory_ + "/data/" + name; }

  // A host platform on this directory with the given clock and no idle pause.
  std::unique_ptr<Platform> OpenHost(std::shared_ptr<Clock> clock = nullptr, int idleWaitMillis = 0) const {
    HostOptions options;
    options.notesIni = notesIni();
    options.clock = std::move(clock);
    options.idleWaitMillis = idleWaitMillis;
    options.echoConsole = false;
    std::unique_ptr<Platform> platform;
    if (Status s = NewHostPlatform(options, &platform); s != kNoError) {
      std::fprintf(stderr, "cannot open the host: status 0x%04X\n", static_cast<unsigned>(s));
      std::abort();
    }
    return platform;
  }

 private:
  std::string directory_;
};

// 2026-12-07 10:00:00 UTC, the start of every test clock.
inline constexpr int64_t kTestEpochMicros = 1796637600LL * 1000000;

}  // namespace notesapi::testing

#endif  // TESTS_NOTESAPI_TEST_SERVER_H_
