#include "mailmonitor/mail_monitor_task.h"

#include <filesystem>

#include "mailmonitor/service_queues.h"
#include "records/outbreak_monitor.h"
#include "scanning/scan_engine.h"
#include "scanning/scan_kernel.h"
#include "tests/scanning/zip_builder.h"
#include "tools/zulctl/settings_setup.h"
#include "settings/settings_records.h"
#include "tests/settings/settings_database_builder.h"
#include "tests/settings/signed_bases.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

class MailMonitorTaskTest : public TaskTest {
 protected:
  void SetUp() override {
    ResetSettingsRecords();
    SetIni("ZulMailMonitorLogConsole", "1");
    SetIni("ZulMailMonitorLogFileFlag", "0");
    SetIni("ZulMailMonitorLogLevel", "3");
    settings_.forms["uidUpdaterSettings"] = {{"usDatabaseFolder", T(DEMO_BASES_DIR)}};
    settings_.forms["uidCommonSettings"]["gsTemporaryFolder"] = T(server_.directory() + "/tmp");
    ASSERT_EQ(host_->DbCreate("zulstat.nsf", "Statistics"), kNoError);
  }

  void BuildSettings() { settings_.Build(host_.get(), "zulsetup.nsf"); }
  // The settings exactly as "zulctl settings init --bases" leaves them, with
  // a bases folder of the test's own.
  std::string SettingsAsAnAdministratorMakesThem() {
    std::string bases = server_.directory() + "/bases";
    std::filesystem::create_directories(bases);
    std::filesystem::copy(DEMO_BASES_DIR, bases, std::filesystem::copy_options::overwrite_existing |
                                                     std::filesystem::copy_options::recursive);
    std::string error;
    EXPECT_EQ(zulctl::CreateSettingsDatabases(host_.get(), server_.directory(), bases, &error), kNoError) << error;
    return bases;
  }
  void Change(const std::string& form, const std::vector<std::pair<std::string, std::string>>& items) {
    std::string error;
    EXPECT_EQ(zulctl::ChangeSettings(host_.get(), form, items, &error), kNoError) << error;
  }
  // Scans bytes through a file, as the scanners hand objects to the kernel.
  ScanResult Scan(const std::string& bytes, std::string* description = nullptr) {
    std::string path = server_.directory() + "/object" + std::to_string(++objects_);
    std::ofstream(path, std::ios::binary) << bytes;
    std::string found;
    ScanKernel* kernel = ProcessKernel();
    if (kernel == nullptr) return ResultFailed;  // the task is not running
    ScanResult result = kernel->ScanFile(std::u16string(path.begin(), path.end()), &found);
    if (description != nullptr) *description = found;
    return result;
  }
  int objects_ = 0;
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
  SettingsDatabaseBuilder settings_;
};

TEST_F(MailMonitorTaskTest, StartsWritesInformationAndStops) {
  BuildSettings();
  ASSERT_TRUE(Run(3).ok());
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Инициализация...", "...Служебные очереди", "...Подсистема сканирования",
                                               "Антивирусные базы в " DEMO_BASES_DIR
                                               " проверены по подписанному индексу master.xml.",
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

TEST_F(MailMonitorTaskTest, KernelOfAServerSetUpAsTheReadmeSaysDetectsAndFailsClosed) {
  SettingsAsAnAdministratorMakesThem();
  {
    ScopedDb stat(host_.get());
    ASSERT_EQ(host_->DbOpen("zulstat.nsf", stat.put()), kNoError);
    bool unlogged = false;
    EXPECT_EQ(host_->DbGetOption(stat.get(), kDbOptionNoTransactionLogging, &unlogged), kNoError);
    EXPECT_TRUE(unlogged) << "statistics are kept like a log, without a disk sync of their own per mail";
  }
  const std::string eicar(EicarTestObject());
  std::vector<ScanResult> results;
  platform_->onIdle = [&](int call) {
    if (call != 1) return;
    results.push_back(Scan(eicar));
    results.push_back(Scan(FileBytes("/usr/share/clamav-testfiles/clam.exe")));
    results.push_back(Scan(FileBytes("/usr/share/clamav-testfiles/clam.zip")));
    results.push_back(Scan(BuildZip({{"readme.txt", "hello"}, {"eicar.com", eicar}})));
    // The kernel's temporary folder goes away under the running task.
    std::filesystem::remove_all(server_.directory() + "/tmp/zulmailmonitor/ftemp");
    results.push_back(Scan(eicar));
    results.push_back(Scan("Dear colleague, nothing to see.\n"));
  };
  ASSERT_TRUE(Run(2).ok());
  EXPECT_TRUE(Logged("Инициализация завершена.")) << Lines().back();
  EXPECT_EQ(results, (std::vector<ScanResult>{ResultInfected, ResultInfected, ResultInfected, ResultInfected,
                                              ResultFailed, ResultFailed}));
}

TEST_F(MailMonitorTaskTest, SettingsChangesReachTheRunningKernelAndCounters) {
  SettingsAsAnAdministratorMakesThem();
  Change("formKernelSettings", {{"ksFlags", "5;6"}});  // archives not opened
  std::string zipped = BuildZip({{"eicar.com", std::string(EicarTestObject())}});
  std::vector<ScanResult> results;
  platform_->onIdle = [&](int call) {
    if (call == 1) {
      results.push_back(Scan(zipped));
      Change("formKernelSettings", {{"ksFlags", "1;5;6"}});
      Change("formOutbreak", {{"obValue0", "1"}, {"obWarningText0", "ALARM %c"}});
    } else if (call == 2) {
      results.push_back(Scan(zipped));
      ReportScanEvent(ResultInfected, "Test.Virus");
    }
  };
  ASSERT_TRUE(Run(3).ok());
  EXPECT_EQ(results, (std::vector<ScanResult>{ResultClean, ResultInfected})) << "the very next scan opens archives";
  EXPECT_TRUE(LoggedStart("ALARM 1")) << "the outbreak counters took the new threshold";
}

// The new bases load on a second thread while the old engine goes on
// scanning; the task takes them in on its next pass. A set that fails its
// self-test, or that holds a file its signed index does not vouch for (here
// an allow list that would let the test program through), is never taken.
TEST_F(MailMonitorTaskTest, UpdaterNoticeLoadsTheNewBasesOrKeepsTheOld) {
  std::string bases = SettingsAsAnAdministratorMakesThem();
  const std::string sample = "only the new bases know this sample";
  const std::string clam = FileBytes("/usr/share/clamav-testfiles/clam.exe");
  std::vector<ScanResult> results;
  platform_->onIdle = [&](int call) {
    if (call == 1) {
      results.push_back(Scan(sample));
      std::ofstream(bases + "/new.ndb") << "Test.NewBases:0:*:" << "6f6e6c7920746865206e6577206261736573" << "\n";
      SignBasesFolder(bases);
      Put(kUpdaterQueue, "UPDATER|COMPLETE");
    } else if (call == 2 || call == 4) {
      ProcessKernel()->WaitForReloadLoaded();  // taken in by the next pass
    } else if (call == 3) {
      results.push_back(Scan(sample));
      // A set that loads but no longer detects the kernel's test object.
      std::ofstream(bases + "/blind.ign2") << kSelfTestThreatName << "\n";
      std::ofstream(bases + "/newer.ndb") << "Test.NewerBases:0:*:" << "6b6e6f772074686973" << "\n";
      SignBasesFolder(bases);
      Put(kUpdaterQueue, "UPDATER|COMPLETE");
    } else if (call == 5) {
      results.push_back(Scan("who could know this"));
      std::filesystem::remove(bases + "/blind.ign2");
      std::filesystem::remove(bases + "/newer.ndb");
      SignBasesFolder(bases);
      std::ofstream(bases + "/allow.fp") << Md5Hex(clam) << ":" << clam.size() << ":clam.exe\n";  // by hand
      Put(kUpdaterQueue, "UPDATER|COMPLETE");
    } else if (call == 7) {
      results.push_back(Scan(clam));
    }
  };
  ASSERT_TRUE(Run(8).ok());
  EXPECT_EQ(results, (std::vector<ScanResult>{ResultClean, ResultInfected, ResultClean, ResultInfected}))
      << "each failed reload kept the engine in use";
  EXPECT_EQ(Count("Ошибка перегрузки антивирусных баз."), 2);
  EXPECT_TRUE(LoggedStart("Самопроверка ядра не пройдена"));
  EXPECT_TRUE(Logged("Антивирусные базы в " + bases + " не приняты: файла allow.fp нет в индексе master.xml"));
}

// Bases changed by hand between updates are caught at the next start too:
// the monitor does not scan with them, so held mail stays held.
TEST_F(MailMonitorTaskTest, ABasesFolderChangedByHandIsRefusedAtStart) {
  std::string bases = SettingsAsAnAdministratorMakesThem();
  std::string signatures = FileBytes(bases + "/demo.hdb");
  std::ofstream(bases + "/demo.hdb", std::ios::trunc) << signatures.substr(0, signatures.find('\n') + 1);
  ASSERT_FALSE(Run(3).ok());
  EXPECT_TRUE(Logged("Антивирусные базы в " + bases +
                     " не приняты: файл demo.hdb не совпадает с индексом master.xml (размер или SHA-256)"));
  EXPECT_TRUE(LoggedStart("Не удалось запустить ядро (80040209). Выход."));
  EXPECT_FALSE(LoggedStart("Инициализация завершена."));
  ASSERT_EQ(host_->ReleaseInstance("nZulMailMonitor"), kNoError);

  platform_->lines.clear();
  SetIni("ZulBasesUnsigned", "1");  // the administrator's own choice, said at every load
  ASSERT_TRUE(Run(3).ok());
  EXPECT_TRUE(Logged("Антивирусные базы в " + bases + " загружаются без проверки подписи (ZulBasesUnsigned=1)."));
  EXPECT_TRUE(Logged("Инициализация завершена."));
}

TEST_F(MailMonitorTaskTest, ShuttingDownIsWrittenOnlyFromLevelThree) {
  BuildSettings();
  SetIni("ZulMailMonitorLogLevel", "2");
  ASSERT_TRUE(Run(1).ok());
  EXPECT_FALSE(Logged("Завершение работы."));
  EXPECT_EQ(platform_->CallCount("QueueClose"), 4u);
}

TEST_F(MailMonitorTaskTest, MissingVariablesOrSettingsEndTheStart) {
  std::ofstream(server_.notesIni(), std::ios::trunc) << "ZulMailMonitorLogConsole=1\n";
  EXPECT_FALSE(Run(1).ok());
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Не указано имя конфигурационной базы.",
                                               "Ошибка чтения конфигурации. Выход."}));
  EXPECT_EQ(platform_->CallCount("AcquireInstance"), 0u) << "the guard is not touched";
  platform_->lines.clear();
  SetIni("ZULSetupDatabase", "zulsetup.nsf");
  SetIni("ZULStatDatabase", "zulstat.nsf");
  SetIni("ZULQuarantineDatabase", "zulquarantine.nsf");
  EXPECT_FALSE(Run(1).ok()) << "no settings database";
  EXPECT_EQ(Lines().back(), "Ошибка чтения конфигурации. Выход.");
  EXPECT_EQ(platform_->CallCount("AcquireInstance"), 0u);
}

TEST_F(MailMonitorTaskTest, SecondInstanceTouchesNothing) {
  BuildSettings();
  std::unique_ptr<Platform> other = server_.OpenHost();
  ASSERT_EQ(other->AcquireInstance("nZulMailMonitor"), kNoError);
  EXPECT_TRUE(Run(3).ok());
  EXPECT_EQ(Lines().back(), "Задача уже запущена. Выход.");
  EXPECT_EQ(platform_->CallCount("QueueOpen"), 0u);
  EXPECT_EQ(platform_->CallCount("QueueClose"), 0u);
}

TEST_F(MailMonitorTaskTest, GuardThatCannotCheckIsAFailedStartNotASecondInstance) {
  BuildSettings();
  platform_->FailCall("AcquireInstance", 1, kFileError);
  EXPECT_FALSE(Run(3).ok());
  EXPECT_EQ(Lines().back(), "Не удалось проверить, запущена ли задача. Выход. Ошибка: " + host_->StatusText(kFileError));
  EXPECT_FALSE(Logged("Задача уже запущена. Выход."));
  EXPECT_EQ(platform_->CallCount("QueueOpen"), 0u);
}

TEST_F(MailMonitorTaskTest, QueueThatCannotBeCreatedClosesOnlyTheOpenedOnes) {
  BuildSettings();
  platform_->FailCall("QueueOpen", 3, kQueueNameTooLong);
  ASSERT_FALSE(Run(3).ok()) << "a failed start is no normal end";
  EXPECT_EQ(Lines()[2], "Ошибка открытия очереди MQ$HOOK2MAIL. Выход. Ошибка: " +
                            host_->StatusText(kQueueNameTooLong));
  EXPECT_EQ(platform_->CallCount("QueueClose"), 2u);
  EXPECT_EQ(Lines().back(), "Завершение работы.");
}

TEST_F(MailMonitorTaskTest, KernelFailuresEndTheStart) {
  BuildSettings();
  SetIni("ZulScanKernel", "nothing-like-a-kernel");
  ASSERT_FALSE(Run(3).ok()) << "a failed start is no normal end";
  EXPECT_TRUE(Logged("Ошибка инициализации подсистемы сканирования (80040206). Выход."));
  EXPECT_EQ(platform_->CallCount("QueueClose"), 4u);
  // A failed start keeps the slot until the process ends; this test frees it.
  ASSERT_EQ(host_->ReleaseInstance("nZulMailMonitor"), kNoError);
  SetIni("ZulScanKernel", "clamav");
  settings_.forms["uidUpdaterSettings"] = {{"usDatabaseFolder", T(server_.directory() + "/no-bases")}};
  settings_.Build(host_.get(), "zulsetup.nsf");
  platform_->lines.clear();
  ASSERT_FALSE(Run(3).ok()) << "a failed start is no normal end";
  EXPECT_TRUE(Logged("Антивирусные базы в " + server_.directory() + "/no-bases не приняты: папка не читается"));
  EXPECT_TRUE(LoggedStart("Не удалось запустить ядро (80040209). Выход.")) << Lines().back();
  EXPECT_FALSE(LoggedStart("Инициализация завершена."));
}

TEST_F(MailMonitorTaskTest, QueuesAreServedInPassOrder) {
  BuildSettings();
  Put(kDatabaseQueue, "nothing to do");
  Put(kConsoleQueue, "unknown command");
  Put(kUpdaterQueue, "UPDATER|STARTED");
  Put(kHookQueue, "00000000|000008f8|00000000|mail.box");
  ASSERT_TRUE(Run(2).ok());
  std::vector<std::string> received;
  for (const std::string& line : Lines()) {
    if (line.rfind("Получен", 0) == 0) received.push_back(line);
  }
  EXPECT_EQ(received, (std::vector<std::string>{"Получен запрос от перехватчика: '00000000|000008f8|00000000|mail.box'",
                                                "Получено сообщение от апдейтера: 'UPDATER|STARTED'",
                                                "Получено сообщение с консоли: 'UNKNOWN COMMAND'",
                                                "Получено сообщение от базы данных: 'nothing to do'"}));
}

TEST_F(MailMonitorTaskTest, PeriodicStepOncePerInterval) {
  BuildSettings();
  // Each pass of the loop moves the clock on by 300 seconds.
  platform_->onIdle = [this](int) { clock_->AdvanceSeconds(300); };
  ASSERT_TRUE(Run(8).ok());  // 7 passes, 2100 s
  EXPECT_EQ(Count("AddInDayHasElapsed"), 2);
  EXPECT_EQ(platform_->CallCount("AddInIntervalElapsed"), 14u) << "the periodic step and the held-mail sweep ask each pass";
}

TEST_F(MailMonitorTaskTest, ConsoleCommands) {
  BuildSettings();
  ScopedQueue hook(host_.get());
  ASSERT_EQ(host_->QueueOpen("MQ$ZULMAILHOOKSMTP", kQueueCreate, hook.put()), kNoError);
  Put(kConsoleQueue, "hook pause smtp");
  Put(kConsoleQueue, "HOOK INFO PAUSE SMTP");
  Put(kConsoleQueue, "HOOK VERSION SMTP");
  Put(kConsoleQueue, "version");
  ASSERT_TRUE(Run(2).ok());
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
  ASSERT_TRUE(Run(3).ok());
  EXPECT_TRUE(Logged("Задача  не учавствует в перехвате."));
}

TEST_F(MailMonitorTaskTest, BothSettingsNoticesInOneMessage) {
  BuildSettings();
  Put(kDatabaseQueue, "CONFIG|UPDATED OUTBREAK|UPDATED");
  ASSERT_TRUE(Run(2).ok());
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
  ASSERT_TRUE(Run(5).ok());
  EXPECT_EQ(Lines().back().rfind("Ошибка открытия базы настроек zulsetup.nsf.\n", 0), 0u) << Lines().back();
  EXPECT_FALSE(Logged("Завершение работы.")) << "no shut-down steps";
  EXPECT_EQ(platform_->CallCount("QueueClose"), 0u);
}

TEST_F(MailMonitorTaskTest, FailingReadsAreBoundedPerPass) {
  BuildSettings();
  // From the first read of the loop on, every read of every queue fails.
  platform_->FailCall("QueueGet", 1, kDatabaseLocked, 0);
  ASSERT_TRUE(Run(3).ok());  // two passes
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
  ASSERT_TRUE(Run(0).ok());
  EXPECT_EQ(Lines().back(), "Завершение работы.");
  std::unique_ptr<Platform> other = server_.OpenHost();
  EXPECT_EQ(other->AcquireInstance("nZulMailMonitor"), kInstanceRunning) << "kept until the process ends";
}

}  // namespace
}  // namespace zul::testing
