#include "updater/update_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "notesapi/scoped_handles.h"
#include "scanning/scan_engine.h"
#include "scanning/scan_kernel.h"
#include "settings/settings_reader.h"
#include "settings/settings_records.h"
#include "tests/settings/settings_database_builder.h"
#include "tests/settings/signed_bases.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

class UpdateRunTest : public TaskTest {
 protected:
  void SetUp() override {
    ResetSettingsRecords();
    dir_ = server_.directory();
    ASSERT_EQ(::chdir(dir_.c_str()), 0);  // the utility leaves its result in the working folder
    SetIni("ZulUpdaterLogConsole", "1");
    SetIni("ZulUpdaterLogFileFlag", "1");
    SetIni("ZulUpdaterLogFileName", dir_ + "/log/zulupdater.log");
    SetIni("ZulUpdaterLogLevel", "3");
    SetIni("NotesProgram", dir_ + "/program");
    // The updater would also find a basefetch on PATH: the test's own
    // utility is the only one it may see.
    if (const char* path = std::getenv("PATH")) savedPath_ = path;
    std::filesystem::create_directories(dir_ + "/no-tools");
    ::setenv("PATH", (dir_ + "/no-tools").c_str(), 1);
    SetTaskName("ZulUpdater");
    ASSERT_EQ(host_->DbCreate("zulstat.nsf", "Statistics"), kNoError);
  }
  void TearDown() override {
    ::setenv("PATH", savedPath_.c_str(), 1);
  }
  std::string savedPath_;

  void Start(const std::string& bases) {
    builder_.forms["uidUpdaterSettings"] = {{"usDatabaseFolder", T(bases)}, {"usPeriodSelector", T("0")},
                                            {"usEveryHour", N(1)},
                                            {"usNextUpdate", EncodeTimeValue(host_->TimeNow())}};
    builder_.Build(host_.get(), "zulsetup.nsf");
    ASSERT_TRUE(ReadServerVariables(TaskKind::kUpdater));
    ASSERT_TRUE(ReadAllSettings(TaskKind::kUpdater).ok());
    platform_->lines.clear();
    clock_->AdvanceSeconds(1800);
  }
  // A stand-in utility: records its arguments, writes to both outputs and
  // leaves the code of `codes` (one line per call) as its result.
  void Utility(const std::string& codes, const std::string& extra = "") {
    std::ofstream(dir_ + "/codes") << codes;
    std::string script = "#!/bin/sh\nPATH=/usr/bin:/bin\nprintf '%s\\n' \"$*\" >> " + dir_ + "/calls\necho out; echo err >&2\n" + extra +
                         "code=$(head -n 1 " + dir_ + "/codes); sed -i 1d " + dir_ + "/codes\n" +
                         "[ -n \"$code\" ] && echo \"$code\" > basefetch.txt\nexit 0\n";
    std::ofstream(dir_ + "/program/basefetch") << script;
    ASSERT_EQ(::chmod((dir_ + "/program/basefetch").c_str(), 0755), 0);
  }
  int Waiting(const char* queue) {
    std::vector<QueueState> queues;
    EXPECT_EQ(ListQueues(dir_, &queues), kNoError);
    for (const QueueState& q : queues) {
      if (q.name == queue) return static_cast<int>(q.waiting);
    }
    return 0;
  }
  std::string Read(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  std::string dir_;
  SettingsDatabaseBuilder builder_;
};

TEST_F(UpdateRunTest, CommandLinesAndLogFolder) {
  EXPECT_EQ(UtilityCommandLine(UtilityMode::kUpdate, u"C:\\logs\\"),
            u" -u -P ZULLotusNotes -tf \"C:\\logs\\\\nZulUpdater-basefetch.log\" -tl 10");
  EXPECT_EQ(UtilityCommandLine(UtilityMode::kRollback, u""), u" -r -P ZULLotusNotes ");
  EXPECT_EQ(UtilityCommandLine(UtilityMode::kUpdate, std::u16string(300, u'x')).size(), 259u);
  Variables().logFileName = "C:\\Lotus\\log\\zulupdater.log";
  EXPECT_EQ(LogFolder(), u"C:\\Lotus\\log\\");
  Variables().logFileName = "/var/log/zul\\updater.log";
  EXPECT_EQ(LogFolder(), u"/var/log/") << "the last slash wins over backslashes";
  Variables().logFileName = "updater.log";
  EXPECT_EQ(LogFolder(), u"updater.log");
  Variables().logFileName = "";
  EXPECT_EQ(LogFolder(), u"");
}

TEST_F(UpdateRunTest, NothingNewMovesTheScheduleAndTellsNobody) {
  Start(DEMO_BASES_DIR);
  Utility("10\n");
  TimeDate before = Updater().nextUpdate;
  EXPECT_TRUE(RunUpdate().ok());
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Обновление антивирусных баз...", "Обновление антивирусных баз завершено.",
                                               "Код возврата апдейтера 10", "Нет новых баз."}));
  EXPECT_GT(host_->TimeCompare(Updater().nextUpdate, before), 0);
  EXPECT_EQ(Waiting("MQ$UPDATE2MAIL"), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/basefetch.txt")) << "the result file is deleted";
  EXPECT_EQ(Read(dir_ + "/log/nZulUpdater-console.log"), "out\nerr\n");
  EXPECT_EQ(Read(dir_ + "/calls"), "-u -P ZULLotusNotes -tf " + dir_ + "/log/\\nZulUpdater-basefetch.log -tl 10\n");
}

TEST_F(UpdateRunTest, NewSoundBasesAreAnnounced) {
  Start(DEMO_BASES_DIR);
  Utility("0\n");
  EXPECT_TRUE(RunUpdate().ok());
  std::vector<std::string> lines = Lines();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()),
            (std::vector<std::string>{"Проверка целостности загруженных баз.",
                                      "Антивирусные базы в " DEMO_BASES_DIR
                                      " проверены по подписанному индексу master.xml.",
                                      "Загруженные базы в порядке.", "Антивирусные базы обновлены."}));
  for (const char* queue : {"MQ$UPDATE2MAIL", "MQ$UPDATE2REP", "MQ$UPDATE2SCAN"}) EXPECT_EQ(Waiting(queue), 1) << queue;
  ScopedQueue queue(host_.get());
  ASSERT_EQ(host_->QueueOpen("MQ$UPDATE2MAIL", kQueueOpenExisting, queue.put()), kNoError);
  std::string message;
  ASSERT_EQ(host_->QueueGet(queue.get(), 255, &message), kNoError);
  EXPECT_EQ(message, "UPDATER|COMPLETE");
}

TEST_F(UpdateRunTest, FailedFetchKeepsTheSchedule) {
  Start(DEMO_BASES_DIR);
  Utility("3\n");
  TimeDate before = Updater().nextUpdate;
  EXPECT_EQ(RunUpdate().platformStatus(), 0xFFFF);
  EXPECT_EQ(Lines().back(), "Невозможно обновить антивирусные базы.");
  EXPECT_EQ(Updater().nextUpdate, before);
}

TEST_F(UpdateRunTest, BrokenBasesAreRolledBack) {
  std::string broken = dir_ + "/broken";
  std::filesystem::create_directories(broken);
  std::ofstream(broken + "/bad.hdb") << "garbage that is no signature\n";
  SignBasesFolder(broken);  // vouched for, and still no bases
  Start(broken);
  Utility("0\n0\n");
  EXPECT_EQ(RunUpdate().platformStatus(), 0xFFFF);
  std::vector<std::string> lines = Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Загрузились испорченные базы. Откатываем до предыдущего состояния."),
            lines.end());
  EXPECT_EQ(lines.back(), "Загрузились испорченные базы. Откатываем до предыдущего состояния.")
      << "the rollback ran: no text 919";
  EXPECT_NE(Read(dir_ + "/calls").find("-r -P ZULLotusNotes"), std::string::npos);
  EXPECT_EQ(Waiting("MQ$UPDATE2MAIL"), 0) << "nobody is told";
}

std::vector<std::string> g_warnings;
void KeepWarning(std::string_view notesLine) { g_warnings.emplace_back(notesLine); }

// A set that loads but that its signed index does not vouch for could carry
// an allow list for anything: it is rolled back like a broken one, the
// monitor is not told, and the administrators hear why.
TEST_F(UpdateRunTest, BasesTheIndexDoesNotVouchForAreRolledBackAndTheAdministratorsTold) {
  const std::string clam = FileBytes("/usr/share/clamav-testfiles/clam.exe");
  const std::string allow = Md5Hex(clam) + ":" + std::to_string(clam.size()) + ":clam.exe\n";
  struct Tampering {
    std::string name;
    std::function<void(const std::string&)> change;
    std::string reason;
  };
  const std::string notVerified = "индекс master.xml не подписан известным ключом или изменён после подписи";
  const std::vector<Tampering> cases = {
      {"unsigned index",
       [](const std::string& f) {
         std::string index = FileBytes(f + "/master.xml");
         std::ofstream(f + "/master.xml", std::ios::trunc) << index.substr(0, UnsignedLength(index));
       },
       notVerified},
      {"index signed with another key",
       [](const std::string& f) { SignBasesFolder(f, "01012026 0000", BasesKey{"SomeoneElsesKey0000001", "x"}); },
       notVerified},
      {"a file added", [&](const std::string& f) { std::ofstream(f + "/allow.fp") << allow; },
       "файла allow.fp нет в индексе master.xml"},
      {"a file removed", [](const std::string& f) { std::filesystem::remove(f + "/demo.hdb"); },
       "файл demo.hdb из индекса master.xml отсутствует"},
      {"a file changed, same size",
       [](const std::string& f) {
         std::string bytes = FileBytes(f + "/demo.hdb");
         bytes[0] = bytes[0] == 'a' ? 'b' : 'a';
         std::ofstream(f + "/demo.hdb", std::ios::trunc) << bytes;
       },
       "файл demo.hdb не совпадает с индексом master.xml (размер или SHA-256)"},
      {"a link to a file elsewhere",
       [](const std::string& f) { std::filesystem::create_symlink("/etc/hostname", f + "/more.hdb"); },
       "more.hdb не обычный файл (ссылка, папка или устройство)"},
  };
  SetSystemWarningSender(KeepWarning);
  int n = 0;
  for (const Tampering& tampering : cases) {
    SCOPED_TRACE(tampering.name);
    std::string folder = dir_ + "/set" + std::to_string(++n);
    std::filesystem::copy(DEMO_BASES_DIR, folder, std::filesystem::copy_options::recursive);
    tampering.change(folder);
    Start(folder);
    Utility("0\n0\n");
    std::filesystem::remove(dir_ + "/calls");
    g_warnings.clear();
    EXPECT_EQ(RunUpdate().platformStatus(), 0xFFFF);
    std::string refusal = "Антивирусные базы в " + folder + " не приняты: " + tampering.reason;
    EXPECT_TRUE(Logged(refusal));
    EXPECT_TRUE(Logged("Загрузились испорченные базы. Откатываем до предыдущего состояния."));
    EXPECT_NE(Read(dir_ + "/calls").find("-r -P ZULLotusNotes"), std::string::npos) << "rolled back";
    EXPECT_EQ(Waiting("MQ$UPDATE2MAIL"), 0) << "the monitor is not told";
    ASSERT_EQ(g_warnings.size(), 1u);
    std::string warning;
    ASSERT_EQ(host_->Translate(kTranslateLmbcsToUtf8, g_warnings[0], &warning), kNoError);
    EXPECT_EQ(warning, "ZulUpdater: " + refusal + "\n");
  }
  SetSystemWarningSender(nullptr);
}

TEST_F(UpdateRunTest, MissingUtilityOrLogFolder) {
  Start(DEMO_BASES_DIR);
  EXPECT_EQ(RunUpdate().platformStatus(), 0xFFFF) << "no utility at all";
  std::vector<std::string> lines = Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Ошибка: Не удалось запустить модуль обновления. Команда: basefetch.exe "),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Невозможно открыть файл basefetch.txt"), lines.end());
  Utility("10\n");
  Variables().logFileName = "updater.log";  // no separator: the folder is the name itself, which does not exist
  platform_->lines.clear();
  EXPECT_EQ(RunUpdate().platformStatus(), 0xFFFF);
  EXPECT_EQ(Lines()[1], "Ошибка: Не удалось создать временный файл для хранения логов обновления.");
  Variables().logFileName = "";
  EXPECT_TRUE(RunUpdate().ok());
  EXPECT_EQ(Read(dir_ + "/calls"), "-u -P ZULLotusNotes\n") << "no log arguments";
}

TEST_F(UpdateRunTest, NoRunReadsAResultLeftByAnother) {
  std::string blind = dir_ + "/blind";
  std::filesystem::create_directories(blind);
  std::filesystem::copy(DEMO_BASES_DIR, blind, std::filesystem::copy_options::recursive);
  std::ofstream(blind + "/ignore.ign2") << kSelfTestThreatName << "\n";
  SignBasesFolder(blind);
  Start(blind);
  // New bases that load but fail the self-test; the rollback reports 0 too.
  Utility("0\n0\n");
  EXPECT_EQ(RunUpdate().platformStatus(), 0xFFFF);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/basefetch.txt")) << "the rollback's result is not kept";
  std::ofstream(dir_ + "/basefetch.txt") << "0\n";  // and one left by anybody else
  std::filesystem::remove(dir_ + "/program/basefetch");
  platform_->lines.clear();
  EXPECT_EQ(RunUpdate().platformStatus(), 0xFFFF) << "a utility that cannot start never succeeds";
  std::vector<std::string> lines = Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Ошибка: Не удалось запустить модуль обновления. Команда: basefetch.exe "),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Невозможно открыть файл basefetch.txt"), lines.end());
  EXPECT_EQ(std::find(lines.begin(), lines.end(), "Проверка целостности загруженных баз."), lines.end());
}

TEST_F(UpdateRunTest, UtilityThatNeverEndsIsStopped) {
  Start(DEMO_BASES_DIR);
  SetIni("ZulUpdaterUtilityTimeout", "1");
  Utility("0\n", "sleep 30\n");
  EXPECT_EQ(RunUpdate().platformStatus(), 0xFFFF);
  std::vector<std::string> lines = Lines();
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [](const std::string& l) { return l.rfind("Ошибка: Модуль обновления не завершился вовремя", 0) == 0; }),
            lines.end());
}

}  // namespace
}  // namespace zul::testing
