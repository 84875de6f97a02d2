#include "mailmonitor/mail_monitor_task.h"

#include "mailmonitor/service_queues.h"
#include "scanning/scan_kernel.h"
#include "settings/settings_records.h"
#include "tests/settings/settings_database_builder.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

class MailMonitorTaskTest : public TaskTest {
 protected:
  void SetUp() override {
    (void)StopKernel();
    SelectKernelEngine("");
    ResetSettingsRecords();
    SetIni("ZulMailMonitorLogConsole", "1");
    SetIni("ZulMailMonitorLogFileFlag", "0");
    SetIni("ZulMailMonitorLogLevel", "3");
    settings_.forms["uidUpdaterSettings"] = {{"usDatabaseFolder", T(DEMO_BASES_DIR)}};
    settings_.forms["uidCommonSettings"]["gsTemporaryFolder"] = T(server_.directory() + "/tmp");
    ASSERT_EQ(host_->DbCreate("zulstat.nsf", "Statistics"), kNoError);
  }
  void TearDown() override { (void)StopKernel(); }

  void BuildSettings() { settings_.Build(host_.get(), "zulsetup.nsf"); }
  // Runs the task until its idle check has been asked `passes` times.
  Status Run(int passes) {
    platform_->stopAtIdleCall = passes;
    return MailMonitorTaskMain(host_->ResourceModule(), 0, nullptr);
  }
  void Put(const char* queue, const std::string& message) {
    ScopedQueue handle(host_.get());
    ASSERT_EQ(host_->QueueOpen(queue, kQueueCreate, handle.put()), kNoError);
    ASSERT_EQ(host_->QueuePut(handle.get(), 1, message), kNoError);
  }
  // The console lines without the task prefix, in UTF-8.
  std::vector<std::string> Lines() {
    std::vector<std::string> out;
    for (const std::string& line : platform_->lines) {
      std::string utf8;
      EXPECT_EQ(host_->Translate(kTranslateLmbcsToUtf8, line, &utf8), kNoError);
      if (utf8.rfind("ZulMailMonitor: ", 0) == 0) utf8 = utf8.substr(16);
      if (!utf8.empty() && utf8.back() == '\n') utf8.pop_back();
      out.push_back(utf8);
    }
    return out;
  }
  bool Logged(const std::string& utf8) {
    for (const std::string& line : Lines()) {
      if (line == utf8) return true;
    }
    return false;
  }
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

  SettingsDatabaseBuilder settings_;
};

TEST_F(MailMonitorTaskTest, StartsWritesInformationAndStops) {
  BuildSettings();
  ASSERT_EQ(Run(3), kNoError);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Инициализация...", "...Служебные очереди", "...Подсистема сканирования",
                                               "...Подсистема ПЭ", "Инициализация завершена.", "Завершение работы."}));
  ScopedDb db(host_.get());
  ScopedNote info(host_.get());
  ASSERT_EQ(host_->DbOpen("zulsetup.nsf", db.put()), kNoError);
  ASSERT_EQ(host_->NoteOpen(db.get(), settings_.notes["uidInformation"].noteId, 0, info.put()), kNoError);
  EXPECT_EQ(host_->ItemGetNumber(info.get(), "iAVCount", 0), 2);
  std::string text;
  EXPECT_EQ(host_->ItemGetText(info.get(), "iVersion", 100, &text), kNoError);
  EXPECT_EQ(text, "v5.5.1392 (ru, release-ru)");
  EXPECT_EQ(host_->ItemGetText(info.get(), "iAVDate", 100, &text), kNoError);
  EXPECT_EQ(platform_->CallCount("QueueOpen"), 4u);
  EXPECT_EQ(platform_->CallCount("QueueClose"), 4u);
  EXPECT_EQ(host_->AcquireInstance("nZulMailMonitor"), kNoError) << "released on a normal stop";
}

TEST_F(MailMonitorTaskTest, ShuttingDownIsWrittenOnlyFromLevelThree) {
  BuildSettings();
  SetIni("ZulMailMonitorLogLevel", "2");
  ASSERT_EQ(Run(1), kNoError);
  EXPECT_FALSE(Logged("Завершение работы."));
  EXPECT_EQ(platform_->CallCount("QueueClose"), 4u);
}

TEST_F(MailMonitorTaskTest, MissingVariablesOrSettingsEndTheStart) {
  std::ofstream(server_.notesIni(), std::ios::trunc) << "ZulMailMonitorLogConsole=1\n";
  EXPECT_EQ(Run(1), kTaskStartFailed);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Не указано имя конфигурационной базы.",
                                               "Ошибка чтения конфигурации. Выход."}));
  EXPECT_EQ(platform_->CallCount("AcquireInstance"), 0u) << "the guard is not touched";
  platform_->lines.clear();
  SetIni("ZULSetupDatabase", "zulsetup.nsf");
  SetIni("ZULStatDatabase", "zulstat.nsf");
  SetIni("ZULQuarantineDatabase", "zulquarantine.nsf");
  EXPECT_EQ(Run(1), kTaskStartFailed) << "no settings database";
  EXPECT_EQ(Lines().back(), "Ошибка чтения конфигурации. Выход.");
  EXPECT_EQ(platform_->CallCount("AcquireInstance"), 0u);
}

TEST_F(MailMonitorTaskTest, SecondInstanceTouchesNothing) {
  BuildSettings();
  std::unique_ptr<Platform> other = server_.OpenHost();
  ASSERT_EQ(other->AcquireInstance("nZulMailMonitor"), kNoError);
  EXPECT_EQ(Run(3), kNoError);
  EXPECT_EQ(Lines().back(), "Задача уже запущена. Выход.");
  EXPECT_EQ(platform_->CallCount("QueueOpen"), 0u);
  EXPECT_EQ(platform_->CallCount("QueueClose"), 0u);
}

TEST_F(MailMonitorTaskTest, QueueThatCannotBeCreatedClosesOnlyTheOpenedOnes) {
  BuildSettings();
  platform_->FailCall("QueueOpen", 3, kQueueNameTooLong);
  ASSERT_EQ(Run(3), kNoError);
  EXPECT_EQ(Lines()[2], "Ошибка открытия очереди MQ$HOOK2MAIL. Выход. Ошибка: " +
                            host_->StatusText(kQueueNameTooLong));
  EXPECT_EQ(platform_->CallCount("QueueClose"), 2u);
  EXPECT_EQ(Lines().back(), "Завершение работы.");
}

TEST_F(MailMonitorTaskTest, KernelFailuresEndTheStart) {
  BuildSettings();
  SetIni("ZulScanKernel", "nothing-like-a-kernel");
  ASSERT_EQ(Run(3), kNoError);
  EXPECT_TRUE(Logged("Ошибка инициализации подсистемы сканирования (80040206). Выход."));
  EXPECT_EQ(platform_->CallCount("QueueClose"), 4u);
  // A failed start keeps the slot until the process ends; this test frees it.
  ASSERT_EQ(host_->ReleaseInstance("nZulMailMonitor"), kNoError);
  SetIni("ZulScanKernel", "clamav");
  settings_.forms["uidUpdaterSettings"] = {{"usDatabaseFolder", T(server_.directory() + "/no-bases")}};
  settings_.Build(host_.get(), "zulsetup.nsf");
  platform_->lines.clear();
  ASSERT_EQ(Run(3), kNoError);
  EXPECT_TRUE(LoggedStart("Не удалось запустить ядро (80070002). Выход.")) << Lines().back();
  EXPECT_FALSE(LoggedStart("Инициализация завершена."));
}

TEST_F(MailMonitorTaskTest, QueuesAreServedInPassOrder) {
  BuildSettings();
  Put(kDatabaseQueue, "nothing to do");
  Put(kConsoleQueue, "unknown command");
  Put(kUpdaterQueue, "UPDATER|STARTED");
  Put(kHookQueue, "00000000|000008f8|00000000|mail.box");
  ASSERT_EQ(Run(2), kNoError);
  std::vector<std::string> lines = Lines();
  std::vector<std::string> received(lines.begin() + 5, lines.begin() + 9);
  EXPECT_EQ(received, (std::vector<std::string>{"Получен запрос от перехватчика: '00000000|000008f8|00000000|mail.box'",
                                                "Получено сообщение от апдейтера: 'UPDATER|STARTED'",
                                                "Получено сообщение с консоли: 'UNKNOWN COMMAND'",
                                                "Получено сообщение от базы данных: 'nothing to do'"}));
}

TEST_F(MailMonitorTaskTest, PeriodicStepOncePerInterval) {
  BuildSettings();
  // Each pass of the loop moves the clock on by 300 seconds.
  platform_->onIdle = [this](int) { clock_->AdvanceSeconds(300); };
  ASSERT_EQ(Run(8), kNoError);  // 7 passes, 2100 s
  EXPECT_EQ(Count("AddInDayHasElapsed"), 2);
  EXPECT_EQ(platform_->CallCount("AddInIntervalElapsed"), 7u);
}

TEST_F(MailMonitorTaskTest, ConsoleCommands) {
  BuildSettings();
  ScopedQueue hook(host_.get());
  ASSERT_EQ(host_->QueueOpen("MQ$ZULMAILHOOKSMTP", kQueueCreate, hook.put()), kNoError);
  Put(kConsoleQueue, "hook pause smtp");
  Put(kConsoleQueue, "HOOK INFO PAUSE SMTP");
  Put(kConsoleQueue, "HOOK VERSION SMTP");
  Put(kConsoleQueue, "version");
  ASSERT_EQ(Run(2), kNoError);
  std::vector<std::string> got;
  std::string message;
  while (host_->QueueGet(hook.get(), 255, &message) == kNoError) got.push_back(message);
  EXPECT_EQ(got, (std::vector<std::string>{"MAILSCAN|HOLD", "MAILSCAN|INFO"}));
  EXPECT_EQ(Count("v5.5.1392 (ru, release-ru)"), 1) << "a hook command is not a version request";
}

TEST_F(MailMonitorTaskTest, HookCommandForAnUnhookedTaskStopsTheConsoleQueue) {
  BuildSettings();
  Put(kConsoleQueue, "HOOK INFO");
  Put(kConsoleQueue, "HOOK");
  platform_->onIdle = [this](int call) {
    if (call == 2) {
      EXPECT_TRUE(Logged("Задача INFO не учавствует в перехвате."));
      EXPECT_FALSE(Logged("Задача  не учавствует в перехвате.")) << "the rest waits for the next pass";
    }
  };
  ASSERT_EQ(Run(3), kNoError);
  EXPECT_TRUE(Logged("Задача  не учавствует в перехвате."));
}

TEST_F(MailMonitorTaskTest, BothSettingsNoticesInOneMessage) {
  BuildSettings();
  Put(kDatabaseQueue, "CONFIG|UPDATED OUTBREAK|UPDATED");
  ASSERT_EQ(Run(2), kNoError);
  EXPECT_EQ(Count("Конфигурация обновлена"), 2) << "the settings are read twice";
  EXPECT_EQ(platform_->CallCount("DbOpen") >= 3u, true);
}

TEST_F(MailMonitorTaskTest, UpdaterNoticeWithoutSettingsDatabaseEndsTheTask) {
  BuildSettings();
  Put(kUpdaterQueue, "UPDATER|COMPLETE");
  // The settings database goes away after the start.
  platform_->onIdle = [this](int call) {
    if (call == 1) {
      ASSERT_EQ(std::rename(server_.data("zulsetup.nsf").c_str(), server_.data("moved.nsf").c_str()), 0);
    }
  };
  ASSERT_EQ(Run(5), kNoError);
  EXPECT_EQ(Lines().back().rfind("Ошибка открытия базы настроек zulsetup.nsf.\n", 0), 0u) << Lines().back();
  EXPECT_FALSE(Logged("Завершение работы.")) << "no shut-down steps";
  EXPECT_EQ(platform_->CallCount("QueueClose"), 0u);
}

TEST_F(MailMonitorTaskTest, UpdaterNoticeReloadsTheBases) {
  BuildSettings();
  Put(kUpdaterQueue, "UPDATER|COMPLETE");
  ASSERT_EQ(Run(2), kNoError);
  EXPECT_FALSE(Logged("Ошибка перегрузки антивирусных баз."));
  EXPECT_EQ(platform_->CallCount("NoteUpdate"), 3u)
      << "the information document at start and after the reload, and the shut-down journal record";
}

TEST_F(MailMonitorTaskTest, FailingReadsAreBoundedPerPass) {
  BuildSettings();
  // From the first read of the loop on, every read of every queue fails.
  platform_->FailCall("QueueGet", 1, kDatabaseLocked, 0);
  ASSERT_EQ(Run(3), kNoError);  // two passes
  EXPECT_EQ(Count("Ошибка чтения очереди MQ$HOOK2MAIL. Ошибка: " + host_->StatusText(kDatabaseLocked)), 6);
  EXPECT_EQ(platform_->CallCount("QueueGet"), 2u * 4u * 3u);
}

TEST_F(MailMonitorTaskTest, QuittingServerEndsTheLoopWithoutReleasingTheSlot) {
  BuildSettings();
  platform_->onIdle = [this](int call) {
    if (call == 2) {
      ASSERT_EQ(SetServerQuitting(server_.directory(), true), kNoError);
    }
  };
  // Only the queue reads see the quit: the stop checks are made to say no.
  platform_->FailCall("AddInShouldTerminate", 1, kInjectedFault, 0);
  platform_->FailCall("AddInIdle", 1, kInjectedFault, 0);
  ASSERT_EQ(Run(0), kNoError);
  EXPECT_EQ(Lines().back(), "Завершение работы.");
  std::unique_ptr<Platform> other = server_.OpenHost();
  EXPECT_EQ(other->AcquireInstance("nZulMailMonitor"), kInstanceRunning) << "kept until the process ends";
}

}  // namespace
}  // namespace zul::testing
