#include "records/outbreak_monitor.h"

#include "settings/settings_records.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

std::vector<std::string> g_warnings;

class OutbreakMonitorTest : public TaskTest {
 protected:
  void SetUp() override {
    ResetSettingsRecords();
    g_warnings.clear();
    SetSystemWarningSender([](std::string_view line) { g_warnings.emplace_back(line); });
  }
  void Rule(size_t index, int32_t threshold, int32_t period, const std::string& text) {
    OutbreakRule& rule = OutbreakRules()[index];
    rule.enabled = 1;
    rule.threshold = threshold;
    rule.periodSeconds = period;
    rule.warningText = text;
  }
  // The warnings sent, without the task prefix and the line feeds.
  std::vector<std::string> Warnings() {
    std::vector<std::string> out;
    for (std::string line : g_warnings) {
      line = line.substr(std::string("ZulMailMonitor: ").size());
      while (!line.empty() && line.back() == '\n') line.pop_back();
      out.push_back(line);
    }
    return out;
  }
  void At(int64_t seconds) { clock_->SetMicros(notesapi::testing::kTestEpochMicros + seconds * 1000000); }
};

TEST_F(OutbreakMonitorTest, ThresholdInAWindowWarnsOnce) {
  Rule(0, 3, 60, "%c infected in %p");
  ASSERT_EQ(StartOutbreakMonitor(1), kNoError);
  At(0);
  ReportScanEvent(2, "A");
  At(10);
  ReportScanEvent(1, "B");
  EXPECT_TRUE(Warnings().empty());
  At(20);
  ReportScanEvent(2, "C");
  At(30);
  ReportScanEvent(2, "D");
  EXPECT_EQ(Warnings(), (std::vector<std::string>{"3 infected in 00:00:20"})) << "the fourth gives none";
  At(61);
  ReportScanEvent(2, "E");
  At(62);
  ReportScanEvent(2, "F");
  EXPECT_EQ(Warnings().size(), 1u) << "a new window with count 1, then 2";
  for (int result : {0, 5, 6, 7, 8, 9, 10}) ReportScanEvent(result, "never counts");
  At(63);
  ReportScanEvent(2, "G");
  EXPECT_EQ(Warnings().size(), 2u);
}

TEST_F(OutbreakMonitorTest, PeriodZeroStartsAWindowEverySecond) {
  Rule(1, 2, 0, "suspicious %c");
  ASSERT_EQ(StartOutbreakMonitor(1), kNoError);
  At(5);
  ReportScanEvent(3, "x");
  ReportScanEvent(3, "x");
  EXPECT_EQ(Warnings(), (std::vector<std::string>{"suspicious 2"})) << "same second: same window";
  At(6);
  ReportScanEvent(3, "x");
  At(7);
  ReportScanEvent(3, "x");
  EXPECT_EQ(Warnings().size(), 1u);
}

TEST_F(OutbreakMonitorTest, ThreatNamesAreCountedApartAndReset) {
  Rule(3, 2, 60, "%v: %c times");
  ASSERT_EQ(StartOutbreakMonitor(1), kNoError);
  At(0);
  ReportScanEvent(2, "A");
  At(1);
  ReportScanEvent(2, "B");
  At(2);
  ReportScanEvent(2, "A");
  EXPECT_EQ(Warnings(), (std::vector<std::string>{"A: 2 times"}));
  ReportScanEvent(4, "B");  // protected content is not a threat hit
  EXPECT_EQ(ThreatNameCount(), 2u);
  At(70);
  ReportScanEvent(2, "A");  // A's window ran out: every name starts again
  EXPECT_EQ(ThreatNameCount(), 1u);
  ReportScanEvent(2, "B");
  EXPECT_EQ(Warnings().size(), 1u) << "B starts again from 1";
}

TEST_F(OutbreakMonitorTest, WarningTextIsFilledAndNeverExpandedTwice) {
  EXPECT_EQ(ExpandOutbreakWarning("%c in %p (%v)%x%", 75, 5, ""), "5 in 00:01:15 ()\n");
  EXPECT_EQ(ExpandOutbreakWarning("%p", 90061, 1, ""), "25:01:01\n") << "hours are not limited to two digits";
  EXPECT_EQ(ExpandOutbreakWarning(std::string(2000, 'w'), 0, 0, "").size(), 1023u);
  Rule(0, 1, 60, "100%% sure: %c, %s %n");
  ASSERT_EQ(StartOutbreakMonitor(1), kNoError);
  ReportScanEvent(2, "A");
  EXPECT_EQ(Warnings(), (std::vector<std::string>{"100 sure: 1,  "}));
}

TEST_F(OutbreakMonitorTest, ReconfigureRestartsWindowsButKeepsThreatNames) {
  Rule(0, 2, 600, "infected");
  Rule(3, 3, 600, "%v");
  ASSERT_EQ(StartOutbreakMonitor(1), kNoError);
  ReportScanEvent(2, "A");
  ReportScanEvent(2, "A");
  EXPECT_EQ(Warnings().size(), 1u);
  ASSERT_EQ(ReconfigureOutbreakMonitor(), kNoError);
  ReportScanEvent(2, "A");
  EXPECT_EQ(Warnings(), (std::vector<std::string>{"infected", "A"})) << "A's count survived; rule 0 starts again";
  OutbreakRules()[0].enabled = 0;
  ASSERT_EQ(ReconfigureOutbreakMonitor(), kNoError);
  ReportScanEvent(2, "B");
  ReportScanEvent(2, "B");
  EXPECT_EQ(Warnings().size(), 2u) << "a disabled rule ignores everything";
}

TEST_F(OutbreakMonitorTest, ThreatTableStaysBoundedUnderAFlood) {
  Rule(3, 1000000, 3600, "%v");
  ASSERT_EQ(StartOutbreakMonitor(1), kNoError);
  ReportScanEvent(2, "Persistent");
  ReportScanEvent(2, "Persistent");
  for (size_t i = 0; i < kMaxThreatNames + 500; ++i) ReportScanEvent(2, "Flood-" + std::to_string(i));
  EXPECT_EQ(ThreatNameCount(), kMaxThreatNames);
  Rule(3, 3, 3600, "%v");
  ASSERT_EQ(ReconfigureOutbreakMonitor(), kNoError);
  ReportScanEvent(2, "Persistent");
  EXPECT_EQ(Warnings(), (std::vector<std::string>{"Persistent"})) << "the name with most hits was kept";
}

}  // namespace
}  // namespace zul::testing
