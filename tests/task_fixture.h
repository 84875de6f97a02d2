// A task's process-wide state on a fresh server directory: the host platform
// (behind a wrapper that also records console lines) as the process
// platform, the task name set, notes.ini variables and the log state reset.
#ifndef TESTS_TASK_FIXTURE_H_
#define TESTS_TASK_FIXTURE_H_

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/server_variables.h"
#include "notesapi/fault_injection.h"
#include "notesapi/process_platform.h"
#include "base/message_text.h"
#include "base/task_log.h"
#include "tests/notesapi/test_server.h"

namespace zul::testing {

// Keeps every console line (LMBCS bytes) besides passing it on, and can
// end a task's loop: the idle stop check says yes at its Nth call, and each
// call may move the test clock on.
class ConsoleRecorder final : public notesapi::FaultInjectionPlatform {
 public:
  using FaultInjectionPlatform::FaultInjectionPlatform;
  void ConsoleLine(std::string_view text) override {
    lines.emplace_back(text);
    FaultInjectionPlatform::ConsoleLine(text);
  }
  bool AddInIdle() override {
    ++idleCalls;
    if (onIdle) onIdle(idleCalls);
    if (stopAtIdleCall > 0 && idleCalls >= stopAtIdleCall) return true;
    return FaultInjectionPlatform::AddInIdle();
  }
  std::vector<std::string> lines;
  int idleCalls = 0;
  int stopAtIdleCall = 0;  // 0: never
  std::function<void(int)> onIdle;
};

class TaskTest : public ::testing::Test {
 protected:
  TaskTest() : clock_(std::make_shared<notesapi::ManualClock>(notesapi::testing::kTestEpochMicros)) {
    ::setenv("TZ", "MSK-3", 1);
    ::tzset();
    host_ = server_.OpenHost(clock_);
    platform_ = std::make_unique<ConsoleRecorder>(host_.get());
    notesapi::SetProcessPlatform(platform_.get());
    Variables() = ServerVariables();
    FreeMessageLibrary();
    SetTaskName("ZulMailMonitor");
    SetSystemWarningSender(nullptr);
  }
  ~TaskTest() override {
    FreeMessageLibrary();
    notesapi::SetProcessPlatform(nullptr);
  }

  void SetIni(const std::string& name, const std::string& value) {
    ASSERT_EQ(host_->IniSetText(name, value), notesapi::kNoError);
  }
  std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
  std::string Lmbcs(const std::string& utf8) {
    std::string out;
    EXPECT_EQ(host_->Translate(notesapi::kTranslateUtf8ToLmbcs, utf8, &out), notesapi::kNoError);
    return out;
  }
  // The console lines in UTF-8, without the task prefix and the line feed.
  std::vector<std::string> Lines() {
    std::vector<std::string> out;
    std::string prefix = TaskName() + ": ";
    for (const std::string& line : platform_->lines) {
      std::string utf8;
      EXPECT_EQ(host_->Translate(notesapi::kTranslateLmbcsToUtf8, line, &utf8), notesapi::kNoError);
      if (utf8.rfind(prefix, 0) == 0) utf8 = utf8.substr(prefix.size());
      if (!utf8.empty() && utf8.back() == '\n') utf8.pop_back();
      out.push_back(utf8);
    }
    return out;
  }
  bool Logged(const std::string& utf8) { return Count(utf8) > 0; }
  bool LoggedStart(const std::string& prefix) {
    for (const std::string& line : Lines()) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  int Count(const std::string& utf8) {
    int n = 0;
    for (const std::string& line : Lines()) n += line == utf8 ? 1 : 0;
    return n;
  }
  std::string Native(const std::string& utf8) {
    std::string out;
    EXPECT_EQ(host_->Translate(notesapi::kTranslateLmbcsToNative, Lmbcs(utf8), &out), notesapi::kNoError);
    return out;
  }

  notesapi::testing::TestServer server_;
  std::shared_ptr<notesapi::ManualClock> clock_;
  std::unique_ptr<notesapi::Platform> host_;
  std::unique_ptr<ConsoleRecorder> platform_;
};

}  // namespace zul::testing

#endif  // TESTS_TASK_FIXTURE_H_
