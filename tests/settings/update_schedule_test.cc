#include "settings/update_schedule.h"

#include "notesapi/scoped_handles.h"
#include "settings/settings_reader.h"
#include "settings/settings_records.h"
#include "tests/settings/settings_database_builder.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

// Local times in the test zone (three hours east of UTC).
class UpdateScheduleTest : public TaskTest {
 protected:
  void SetUp() override {
    ResetSettingsRecords();
    Variables().setupDatabase = "zulsetup.nsf";
    Variables().logConsole = 1;
    SetTaskName("ZulUpdater");
  }
  TimeDate Local(int day, int hour, int minute = 0) {
    LocalTime local;
    local.year = 2026;
    local.month = 12;
    local.day = day;
    local.hour = hour;
    local.minute = minute;
    EXPECT_EQ(host_->TimeLocalToGm(&local), kNoError);
    return local.gm;
  }
  std::string Text(const TimeDate& time) {
    std::string text;
    EXPECT_EQ(host_->TimeToText(time, &text), kNoError);
    return text;
  }
  void Settings(Items updater) {
    builder_.forms["uidUpdaterSettings"] = std::move(updater);
    builder_.Build(host_.get(), "zulsetup.nsf");
    ASSERT_TRUE(ReadAllSettings(TaskKind::kUpdater).ok());
  }
  void Now(int day, int hour, int minute = 0) {
    TimeDate now = Local(day, hour, minute);
    int64_t days = static_cast<int64_t>(now.innards[1] & kAnyDay) - kJulianDayOfUnixEpoch;
    clock_->SetMicros(days * 86400000000LL + static_cast<int64_t>(now.innards[0]) * 10000);
  }
  std::string Stored() {
    ScopedDb db(host_.get());
    ScopedNote note(host_.get());
    EXPECT_EQ(host_->DbOpen("zulsetup.nsf", db.put()), kNoError);
    EXPECT_EQ(host_->NoteOpen(db.get(), builder_.notes["uidUpdaterSettings"].noteId, 0, note.put()), kNoError);
    TimeDate time;
    EXPECT_TRUE(host_->ItemGetTime(note.get(), "usNextUpdate", &time));
    return Text(time);
  }
  static std::string Time(const TimeDate& t) { return EncodeTimeValue(t); }

  SettingsDatabaseBuilder builder_;
};

TEST_F(UpdateScheduleTest, HourlyStepsFromTheStoredTime) {
  Settings({{"usPeriodSelector", T("0")}, {"usEveryHour", N(4)}, {"usNextUpdate", Time(Local(7, 8))}});
  Now(7, 17, 30);
  ASSERT_EQ(ComputeNextUpdate(), kNoError);
  EXPECT_EQ(Text(Updater().nextUpdate), "07.12.2026 20:00:00");
  EXPECT_EQ(Stored(), "07.12.2026 20:00:00");
}

TEST_F(UpdateScheduleTest, DailyAtOneTime) {
  Settings({{"usPeriodSelector", T("1")}, {"usEveryDay", N(1)}, {"usUpTime1", Time(Local(1, 3))},
            {"usNextUpdate", Time(Local(6, 3))}});
  Now(7, 10);
  ASSERT_EQ(ComputeNextUpdate(), kNoError);
  EXPECT_EQ(Stored(), "08.12.2026 03:00:00");
}

TEST_F(UpdateScheduleTest, DailySlotTooFarAheadIsPulledBackADay) {
  Settings({{"usPeriodSelector", T("1")}, {"usEveryDay", N(2)}, {"usUpTime1", Time(Local(1, 23))},
            {"usNextUpdate", Time(Local(7, 2))}});
  Now(7, 10);
  ASSERT_EQ(ComputeNextUpdate(), kNoError);
  EXPECT_EQ(Stored(), "08.12.2026 23:00:00") << "9 Dec 23:00 would be 2 days 13 hours ahead";
}

TEST_F(UpdateScheduleTest, DailyAtTwoTimes) {
  Settings({{"usPeriodSelector", T("1")}, {"usEveryDay", N(1)}, {"usTime2Enabled", T("1")},
            {"usUpTime1", Time(Local(7, 15))}, {"usUpTime2", Time(Local(7, 3))}, {"usNextUpdate", Time(Local(5, 3))}});
  Now(7, 16);
  ASSERT_EQ(ComputeNextUpdate(), kNoError);
  EXPECT_EQ(Stored(), "08.12.2026 03:00:00") << "whole days at the earlier time";
}

TEST_F(UpdateScheduleTest, NothingChangesBeforeTheTimeComes) {
  Settings({{"usPeriodSelector", T("0")}, {"usEveryHour", N(4)}, {"usNextUpdate", Time(Local(7, 13))}});
  Now(7, 13);
  uint32_t saves = platform_->CallCount("NoteUpdate");
  ASSERT_EQ(ComputeNextUpdate(), kNoError);
  EXPECT_EQ(platform_->CallCount("NoteUpdate"), saves) << "now equal to next: nothing written";
  EXPECT_EQ(Stored(), "07.12.2026 13:00:00");
}

TEST_F(UpdateScheduleTest, IntervalsBelowOneCountAsOne) {
  Settings({{"usPeriodSelector", T("0")}, {"usEveryHour", N(0)}, {"usNextUpdate", Time(Local(7, 8))}});
  Now(7, 10, 30);
  ASSERT_EQ(ComputeNextUpdate(), kNoError);
  EXPECT_EQ(Stored(), "07.12.2026 11:00:00");
}

TEST_F(UpdateScheduleTest, MissingNextTimeStartsFromNow) {
  Settings({{"usPeriodSelector", T("0")}, {"usEveryHour", N(3)}});
  Now(7, 10, 30);
  uint32_t adjustments = platform_->CallCount("TimeAdjust");
  ASSERT_EQ(ComputeNextUpdate(), kNoError);
  EXPECT_EQ(Stored(), "07.12.2026 13:30:00");
  EXPECT_EQ(platform_->CallCount("TimeAdjust") - adjustments, 1u) << "one step from now, not thousands from day zero";
}

TEST_F(UpdateScheduleTest, FailuresAreReportedAndTheMemoryTimeStillMoves) {
  Settings({{"usPeriodSelector", T("0")}, {"usEveryHour", N(1)}, {"usNextUpdate", Time(Local(7, 8))}});
  Now(7, 9, 30);
  platform_->FailCall("NoteUpdate", platform_->CallCount("NoteUpdate") + 1, kDatabaseLocked);
  EXPECT_EQ(ComputeNextUpdate(), kDatabaseLocked);
  EXPECT_EQ(Text(Updater().nextUpdate), "07.12.2026 10:00:00");
  EXPECT_EQ(Stored(), "07.12.2026 08:00:00");
  ASSERT_FALSE(platform_->lines.empty());
  EXPECT_EQ(platform_->lines.back().find(Lmbcs("ZulUpdater: Ошибка при записи в базу времени следующего сканирования.\n")),
            0u);
  Variables().setupDatabase = "gone.nsf";
  EXPECT_EQ(ComputeNextUpdate(), kDatabaseNotFound);
}

}  // namespace
}  // namespace zul::testing
