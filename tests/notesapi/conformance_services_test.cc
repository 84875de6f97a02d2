// The conformance suite of the platform interface, its services: queues,
// notes.ini, time, character sets, files and status lines (run for every
// implementation by the instantiation in conformance_test.cc).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "notesapi/scoped_handles.h"
#include "tests/notesapi/conformance_fixture.h"

namespace notesapi::testing {
namespace {

// ---- Queues ----------------------------------------------------------------

TEST_P(PlatformConformance, QueueKeepsPriorityThenArrivalOrder) {
  ScopedQueue queue(p);
  EXPECT_EQ(p->QueueOpen("MQ$TEST", kQueueOpenExisting, queue.put()), kQueueNotFound);
  ASSERT_EQ(p->QueueOpen("MQ$TEST", kQueueCreate, queue.put()), kNoError);
  ASSERT_EQ(p->QueuePut(queue.get(), 1, "one"), kNoError);
  ASSERT_EQ(p->QueuePut(queue.get(), 1, "two"), kNoError);
  ASSERT_EQ(p->QueuePut(queue.get(), 5, "urgent"), kNoError);
  std::string message;
  for (const char* expected : {"urgent", "one", "two"}) {
    ASSERT_EQ(p->QueueGet(queue.get(), 255, &message), kNoError);
    EXPECT_EQ(message, expected);
  }
  EXPECT_EQ(p->QueueGet(queue.get(), 255, &message), kQueueEmpty);
  EXPECT_EQ(message, "two") << "an empty read leaves the buffer alone";
}

TEST_P(PlatformConformance, QueueMessagesOutliveTheirWriter) {
  {
    std::unique_ptr<Platform> writer = Open();
    ScopedQueue queue(writer.get());
    ASSERT_EQ(writer->QueueOpen("MQ$HOOK2MAIL", kQueueCreate, queue.put()), kNoError);
    ASSERT_EQ(writer->QueuePut(queue.get(), 1, "00000000|000008f8|00000000|mail.box"), kNoError);
  }
  ScopedQueue queue(p);
  ASSERT_EQ(p->QueueOpen("MQ$HOOK2MAIL", kQueueOpenExisting, queue.put()), kNoError);
  std::string message;
  ASSERT_EQ(p->QueueGet(queue.get(), 255, &message), kNoError);
  EXPECT_EQ(message, "00000000|000008f8|00000000|mail.box");
}

TEST_P(PlatformConformance, OversizedMessageIsSetAsideNotLost) {
  ScopedQueue queue(p);
  ASSERT_EQ(p->QueueOpen("MQ$BIG", kQueueCreate, queue.put()), kNoError);
  std::string exactly255(255, 'a');
  ASSERT_EQ(p->QueuePut(queue.get(), 1, exactly255), kNoError);
  ASSERT_EQ(p->QueuePut(queue.get(), 1, std::string(256, 'b')), kNoError);
  ASSERT_EQ(p->QueuePut(queue.get(), 1, "after"), kNoError);
  EXPECT_EQ(p->QueuePut(queue.get(), 1, std::string(kMaxQueueMessageSize + 1, 'c')), kQueueMessageTooLarge);
  std::string message;
  ASSERT_EQ(p->QueueGet(queue.get(), 255, &message), kNoError);
  EXPECT_EQ(message, exactly255);
  EXPECT_EQ(p->QueueGet(queue.get(), 255, &message), kQueueBufferTooSmall);
  ASSERT_EQ(p->QueueGet(queue.get(), 255, &message), kNoError) << "the long message does not block the queue";
  EXPECT_EQ(message, "after");
  std::vector<QueueState> queues;
  ASSERT_EQ(ListQueues(server_.directory(), &queues), kNoError);
  auto big = std::find_if(queues.begin(), queues.end(), [](const QueueState& q) { return q.name == "MQ$BIG"; });
  ASSERT_NE(big, queues.end());
  EXPECT_EQ(big->deadLetters, 1) << "the long message is kept for the administrator";
}

TEST_P(PlatformConformance, QuittingServerStopsQueuesAndTasks) {
  ScopedQueue queue(p);
  ASSERT_EQ(p->QueueOpen("MQ$ZULMAILMONITOR", kQueueCreate, queue.put()), kNoError);
  ASSERT_EQ(p->QueuePut(queue.get(), 1, "VERSION"), kNoError);
  ASSERT_EQ(p->AddInStart(), kNoError);
  EXPECT_FALSE(p->AddInShouldTerminate());
  ASSERT_EQ(SetServerQuitting(server_.directory(), true), kNoError);
  std::string message;
  EXPECT_EQ(p->QueueGet(queue.get(), 255, &message), kQueueQuitting);
  EXPECT_EQ(p->QueueGet(queue.get(), 255, &message), kQueueQuitting) << "every read, not only the first";
  EXPECT_TRUE(p->AddInShouldTerminate());
  EXPECT_TRUE(p->AddInIdle());
  ASSERT_EQ(SetServerQuitting(server_.directory(), false), kNoError);
  ASSERT_EQ(p->QueueGet(queue.get(), 255, &message), kNoError) << "the message waited";
}

TEST_P(PlatformConformance, QueueNamesAreBounded) {
  QueueHandle queue = kNullHandle;
  EXPECT_EQ(p->QueueOpen(std::string(kMaxQueueNameLength, 'Q'), kQueueCreate, &queue), kNoError);
  EXPECT_EQ(p->QueueClose(queue), kNoError);
  EXPECT_EQ(p->QueueOpen(std::string(kMaxQueueNameLength + 1, 'Q'), kQueueCreate, &queue), kQueueNameTooLong);
  EXPECT_EQ(p->QueueClose(queue), kInvalidHandle);
  EXPECT_EQ(p->QueuePut(queue, 1, "x"), kInvalidHandle);
}

// ---- notes.ini ---------------------------------------------------------------

TEST_P(PlatformConformance, IniNumbersAndTexts) {
  struct Case {
    const char* written;
    int32_t read;
  };
  const Case cases[] = {{"3", 3}, {"-1", -1}, {"65536", 65536}, {"4294967297", 1}, {"12abc", 12}, {"abc", 0},
                        {" 7", 7}, {"", 0}};
  for (const Case& c : cases) {
    ASSERT_EQ(p->IniSetText("ZulMailMonitorLogLevel", c.written), kNoError);
    EXPECT_EQ(p->IniGetNumber("zulmailmonitorloglevel"), c.read) << c.written;
  }
  EXPECT_EQ(p->IniGetNumber("NoSuchVariable"), 0);
  std::string value = "unchanged";
  EXPECT_FALSE(p->IniGetText("NoSuchVariable", 256, &value));
  EXPECT_EQ(value, "unchanged");
  ASSERT_EQ(p->IniSetText("ZulMailMonitorLogFileName", ""), kNoError);
  EXPECT_TRUE(p->IniGetText("ZulMailMonitorLogFileName", 256, &value)) << "set but empty is still set";
  EXPECT_EQ(value, "");
  ASSERT_EQ(p->IniSetText("ZULSetupDatabase", " Spaced\\Path.nsf "), kNoError);
  ASSERT_TRUE(p->IniGetText("ZULSetupDatabase", 256, &value));
  EXPECT_EQ(value, " Spaced\\Path.nsf ") << "taken unchanged";
  ASSERT_TRUE(p->IniGetText("ZULSetupDatabase", 4, &value));
  EXPECT_EQ(value, " Spa");
  EXPECT_EQ(p->IniSetText("Bad", "two\nlines"), kBadArgument);
}

TEST_P(PlatformConformance, IniWritesKeepCommentsAndOrder) {
  std::ifstream before(server_.notesIni());
  std::string original((std::istreambuf_iterator<char>(before)), {});
  ASSERT_EQ(p->IniSetText("ZulScanDepthLimit", "20"), kNoError);
  ASSERT_EQ(p->IniSetText("NewVariable", "x"), kNoError);
  std::ifstream after(server_.notesIni());
  std::string changed((std::istreambuf_iterator<char>(after)), {});
  std::string expected = original;
  expected.replace(expected.find("ZulScanDepthLimit=17"), 20, "ZulScanDepthLimit=20");
  EXPECT_EQ(changed, expected + "NewVariable=x\n");
}

// ---- Time ----------------------------------------------------------------------

TEST_P(PlatformConformance, TimeRoundTripsAndNormalisesDayZero) {
  TimeDate now = p->TimeNow();
  LocalTime local;
  local.gm = now;
  ASSERT_EQ(p->TimeGmToLocal(&local), kNoError);
  EXPECT_EQ(local.year, 2026);
  EXPECT_EQ(local.month, 12);
  EXPECT_EQ(local.day, 7);
  EXPECT_EQ(local.hour, 13) << "10:00 UTC is 13:00 three hours east";
  EXPECT_EQ(local.weekday, 2) << "a Monday";
  EXPECT_EQ(local.zone, -3);
  local.day = 0;
  ASSERT_EQ(p->TimeLocalToGm(&local), kNoError);
  EXPECT_EQ(local.month, 11);
  EXPECT_EQ(local.day, 30) << "day 0 is the last day of the previous month";
  EXPECT_EQ(p->TimeDifferenceSeconds(now, local.gm), 7 * 86400.0);
  local.month = 3;
  local.day = 0;
  local.year = 2028;
  ASSERT_EQ(p->TimeLocalToGm(&local), kNoError);
  EXPECT_EQ(local.month, 2);
  EXPECT_EQ(local.day, 29) << "leap year";
  std::string text;
  ASSERT_EQ(p->TimeToText(now, &text), kNoError);
  EXPECT_EQ(text, "07.12.2026 13:00:00");
}

TEST_P(PlatformConformance, TimeArithmeticAndConstants) {
  TimeDate now = p->TimeNow();
  TimeDate later = now;
  ASSERT_EQ(p->TimeAdjust(&later, 4, 1), kNoError);
  EXPECT_EQ(p->TimeDifferenceSeconds(later, now), 28 * 3600.0);
  EXPECT_LT(p->TimeCompare(now, later), 0);
  EXPECT_GT(p->TimeCompare(later, now), 0);
  TimeDate wildcard = p->TimeConstant(TimeConstantKind::kWildcard);
  EXPECT_EQ(wildcard.innards[0], kAllDay);
  EXPECT_EQ(wildcard.innards[1] & kAnyDay, kAnyDay);
  std::string text = "x";
  ASSERT_EQ(p->TimeToText(wildcard, &text), kNoError);
  EXPECT_EQ(text, "");
  LocalTime local;
  local.gm = wildcard;
  EXPECT_NE(p->TimeGmToLocal(&local), kNoError);
  EXPECT_LT(p->TimeCompare(p->TimeConstant(TimeConstantKind::kMinimum), now), 0);
  EXPECT_GT(p->TimeCompare(p->TimeConstant(TimeConstantKind::kMaximum), now), 0);
}

TEST_P(PlatformConformance, IntervalCheckSaysYesOncePerInterval) {
  ASSERT_EQ(p->AddInStart(), kNoError);
  EXPECT_FALSE(p->AddInIntervalElapsed(900));
  clock_->AdvanceSeconds(899);
  EXPECT_FALSE(p->AddInIntervalElapsed(900));
  clock_->AdvanceSeconds(1);
  EXPECT_TRUE(p->AddInIntervalElapsed(900));
  EXPECT_FALSE(p->AddInIntervalElapsed(900)) << "not twice in one interval";
  EXPECT_FALSE(p->AddInIntervalElapsed(60) && p->AddInIntervalElapsed(60));
  clock_->AdvanceSeconds(900);
  EXPECT_TRUE(p->AddInIntervalElapsed(900));
}

// ---- Character sets ------------------------------------------------------------

TEST_P(PlatformConformance, CyrillicRoundTripsThroughEverySet) {
  const std::string windows1251 = "\xcf\xf0\xe8\xe2\xe5\xf2, \xec\xe8\xf0! \xa8\xb8";  // "Привет, мир! Ёё"
  std::string lmbcs;
  ASSERT_EQ(p->Translate(kTranslateNativeToLmbcs, windows1251, &lmbcs), kNoError);
  EXPECT_NE(lmbcs, windows1251);
  std::string utf16;
  ASSERT_EQ(p->Translate(kTranslateLmbcsToUnicode, lmbcs, &utf16), kNoError);
  ASSERT_EQ(utf16.size(), 2 * 15u);
  EXPECT_EQ(utf16.substr(0, 2), "\x1f\x04") << "U+041F little-endian";
  std::string back;
  ASSERT_EQ(p->Translate(kTranslateUnicodeToLmbcs, utf16, &back), kNoError);
  EXPECT_EQ(back, lmbcs);
  ASSERT_EQ(p->Translate(kTranslateLmbcsToNative, back, &back), kNoError);
  EXPECT_EQ(back, windows1251);
  std::string ascii;
  ASSERT_EQ(p->Translate(kTranslateNativeToLmbcs, "plain ASCII", &ascii), kNoError);
  EXPECT_EQ(ascii, "plain ASCII");
  EXPECT_EQ(p->Translate(kTranslateUnicodeToLmbcs, "odd", &back), kBadArgument);
  EXPECT_EQ(p->Translate(99, "x", &back), kBadArgument);
}

// ---- Files and status texts ------------------------------------------------------

TEST_P(PlatformConformance, FilesByWindowsAndPosixPaths) {
  std::u16string folder = std::u16string(server_.directory().begin(), server_.directory().end()) + u"\\work\\ZulTemp";
  ASSERT_EQ(p->FolderCreate(folder), kNoError);
  ASSERT_EQ(p->FolderCreate(folder), kNoError) << "an existing folder is fine";
  std::u16string file = folder + u"\\ZELK00010001";
  ASSERT_EQ(p->FileWrite(file, std::string("a\0b", 3)), kNoError);
  ASSERT_EQ(p->FileAppend(file, "cd"), kNoError);
  uint64_t size = 0;
  ASSERT_EQ(p->FileSize(file, &size), kNoError);
  EXPECT_EQ(size, 5u);
  std::string data;
  ASSERT_EQ(p->FileRead(folder + u"/ZELK00010001", &data), kNoError);
  EXPECT_EQ(data, std::string("a\0bcd", 5));
  ASSERT_EQ(p->FileDelete(file), kNoError);
  EXPECT_EQ(p->FileDelete(file), kFileNotFound);
  EXPECT_EQ(p->FileSize(file, &size), kFileNotFound);
  EXPECT_EQ(p->FileWrite(folder + u"\\missing\\x", "x"), kFileNotFound);
}

// What the bases proof and the export build on: a folder as it stands
// (links not followed), a file a part at a time, a name claimed only when
// nothing holds it.
TEST_P(PlatformConformance, FolderListsPartsAndNewFiles) {
  std::string local = server_.directory() + "/work/listed";
  std::u16string folder(local.begin(), local.end());
  ASSERT_EQ(p->FolderCreate(folder + u"/inner"), kNoError);
  ASSERT_EQ(p->FileWrite(folder + u"\\data.bin", "0123456789"), kNoError);
  std::filesystem::create_symlink("/etc/hostname", local + "/link.hdb");
  std::vector<FolderEntry> entries;
  ASSERT_EQ(p->FolderList(folder, &entries), kNoError);
  std::map<std::u16string, std::pair<FolderEntryKind, uint64_t>> seen;
  for (const FolderEntry& entry : entries) seen[entry.name] = {entry.kind, entry.size};
  EXPECT_EQ(seen, (std::map<std::u16string, std::pair<FolderEntryKind, uint64_t>>{
                      {u"data.bin", {FolderEntryKind::kFile, 10}},
                      {u"inner", {FolderEntryKind::kFolder, 0}},
                      {u"link.hdb", {FolderEntryKind::kLink, 0}}}));
  EXPECT_EQ(p->FolderList(folder + u"/none", &entries), kFileNotFound);

  std::string part;
  ASSERT_EQ(p->FileReadPart(folder + u"/data.bin", 3, 4, &part), kNoError);
  EXPECT_EQ(part, "3456");
  ASSERT_EQ(p->FileReadPart(folder + u"/data.bin", 8, 4, &part), kNoError);
  EXPECT_EQ(part, "89") << "fewer at the end";
  ASSERT_EQ(p->FileReadPart(folder + u"/data.bin", 10, 4, &part), kNoError);
  EXPECT_EQ(part, "");
  EXPECT_EQ(p->FileReadPart(folder + u"/none", 0, 4, &part), kFileNotFound);

  ASSERT_EQ(p->FileCreateNew(folder + u"/new.txt"), kNoError);
  EXPECT_EQ(p->FileCreateNew(folder + u"/new.txt"), kFileExists);
  EXPECT_EQ(p->FileCreateNew(folder + u"/data.bin"), kFileExists);
  EXPECT_EQ(p->FileCreateNew(folder + u"/inner"), kFileExists);
  EXPECT_EQ(p->FileCreateNew(folder + u"/link.hdb"), kFileExists) << "a link is not followed";
  std::filesystem::create_symlink(local + "/nowhere", local + "/dangling");
  EXPECT_EQ(p->FileCreateNew(folder + u"/dangling"), kFileExists) << "nothing is made where a link points";
  EXPECT_FALSE(std::filesystem::exists(local + "/nowhere"));
  EXPECT_EQ(p->FileRead(folder + u"/data.bin", &part), kNoError);
  EXPECT_EQ(part, "0123456789") << "an existing file is left as it was";
}

TEST_P(PlatformConformance, StatusTextsAreShortAndMasked) {
  EXPECT_EQ(p->StatusText(kItemNotFound), p->StatusText(kItemNotFound | kStatusShownBit));
  EXPECT_FALSE(p->StatusText(kQueueQuitting).empty());
  EXPECT_NE(p->StatusText(kDatabaseLocked), p->StatusText(kDatabaseCorrupt));
  EXPECT_LE(p->StatusText(0x3FFF).size(), 255u);
}

TEST_P(PlatformConformance, StatusLinesShowInTheTaskList) {
  ModuleHandle module = kNullHandle;
  StatusLineHandle line = kNullHandle;
  ASSERT_EQ(p->StatusLineQueryDefault(&module, &line), kNoError);
  ASSERT_EQ(p->StatusLineDelete(line), kNoError);
  ASSERT_EQ(p->StatusLineCreate("ZulMailMonitor", &line), kNoError);
  ASSERT_EQ(p->StatusLineSetDefault(module, line), kNoError);
  ASSERT_EQ(p->StatusLineSetDefaultText("Init."), kNoError);
  std::vector<TaskState> tasks;
  ASSERT_EQ(ListTasks(server_.directory(), &tasks), kNoError);
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].task, "ZulMailMonitor");
  EXPECT_EQ(tasks[0].text, "Init.");
  ASSERT_EQ(p->StatusLineDelete(line), kNoError);
  EXPECT_EQ(p->StatusLineSetDefaultText("Idle task"), kInvalidHandle);
  ASSERT_EQ(ListTasks(server_.directory(), &tasks), kNoError);
  EXPECT_TRUE(tasks.empty());
}

}  // namespace
}  // namespace notesapi::testing
