#include "updater/updater_task.h"

#include <sys/stat.h>
#include <unistd.h>

#include "scanning/scan_kernel.h"
#include "settings/settings_records.h"
#include "tests/settings/settings_database_builder.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

class UpdaterTaskTest : public TaskTest {
 protected:
  void SetUp() override {
    ResetSettingsRecords();
    dir_ = server_.directory();
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    SetIni("ZulUpdaterLogConsole", "1");
    SetIni("ZulUpdaterLogFileName", "");
    SetIni("ZulUpdaterLogLevel", "3");
    SetIni("NotesProgram", dir_ + "/program");
    ASSERT_EQ(host_->DbCreate("zulstat.nsf", "Statistics"), kNoError);
    // A stand-in utility that always reports the code in the file "code".
    std::ofstream(dir_ + "/program/basefetch") << "#!/bin/sh\ncat " << dir_ << "/code > basefetch.txt\n";
    ASSERT_EQ(::chmod((dir_ + "/program/basefetch").c_str(), 0755), 0);
    Code("10");
  }
  void Code(const std::string& code) { std::ofstream(dir_ + "/code") << code << "\n"; }
  void Settings(const std::string& scheduleOn, int nextInSeconds) {
    TimeDate next = host_->TimeNow();
    ASSERT_EQ(host_->TimeAdjust(&next, nextInSeconds / 3600, 0), kNoError);
    builder_.forms["uidUpdaterSettings"] = {{"usDatabaseFolder", T(DEMO_BASES_DIR)}, {"usScheduleDisabled", T(scheduleOn)},
                                            {"usPeriodSelector", T("0")}, {"usEveryHour", N(2)},
                                            {"usNextUpdate", EncodeTimeValue(next)}};
    builder_.Build(host_.get(), "zulsetup.nsf");
  }
  void Put(const char* queue, const std::string& message) {
    ScopedQueue handle(host_.get());
    ASSERT_EQ(host_->QueueOpen(queue, kQueueCreate, handle.put()), kNoError);
    ASSERT_EQ(host_->QueuePut(handle.get(), 1, message), kNoError);
  }
  Status Run(int passes) {
    platform_->stopAtIdleCall = passes;
    return UpdaterTaskMain(host_->ResourceModule(), 0, nullptr);
  }
  int CountStart(const std::string& prefix) {
    int n = 0;
    for (const std::string& l : Lines()) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  std::string dir_;
  SettingsDatabaseBuilder builder_;
};

TEST_F(UpdaterTaskTest, GuardThatCannotCheckIsAFailedStart) {
  Settings("1", 3600);
  platform_->FailCall("AcquireInstance", 1, kFileError);
  EXPECT_FALSE(Run(3).ok());
  EXPECT_EQ(Lines().back(), "Не удалось проверить, запущена ли задача. Выход. Ошибка: " + host_->StatusText(kFileError));
  EXPECT_EQ(platform_->CallCount("QueueOpen"), 0u);
}

TEST_F(UpdaterTaskTest, StartsAndAnswersTheConsole) {
  Settings("1", 3600);
  Put("MQ$ZULUPDATER", "showNext");
  Put("MQ$ZULUPDATER", "version");
  ASSERT_TRUE(Run(2).ok());
  std::vector<std::string> lines = Lines();
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
            (std::vector<std::string>{"Инициализация...", "Регистрация служебных очередей.",
                                      "Инициализация успешно завершена."}));
  EXPECT_EQ(CountStart("Следующее обновление 07.12.2026"), 1);
  EXPECT_EQ(Count("v5.5.1382 (ru, release-ru)"), 1);
  EXPECT_EQ(lines.back(), "Завершение работы.");
}

TEST_F(UpdaterTaskTest, ScheduleOffShowsSoAndRunsOnlyWhenAsked) {
  Settings("0", -3600);
  Put("MQ$ZULUPDATER", "SHOWNEXT");
  platform_->onIdle = [this](int) { clock_->AdvanceSeconds(60); };
  ASSERT_TRUE(Run(4).ok());
  EXPECT_EQ(Count("Обновление по расписанию отключено."), 1);
  EXPECT_EQ(Count("Запрос на обновление антивирусных баз."), 0) << "no scheduled run";
  platform_->lines.clear();
  ASSERT_EQ(host_->ReleaseInstance("nZulUpdater"), kNoError);  // the updater keeps its slot for the process
  Put("MQ$ZULUPDATER", "start");
  ASSERT_TRUE(Run(platform_->idleCalls + 2).ok());
  EXPECT_EQ(Count("Запрос на обновление антивирусных баз."), 1);
  EXPECT_EQ(Count("Нет новых баз."), 1);
}

TEST_F(UpdaterTaskTest, BothDatabaseNoticesInOneMessage) {
  Settings("1", 3600);
  Put("MQ$DATABASE2UPD", "CONFIG|UPDATED CONFIG|START");
  ASSERT_TRUE(Run(2).ok());
  std::vector<std::string> lines = Lines();
  auto updated = std::find(lines.begin(), lines.end(), "Конфигурация обновлена");
  auto requested = std::find(lines.begin(), lines.end(), "Запрос на обновление антивирусных баз.");
  ASSERT_NE(updated, lines.end());
  ASSERT_NE(requested, lines.end());
  EXPECT_LT(updated, requested) << "settings first, then the run";
}

TEST_F(UpdaterTaskTest, ThreeFailedScheduledRunsMoveTheScheduleOnce) {
  Settings("1", -3600);
  Code("3");
  platform_->onIdle = [this](int) { clock_->AdvanceSeconds(60); };
  ASSERT_TRUE(Run(8).ok());
  EXPECT_EQ(Count("Запрос на обновление антивирусных баз."), 3) << "then the next slot is in the future";
  EXPECT_EQ(CountStart("Невозможно обновить антивирусные базы. Ошибка:"), 3);
}

TEST_F(UpdaterTaskTest, SecondInstanceAndMissingSettings) {
  Settings("1", 3600);
  std::unique_ptr<Platform> other = server_.OpenHost();
  ASSERT_EQ(other->AcquireInstance("nZulUpdater"), kNoError);
  EXPECT_TRUE(Run(2).ok());
  EXPECT_EQ(Lines().back(), "Задача уже запущена. Выход.");
  EXPECT_EQ(platform_->CallCount("QueueOpen"), 0u);
  platform_->lines.clear();
  SetIni("ZULSetupDatabase", "gone.nsf");
  EXPECT_FALSE(Run(2).ok());
  EXPECT_EQ(Lines().back(), "Ошибка чтения конфигурации. Выход.\n") << "the updater's own text 1004";
}

}  // namespace
}  // namespace zul::testing
