#include "base/server_variables.h"

#include "base/kernel_settings_record.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

class ServerVariablesTest : public TaskTest {
 protected:
  void SetUp() override {
    // Start from a notes.ini with only what each case sets.
    std::ofstream(server_.notesIni(), std::ios::trunc) << "; test\nZulMailMonitorLogConsole=1\nZulUpdaterLogConsole=1\n";
  }
  std::vector<std::string> Console() { return platform_->lines; }
};

struct MissingCase {
  TaskKind task;
  std::vector<const char*> set;
  const char* reported;  // UTF-8, without the task prefix
};

class MissingVariables : public ServerVariablesTest, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingVariables, FirstMissingDatabaseIsReportedAlone) {
  const MissingCase& c = GetParam();
  for (const char* name : c.set) SetIni(name, "x.nsf");
  SetTaskName(c.task == TaskKind::kMailMonitor ? "ZulMailMonitor" : "ZulUpdater");
  EXPECT_EQ(ReadServerVariables(c.task), c.reported == nullptr);
  if (c.reported == nullptr) {
    EXPECT_TRUE(Console().empty());
    return;
  }
  ASSERT_EQ(Console().size(), 1u);
  EXPECT_EQ(Console()[0], Lmbcs(TaskName() + ": " + c.reported + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Order, MissingVariables,
    ::testing::Values(
        MissingCase{TaskKind::kMailMonitor, {}, "Не указано имя конфигурационной базы."},
        MissingCase{TaskKind::kMailMonitor, {"ZULStatDatabase"}, "Не указано имя конфигурационной базы."},
        MissingCase{TaskKind::kMailMonitor, {"ZULSetupDatabase"}, "Не указано имя базы статистики."},
        MissingCase{TaskKind::kMailMonitor, {"ZULSetupDatabase", "ZULStatDatabase"}, "Не указано имя базы карантина."},
        MissingCase{TaskKind::kMailMonitor, {"ZULSetupDatabase", "ZULStatDatabase", "ZULQuarantineDatabase"}, nullptr},
        MissingCase{TaskKind::kUpdater, {}, "Не указано имя конфигурационной базы.\n"},
        MissingCase{TaskKind::kUpdater, {"ZULSetupDatabase"}, "Не указано имя базы статистики.\n"},
        MissingCase{TaskKind::kUpdater, {"ZULSetupDatabase", "ZULStatDatabase"}, nullptr}));

TEST_F(ServerVariablesTest, LogFileNeedsFlagAndName) {
  SetIni("ZULSetupDatabase", "s.nsf");
  SetIni("ZULStatDatabase", "t.nsf");
  SetIni("ZULQuarantineDatabase", "q.nsf");
  std::string file = server_.directory() + "/log/monitor.log";
  SetIni("ZulMailMonitorLogFileName", file);
  ASSERT_TRUE(ReadServerVariables(TaskKind::kMailMonitor));
  EXPECT_EQ(Variables().logFileFlag, 0);
  EXPECT_EQ(Variables().logFileName, "") << "the name is not even read with the flag off";
  EXPECT_EQ(ReadFile(file), "");
  SetIni("ZulMailMonitorLogFileFlag", "1");
  SetIni("ZulMailMonitorLogFileName", "");
  ASSERT_TRUE(ReadServerVariables(TaskKind::kMailMonitor));
  EXPECT_EQ(Variables().logFileFlag, 0) << "an empty name turns file logging off";
  SetIni("ZulMailMonitorLogFileName", file);
  ASSERT_TRUE(ReadServerVariables(TaskKind::kMailMonitor));
  EXPECT_EQ(Variables().logFileFlag, 1);
  EXPECT_EQ(ReadFile(file), "\n===================== [07.12.2026 13:00:00]\n");
}

TEST_F(ServerVariablesTest, KernelLimitsAndPlaceholderPath) {
  SetIni("ZULSetupDatabase", "s.nsf");
  SetIni("ZULStatDatabase", "t.nsf");
  SetIni("ZULQuarantineDatabase", "q.nsf");
  SetIni("ZulScanDepthLimitEnabled", "1");
  SetIni("ZulScanDepthLimit", "12");
  SetIni("ZulQueueSizeLimit", "-5");
  ASSERT_TRUE(ReadServerVariables(TaskKind::kMailMonitor));
  EXPECT_EQ(KernelSettings().depthLimitEnabled, 1);
  EXPECT_EQ(KernelSettings().depthLimit, 12);
  EXPECT_EQ(KernelSettings().queueSizeLimit, -5);
  EXPECT_EQ(Variables().placeholderFile, "\\zuldummy.txt") << "NotesProgram not set";
  SetIni("NotesProgram", "C:\\Lotus\\Domino");
  ASSERT_TRUE(ReadServerVariables(TaskKind::kMailMonitor));
  EXPECT_EQ(Variables().placeholderFile, "C:\\Lotus\\Domino\\zuldummy.txt");
  std::string exact(255 - 13, 'p');
  SetIni("NotesProgram", exact);
  ASSERT_TRUE(ReadServerVariables(TaskKind::kMailMonitor));
  EXPECT_EQ(Variables().placeholderFile, exact + "\\zuldummy.txt");
  SetIni("NotesProgram", exact + "p");
  ASSERT_TRUE(ReadServerVariables(TaskKind::kMailMonitor));
  EXPECT_EQ(Variables().placeholderFile, "\\zuldummy.txt") << "too long for the path: as if not set";
}

}  // namespace
}  // namespace zul::testing
