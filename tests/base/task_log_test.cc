#include "base/task_log.h"

#include "notesapi/scoped_handles.h"
#include "base/message_text.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

constexpr char kNow[] = "07.12.2026 13:00:00";  // the test clock in a zone three hours east

class TaskLogTest : public TaskTest {
 protected:
  void SetUp() override {
    logFile_ = server_.directory() + "/log/task.log";
    ServerVariables& v = Variables();
    v.logFileFlag = 1;
    v.logConsole = 1;
    v.logFileName = logFile_;
    v.statDatabase = "zulstat.nsf";
  }
  void CreateStatDatabase() { ASSERT_EQ(host_->DbCreate("zulstat.nsf", "Statistics"), kNoError); }
  std::vector<NoteId> JournalIds() {
    ScopedDb db(host_.get());
    std::vector<NoteId> ids;
    if (host_->DbOpen("zulstat.nsf", db.put()) == kNoError) (void)host_->DbNoteIds(db.get(), &ids);
    return ids;
  }
  // Opens the one journal record there is.
  void OpenOnlyJournalRecord(ScopedDb* db, ScopedNote* note) {
    std::vector<NoteId> ids = JournalIds();
    ASSERT_EQ(ids.size(), 1u);
    ASSERT_EQ(host_->DbOpen("zulstat.nsf", db->put()), kNoError);
    ASSERT_EQ(host_->NoteOpen(db->get(), ids[0], 0, note->put()), kNoError);
  }

  std::string logFile_;
};

TEST_F(TaskLogTest, FileAndConsoleLinesHaveTheirExactBytes) {
  OpenTaskLogFile(logFile_);
  LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, MessageText(Msg::Initialising), 0);
  OpenTaskLogFile(logFile_);  // a second start of the task appends a second header
  std::string header = std::string("\n===================== [") + kNow + "]\n";
  std::string line = std::string(kNow) + "   ZulMailMonitor: " + Native("Инициализация...") + "\n";
  EXPECT_EQ(ReadFile(logFile_), header + line + header);
  EXPECT_EQ(Native("Инициализация..."), "\xc8\xed\xe8\xf6\xe8\xe0\xeb\xe8\xe7\xe0\xf6\xe8\xff...");
  ASSERT_EQ(platform_->lines.size(), 1u);
  EXPECT_EQ(platform_->lines[0], Lmbcs("ZulMailMonitor: Инициализация...\n"));
}

TEST_F(TaskLogTest, StatusSuffixOnlyForNonZeroLow16Bits) {
  LogMessage(LOG_CONSOLE, JournalError, "a", 0x10000);
  LogMessage(LOG_CONSOLE, JournalError, "b", kItemNotFound | kStatusShownBit);
  LogMessage(LOG_CONSOLE, JournalError, "b", 0x4000 | kItemNotFound);
  ASSERT_EQ(platform_->lines.size(), 3u);
  EXPECT_EQ(platform_->lines[0], Lmbcs("ZulMailMonitor: a\n"));
  std::string suffix = Lmbcs(" Ошибка: ") + host_->StatusText(kItemNotFound);
  EXPECT_EQ(platform_->lines[1], Lmbcs("ZulMailMonitor: b") + suffix + "\n");
  EXPECT_EQ(platform_->lines[2], platform_->lines[1]) << "only the low 14 bits pick the text";
}

struct TargetCase {
  int32_t fileFlag;
  int32_t consoleFlag;
  uint32_t targets;
  bool toFile;
  bool toConsole;
  size_t journalRecords;
  int warnings;
};

class TaskLogTargets : public TaskLogTest, public ::testing::WithParamInterface<TargetCase> {};

int g_warnings = 0;
std::string g_lastWarning;

TEST_P(TaskLogTargets, EachTargetNeedsItsFlag) {
  const TargetCase& c = GetParam();
  CreateStatDatabase();
  Variables().logFileFlag = c.fileFlag;
  Variables().logConsole = c.consoleFlag;
  g_warnings = 0;
  SetSystemWarningSender([](std::string_view line) {
    ++g_warnings;
    g_lastWarning = line;
  });
  LogMessage(c.targets, JournalInformation, "message %d", 0, 7);
  EXPECT_EQ(!ReadFile(logFile_).empty(), c.toFile);
  EXPECT_EQ(platform_->lines.size(), c.toConsole ? 1u : 0u);
  EXPECT_EQ(JournalIds().size(), c.journalRecords);
  EXPECT_EQ(g_warnings, c.warnings);
  if (c.warnings > 0) {
    EXPECT_EQ(g_lastWarning, "ZulMailMonitor: message 7\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Flags, TaskLogTargets,
                         ::testing::Values(TargetCase{1, 1, 0x06, true, true, 0, 0},
                                           TargetCase{1, 0, 0x06, true, false, 0, 0},
                                           TargetCase{0, 0, 0x06, false, false, 0, 0},
                                           TargetCase{0, 0, 0x08, false, false, 1, 0},
                                           TargetCase{0, 0, 0x10, false, false, 0, 1},
                                           TargetCase{1, 1, 0x1E, true, true, 1, 1}),
                         [](const ::testing::TestParamInfo<TargetCase>& info) {
                           const TargetCase& c = info.param;
                           return "File" + std::to_string(c.fileFlag) + "Console" + std::to_string(c.consoleFlag) +
                                  "Targets" + std::to_string(c.targets);
                         });

TEST_F(TaskLogTest, JournalRecordCarriesTheMessageWithoutTaskName) {
  CreateStatDatabase();
  SetIni("MailServer", "CN=Mail/O=Tervala");
  LogMessage(LOG_JOURNAL, JournalError, MessageText(Msg::DocumentOpenFailed), kNoteNotFound, 0x8f8);
  ScopedDb db(host_.get());
  ScopedNote note(host_.get());
  ASSERT_NO_FATAL_FAILURE(OpenOnlyJournalRecord(&db, &note));
  std::vector<std::string> names;
  ItemInfo item;
  for (notesapi::Status s = host_->ItemInfoFirst(note.get(), &item); s == kNoError;
       s = host_->ItemInfoNext(note.get(), item.item, {}, &item)) {
    names.push_back(item.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"JournalDate", "Form", "JournalType", "JournalTask", "JournalServer",
                                             "JournalDescription"}));
  std::string text;
  ASSERT_EQ(host_->ItemGetText(note.get(), "JournalDescription", 2000, &text), kNoError);
  EXPECT_EQ(text, Lmbcs("Ошибка открытия документа 0x08f8. Ошибка: ") + host_->StatusText(kNoteNotFound));
  EXPECT_EQ(host_->ItemGetNumber(note.get(), "JournalType", 0), 92);
  ASSERT_EQ(host_->ItemGetText(note.get(), "JournalServer", 100, &text), kNoError);
  EXPECT_EQ(text, "CN=Mail/O=Tervala");
  ASSERT_EQ(host_->ItemGetText(note.get(), "Form", 100, &text), kNoError);
  EXPECT_EQ(text, "form_Journal");
}

TEST_F(TaskLogTest, MissingStatisticsDatabaseIsReportedOncePerMessage) {
  LogMessage(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalInformation, "%s", 0, MessageText(Msg::ShuttingDown));
  LogMessage(LOG_JOURNAL, JournalInformation, "second", 0);
  std::string failure = Lmbcs("ZulMailMonitor: Ошибка создания записи в журнале. Ошибка: ") +
                        host_->StatusText(kDatabaseNotFound) + "\n";
  ASSERT_EQ(platform_->lines.size(), 3u);
  EXPECT_EQ(platform_->lines[0], Lmbcs("ZulMailMonitor: Завершение работы.\n"));
  EXPECT_EQ(platform_->lines[1], failure);
  EXPECT_EQ(platform_->lines[2], failure);
  EXPECT_EQ(platform_->CallCount("DbOpen"), 2u) << "the failure report itself makes no journal record";
}

TEST_F(TaskLogTest, LongMessagesAreCutWithinTheBuffers) {
  CreateStatDatabase();
  std::string longText(1500, '\xc6');  // "Ж" in windows-1251: two bytes in the Notes character set
  LogMessage(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL, JournalInformation, "%s", kDatabaseLocked, longText.c_str());
  std::string file = ReadFile(logFile_);
  std::string expectedLine = std::string(kNow) + "   ZulMailMonitor: ";
  expectedLine += std::string(1022 - expectedLine.size(), '\xc6') + "\n";
  EXPECT_EQ(file, expectedLine) << "the line, with its line feed, fits 1024 bytes";
  ASSERT_EQ(platform_->lines.size(), 1u);
  EXPECT_LE(platform_->lines[0].size(), 1024u);
  EXPECT_EQ(platform_->lines[0].back(), '\n');
  ScopedDb db(host_.get());
  ScopedNote note(host_.get());
  ASSERT_NO_FATAL_FAILURE(OpenOnlyJournalRecord(&db, &note));
  std::string description;
  ASSERT_EQ(host_->ItemGetText(note.get(), "JournalDescription", 5000, &description), kNoError);
  EXPECT_EQ(description.size(), 1022u) << "1023 bytes at most, never half a character";
  std::string back;
  ASSERT_EQ(host_->Translate(kTranslateLmbcsToNative, description, &back), kNoError);
  EXPECT_EQ(back, std::string(511, '\xc6'));
}

TEST_F(TaskLogTest, LevelsFollowTheNotesIniNumber) {
  struct Case {
    const char* written;
    bool always, level1, level3, level4;
  };
  const Case cases[] = {{"0", true, false, false, false},
                        {"1", true, true, false, false},
                        {"3", true, true, true, false},
                        {"-1", true, true, true, true},
                        {"65536", true, false, false, false}};
  SetIni("ZULSetupDatabase", "zulsetup.nsf");
  SetIni("ZULStatDatabase", "zulstat.nsf");
  for (const Case& c : cases) {
    SetIni("ZulUpdaterLogLevel", c.written);
    ASSERT_TRUE(ReadServerVariables(TaskKind::kUpdater));
    EXPECT_EQ(LogLevelAbove(kLogAlways), c.always) << c.written;
    EXPECT_EQ(LogLevelAbove(kLogFromLevel1), c.level1) << c.written;
    EXPECT_EQ(LogLevelAbove(kLogFromLevel3), c.level3) << c.written;
    EXPECT_EQ(LogLevelAbove(kLogFromLevel4), c.level4) << c.written;
  }
}

TEST_F(TaskLogTest, UnwritableLogFileLosesLinesQuietly) {
  Variables().logFileName = server_.directory() + "/no/such/folder/task.log";
  OpenTaskLogFile(Variables().logFileName);
  LogMessage(LOG_FILE | LOG_CONSOLE, JournalInformation, "still on the console", 0);
  EXPECT_EQ(platform_->lines.size(), 1u);
  EXPECT_EQ(Variables().logFileFlag, 1) << "later lines try again";
}

}  // namespace
}  // namespace zul::testing
