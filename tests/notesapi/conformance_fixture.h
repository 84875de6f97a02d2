// The fixture of the platform's conformance suite: every implementation
// (the host, and the host behind a forwarding wrapper) runs each test.
#ifndef TESTS_NOTESAPI_CONFORMANCE_FIXTURE_H_
#define TESTS_NOTESAPI_CONFORMANCE_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "notesapi/platform_wrapper.h"
#include "tests/notesapi/test_server.h"

namespace notesapi::testing {

class OwningWrapper final : public PlatformWrapper {
 public:
  explicit OwningWrapper(std::unique_ptr<Platform> inner) : PlatformWrapper(inner.get()), inner_(std::move(inner)) {}

 private:
  std::unique_ptr<Platform> inner_;
};

struct Implementation {
  const char* name;
  std::function<std::unique_ptr<Platform>(const TestServer&, std::shared_ptr<Clock>)> open;
};

inline const Implementation kImplementations[] = {
    {"Host", [](const TestServer& server, std::shared_ptr<Clock> clock) { return server.OpenHost(clock); }},
    {"WrappedHost",
     [](const TestServer& server, std::shared_ptr<Clock> clock) -> std::unique_ptr<Platform> {
       return std::make_unique<OwningWrapper>(server.OpenHost(clock));
     }},
};

inline void PrintTo(const Implementation& implementation, std::ostream* os) { *os << implementation.name; }

class PlatformConformance : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    ::setenv("TZ", "MSK-3", 1);  // a fixed zone three hours east, without daylight saving
    ::tzset();
    clock_ = std::make_shared<ManualClock>(kTestEpochMicros);
    platform_ = Open();
    p = platform_.get();
  }
  std::unique_ptr<Platform> Open() { return GetParam().open(server_, clock_); }

  DbHandle CreateAndOpen(const std::string& path) {
    EXPECT_EQ(p->DbCreate(path, "Test"), kNoError);
    DbHandle db = kNullHandle;
    EXPECT_EQ(p->DbOpen(path, &db), kNoError);
    return db;
  }

  std::string Lmbcs(const std::string& utf8) {
    std::string out;
    EXPECT_EQ(p->Translate(kTranslateUtf8ToLmbcs, utf8, &out), kNoError);
    return out;
  }

  TestServer server_;
  std::shared_ptr<ManualClock> clock_;
  std::unique_ptr<Platform> platform_;
  Platform* p = nullptr;
};

}  // namespace notesapi::testing

#endif  // TESTS_NOTESAPI_CONFORMANCE_FIXTURE_H_
