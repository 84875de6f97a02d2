// What only the embedded host does: finding notes.ini, message libraries in
// resource-file form, child processes, the console and server log.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"
#include "tests/notesapi/string_library_builder.h"
#include "tests/notesapi/test_server.h"

namespace notesapi::testing {
namespace {

class HostPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_ = server_.OpenHost();
    p = platform_.get();
  }
  std::u16string Path(const std::string& name) {
    std::string full = server_.directory() + "/" + name;
    return std::u16string(full.begin(), full.end());
  }
  void WriteFile(const std::string& name, const std::string& data) {
    std::ofstream(server_.directory() + "/" + name, std::ios::binary) << data;
  }
  std::string ReadFile(const std::string& name) {
    std::ifstream in(server_.directory() + "/" + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
  // One number the database file answers, read past the host, or -1.
  int64_t AskFile(const std::string& database, const char* sql) {
    sqlite3* raw = nullptr;
    int64_t answer = -1;
    sqlite3_stmt* query = nullptr;
    if (sqlite3_open_v2(server_.data(database).c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(raw, sql, -1, &query, nullptr) == SQLITE_OK && sqlite3_step(query) == SQLITE_ROW) {
      answer = sqlite3_column_int64(query, 0);
    }
    sqlite3_finalize(query);
    sqlite3_close(raw);
    return answer;
  }

  TestServer server_;
  std::unique_ptr<Platform> platform_;
  Platform* p = nullptr;
};

TEST_F(HostPlatformTest, NotesIniIsFoundByArgumentThenEnvironmentThenWorkingFolder) {
  std::string ini = server_.notesIni();
  std::string argument = "=" + ini;
  const char* withArgument[] = {"task", argument.c_str()};
  std::string found;
  ::setenv("ZUL_NOTES_INI", "/nonexistent/notes.ini", 1);
  ASSERT_EQ(LocateNotesIni(2, withArgument, &found), kNoError);
  EXPECT_EQ(found, ini);
  const char* plain[] = {"task"};
  EXPECT_EQ(LocateNotesIni(1, plain, &found), kNotesIniMissing) << "the environment names a missing file";
  ::setenv("ZUL_NOTES_INI", ini.c_str(), 1);
  ASSERT_EQ(LocateNotesIni(1, plain, &found), kNoError);
  EXPECT_EQ(found, ini);
  ::unsetenv("ZUL_NOTES_INI");
  ASSERT_EQ(::chdir(server_.directory().c_str()), 0);
  ASSERT_EQ(LocateNotesIni(1, plain, &found), kNoError);
  EXPECT_EQ(found, "notes.ini");
}

TEST_F(HostPlatformTest, MessageLibraryStringsComeBackInTheNativeCodePage) {
  WriteFile("zelklocale.dll", BuildStringLibrary({{1002, u"Ошибка чтения конфигурации. Выход."},
                                                  {1003, u"Инициализация..."},
                                                  {15, u"last of block 1"},
                                                  {16, u"first of block 2"}}));
  ScopedLibrary library(p);
  ASSERT_EQ(p->LibraryLoad(Path("zelklocale.dll"), library.put()), kNoError);
  std::string text;
  ASSERT_EQ(p->LibraryString(library.get(), 1003, &text), kNoError);
  EXPECT_EQ(text, "\xc8\xed\xe8\xf6\xe8\xe0\xeb\xe8\xe7\xe0\xf6\xe8\xff...");  // windows-1251
  ASSERT_EQ(p->LibraryString(library.get(), 15, &text), kNoError);
  EXPECT_EQ(text, "last of block 1");
  ASSERT_EQ(p->LibraryString(library.get(), 16, &text), kNoError);
  EXPECT_EQ(text, "first of block 2");
  EXPECT_EQ(p->LibraryString(library.get(), 1004, &text), kLibraryStringNotFound) << "empty slot of a block";
  EXPECT_EQ(p->LibraryString(library.get(), 5000, &text), kLibraryStringNotFound) << "no such block";
  EXPECT_EQ(p->LibraryString(library.get() + 100, 1003, &text), kInvalidHandle);
}

TEST_F(HostPlatformTest, DamagedMessageLibrariesFailCleanly) {
  LibraryHandle library = kNullHandle;
  EXPECT_EQ(p->LibraryLoad(Path("missing.dll"), &library), kLibraryNotFound);
  WriteFile("text.dll", "MZ but nothing else of a program");
  EXPECT_EQ(p->LibraryLoad(Path("text.dll"), &library), kLibraryBadFormat);
  std::string image = BuildStringLibrary({{1002, u"Ошибка"}, {2000, u"другая"}});
  // Every cut of the file either loads and then finds or misses the string,
  // or fails as damaged: never a read past the end.
  for (size_t cut = 0; cut < image.size(); cut += 7) {
    WriteFile("cut.dll", image.substr(0, cut));
    Status s = p->LibraryLoad(Path("cut.dll"), &library);
    if (s != kNoError) {
      EXPECT_EQ(s, kLibraryBadFormat) << cut;
      continue;
    }
    std::string text;
    Status found = p->LibraryString(library, 2000, &text);
    EXPECT_TRUE(found == kNoError || found == kLibraryBadFormat || found == kLibraryStringNotFound) << cut;
    ASSERT_EQ(p->LibraryFree(library), kNoError);
  }
}

TEST_F(HostPlatformTest, ChildProcessRunsWithRedirectedOutput) {
  ChildProcess child;
  child.application = u"/bin/sh";
  child.commandLine = u"sh -c \"echo out; echo err >&2; exit 3\"";
  child.outputPath = Path("log\\console.log");
  int exitCode = -1;
  ASSERT_EQ(p->ProcessRun(child, &exitCode), kNoError);
  EXPECT_EQ(exitCode, 3);
  EXPECT_EQ(ReadFile("log/console.log"), "out\nerr\n");

  child.outputPath = Path("missing\\console.log");
  EXPECT_EQ(p->ProcessRun(child, &exitCode), kProcessOutputFailed);
  child.outputPath.clear();
  child.application = u"no-such-program.exe";
  EXPECT_EQ(p->ProcessRun(child, &exitCode), kProcessNotStarted);
}

TEST_F(HostPlatformTest, WindowsProgramNamesAreFoundInTheProgramDirectory) {
  WriteFile("program/basefetch", "#!/bin/sh\necho \"$@\"\n");
  ASSERT_EQ(::chmod((server_.directory() + "/program/basefetch").c_str(), 0755), 0);
  ASSERT_EQ(p->IniSetText("NotesProgram", server_.directory() + "/program"), kNoError);
  ChildProcess child;
  child.application = u"basefetch.exe";
  child.commandLine = u"basefetch.exe -u -P ZULLotusNotes -tf \"C:\\log dir\\x.log\" -tl 10";
  child.outputPath = Path("out.txt");
  int exitCode = -1;
  ASSERT_EQ(p->ProcessRun(child, &exitCode), kNoError);
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(ReadFile("out.txt"), "-u -P ZULLotusNotes -tf C:\\log dir\\x.log -tl 10\n");
}

TEST_F(HostPlatformTest, ConsoleLinesReachTheServerLogInUtf8) {
  std::string lmbcs;
  ASSERT_EQ(p->Translate(kTranslateUtf8ToLmbcs, "ZulMailMonitor: Инициализация...\n", &lmbcs), kNoError);
  p->ConsoleLine(lmbcs);
  std::string log = ReadFile("server.log");
  EXPECT_NE(log.find("ZulMailMonitor: Инициализация...\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("\n\n"), std::string::npos) << "the line's own line feed is not doubled";
}

TEST_F(HostPlatformTest, ClassIdentifiersMapToProgramIdentifiers) {
  std::string progId;
  ASSERT_EQ(p->ClassToProgId("{00020906-0000-0000-c000-000000000046}", &progId), kNoError);
  EXPECT_EQ(progId, "Word.Document.8");
  EXPECT_EQ(p->ClassToProgId("{11111111-0000-0000-C000-000000000046}", &progId), kClassNotRegistered);
}

TEST_F(HostPlatformTest, DataDirectoryComesFromNotesIni) {
  ASSERT_EQ(p->IniSetText("Directory", "otherdata"), kNoError);
  std::unique_ptr<Platform> other = server_.OpenHost();
  ASSERT_EQ(other->DbCreate("x.nsf", "X"), kNoError);
  struct stat info {};
  EXPECT_EQ(::stat((server_.directory() + "/otherdata/x.nsf").c_str(), &info), 0);
}

// A file written by the tasks is never written through a link somebody
// planted under its name, and their own folder is theirs alone.
TEST_F(HostPlatformTest, NoWriteThroughPlantedLinksAndPrivateFolders) {
  WriteFile("target", "precious");
  ASSERT_EQ(::symlink((server_.directory() + "/target").c_str(), (server_.directory() + "/soft").c_str()), 0);
  ASSERT_EQ(::link((server_.directory() + "/target").c_str(), (server_.directory() + "/hard").c_str()), 0);
  EXPECT_NE(p->FileWrite(Path("soft"), "attachment bytes"), kNoError);
  EXPECT_NE(p->FileWrite(Path("hard"), "attachment bytes"), kNoError);
  EXPECT_NE(p->FileAppend(Path("soft"), "attachment bytes"), kNoError);
  EXPECT_EQ(ReadFile("target"), "precious");
  EXPECT_EQ(p->FileWrite(Path("plain"), "longer first"), kNoError);
  EXPECT_EQ(p->FileWrite(Path("plain"), "short"), kNoError);
  EXPECT_EQ(ReadFile("plain"), "short") << "replaced, no tail left";

  EXPECT_EQ(p->FolderCreatePrivate(Path("tmp/work")), kNoError);
  struct stat info {};
  ASSERT_EQ(::stat((server_.directory() + "/tmp/work").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::chmod((server_.directory() + "/tmp/work").c_str(), 0777), 0);
  EXPECT_EQ(p->FolderCreatePrivate(Path("tmp/work")), kFolderNotPrivate) << "others may write into it";
  ASSERT_EQ(::chmod((server_.directory() + "/tmp/work").c_str(), 0755), 0);
  EXPECT_EQ(p->FolderCreatePrivate(Path("tmp/work")), kNoError) << "only readable: taken back";
  ASSERT_EQ(::stat((server_.directory() + "/tmp/work").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::symlink("/tmp", (server_.directory() + "/tmp/elsewhere").c_str()), 0);
  EXPECT_EQ(p->FolderCreatePrivate(Path("tmp/elsewhere")), kFolderNotPrivate) << "a link in its place";
}

// Logs stay open between lines, and a rotation (the file renamed under its
// path) starts a new file at the next line; nothing is lost or doubled.
// An attachment's data is written once, already owned by its note: a row
// moved to its owner afterwards would be written again whole, leaving its
// first pages free.
TEST_F(HostPlatformTest, AttachmentDataIsWrittenOnce) {
  ASSERT_EQ(p->DbCreate("objects.nsf", "Objects"), kNoError);
  ScopedDb db(p);
  ASSERT_EQ(p->DbOpen("objects.nsf", db.put()), kNoError);
  WriteFile("big.bin", std::string(2 << 20, 'x'));
  for (int note = 0; note < 2; ++note) {
    ScopedNote created(p);
    ASSERT_EQ(p->NoteCreate(db.get(), created.put()), kNoError);
    ASSERT_EQ(p->AttachFile(created.get(), Path("big.bin"), "big.bin", 0, false, nullptr), kNoError);
    ASSERT_EQ(p->NoteUpdate(created.get(), kUpdateForce), kNoError);
  }
  int64_t free = AskFile("objects.nsf", "PRAGMA freelist_count");
  EXPECT_GE(free, 0);
  EXPECT_LT(free, 16) << "pages of data written twice";
}

// An attachment replaced in one save takes the pages of the one it
// replaces, so the file does not grow by its size; and the replaced one's
// number is never given to another object, so a reader holding the old note
// finds the object gone rather than someone else's data.
TEST_F(HostPlatformTest, ReplacedAttachmentsMakeRoomAndKeepTheirNumbers) {
  ASSERT_EQ(p->DbCreate("replace.nsf", "Replace"), kNoError);
  ScopedDb db(p);
  ASSERT_EQ(p->DbOpen("replace.nsf", db.put()), kNoError);
  WriteFile("first.bin", std::string(3 << 20, 'a'));
  WriteFile("second.bin", std::string(3 << 20, 'b'));
  auto objectOf = [&](NoteHandle note) {
    ItemInfo item;
    EXPECT_EQ(p->ItemInfoByName(note, "$FILE", &item), kNoError);
    std::string value;
    EXPECT_EQ(p->ItemValue(item.value, &value), kNoError);
    FileObject file;
    EXPECT_EQ(ParseFileObject(std::string_view(value).substr(2), &file), kNoError);
    return std::make_pair(item.item, file.header.rrv);
  };
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  ASSERT_EQ(p->AttachFile(note.get(), Path("first.bin"), "data.bin", 0, false, nullptr), kNoError);
  ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
  NoteInfo info;
  ASSERT_EQ(p->NoteGetInfo(note.get(), &info), kNoError);
  ScopedNote stored(p);
  ASSERT_EQ(p->NoteOpen(db.get(), info.noteId, 0, stored.put()), kNoError);
  auto [item, first] = objectOf(stored.get());
  ASSERT_EQ(p->DetachFile(stored.get(), item), kNoError);
  ASSERT_EQ(p->AttachFile(stored.get(), Path("second.bin"), "data.bin", 0, false, nullptr), kNoError);
  ASSERT_EQ(p->NoteUpdate(stored.get(), kUpdateForce), kNoError);
  ScopedNote again(p);
  ASSERT_EQ(p->NoteOpen(db.get(), info.noteId, 0, again.put()), kNoError);
  uint32_t second = objectOf(again.get()).second;
  EXPECT_GT(second, first) << "a number once given is not given again";
  ASSERT_EQ(p->ExtractFile(again.get(), objectOf(again.get()).first, Path("out.bin")), kNoError);
  EXPECT_TRUE(ReadFile("out.bin") == std::string(3 << 20, 'b'));
  int64_t size = AskFile("replace.nsf", "SELECT page_count * page_size FROM pragma_page_count(), pragma_page_size()");
  EXPECT_GT(size, 3 << 20);
  EXPECT_LT(size, 5 << 20) << "the replaced data's pages were not taken again";
}

// A large file is attached as a copy on disk until the save; the copy goes
// with the save, and copies of a process that died before its save go when
// the host is next opened.
TEST_F(HostPlatformTest, LargeAttachmentsWaitForTheSaveOnDisk) {
  ASSERT_EQ(p->DbCreate("large.nsf", "Large"), kNoError);
  ScopedDb db(p);
  ASSERT_EQ(p->DbOpen("large.nsf", db.put()), kNoError);
  std::string data(3 << 20, '\0');
  std::mt19937 random(3);
  for (char& c : data) c = static_cast<char>(random());
  WriteFile("large.bin", data);
  auto spools = [&] {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(server_.directory() + "/run")) {
      count += entry.path().extension() == ".spool";
    }
    return count;
  };
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  BlockId item;
  ASSERT_EQ(p->AttachFile(note.get(), Path("large.bin"), "large.bin", 0, false, &item), kNoError);
  WriteFile("large.bin", "changed after the attach");
  EXPECT_EQ(spools(), 1);
  ASSERT_EQ(p->ExtractFile(note.get(), item, Path("before-save.bin")), kNoError);
  EXPECT_TRUE(ReadFile("before-save.bin") == data) << "the data as attached";
  ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
  EXPECT_EQ(spools(), 0) << "in the database now";
  NoteInfo info;
  ASSERT_EQ(p->NoteGetInfo(note.get(), &info), kNoError);
  ScopedNote stored(p);
  ASSERT_EQ(p->NoteOpen(db.get(), info.noteId, 0, stored.put()), kNoError);
  ItemInfo file;
  ASSERT_EQ(p->ItemInfoByName(stored.get(), "$FILE", &file), kNoError);
  ASSERT_EQ(p->ExtractFile(stored.get(), file.item, Path("after-save.bin")), kNoError);
  EXPECT_TRUE(ReadFile("after-save.bin") == data);

  WriteFile("run/object-" + std::to_string(::getpid()) + "-99.spool", "a copy of this process");
  pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  WriteFile("run/object-" + std::to_string(gone) + "-1.spool", "a copy of a process that died");
  std::unique_ptr<Platform> next = server_.OpenHost();
  EXPECT_EQ(spools(), 1) << "only the live process's copy stays";
}

// notes.ini is read again only when it changed, and then at once: a value
// an editor writes in place is seen by the next read.
TEST_F(HostPlatformTest, NotesIniChangesAreSeenAtTheNextRead) {
  ASSERT_EQ(p->IniSetText("ZulProbe", "first"), kNoError);
  std::string value;
  ASSERT_TRUE(p->IniGetText("ZulProbe", 64, &value));
  EXPECT_EQ(value, "first");
  std::string text = ReadFile("notes.ini");
  size_t at = text.find("ZulProbe=first");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 14, "ZulProbe=other");
  {
    std::fstream inPlace(server_.directory() + "/notes.ini", std::ios::in | std::ios::out | std::ios::binary);
    inPlace.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  struct timespec times[2] = {{0, UTIME_OMIT}, {1, 0}};  // a time unlike the last one, as a later write has
  ASSERT_EQ(::utimensat(AT_FDCWD, (server_.directory() + "/notes.ini").c_str(), times, 0), 0);
  ASSERT_TRUE(p->IniGetText("ZulProbe", 64, &value));
  EXPECT_EQ(value, "other") << "same file, same size, another time";
  ASSERT_EQ(p->IniSetText("ZulProbe", "third"), kNoError);
  ASSERT_TRUE(p->IniGetText("ZulProbe", 64, &value));
  EXPECT_EQ(value, "third");
}

// Every item of a note as a reader gets it, in order: name and value.
std::vector<std::pair<std::string, std::string>> ItemsOf(Platform* p, NoteHandle note) {
  std::vector<std::pair<std::string, std::string>> items;
  ItemInfo item;
  for (Status s = p->ItemInfoFirst(note, &item); s == kNoError; s = p->ItemInfoNext(note, item.item, {}, &item)) {
    std::string value;
    EXPECT_EQ(p->ItemValue(item.value, &value), kNoError);
    items.emplace_back(item.name, value);
  }
  return items;
}

// A save writes only what changed: rows of items it did not touch stay
// where they are, and whatever the edits, the note reads back as it was
// saved.
TEST_F(HostPlatformTest, SavesRewriteOnlyTheItemsThatChanged) {
  ASSERT_EQ(p->DbCreate("edits.nsf", "Edits"), kNoError);
  ScopedDb db(p);
  ASSERT_EQ(p->DbOpen("edits.nsf", db.put()), kNoError);
  NoteId id = 0;
  {
    ScopedNote note(p);
    ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
    for (int i = 0; i < 12; ++i) ASSERT_EQ(p->ItemSetText(note.get(), "I" + std::to_string(i), "same"), kNoError);
    ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
    NoteInfo info;
    ASSERT_EQ(p->NoteGetInfo(note.get(), &info), kNoError);
    id = info.noteId;
  }
  auto positions = [&] {
    std::map<std::string, int64_t> byName;
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open_v2(server_.data("edits.nsf").c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* rows = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(raw, "SELECT name, position FROM items WHERE note_id = ?", -1, &rows, nullptr), SQLITE_OK);
    sqlite3_bind_int64(rows, 1, id);
    while (sqlite3_step(rows) == SQLITE_ROW) {
      byName[reinterpret_cast<const char*>(sqlite3_column_text(rows, 0))] = sqlite3_column_int64(rows, 1);
    }
    sqlite3_finalize(rows);
    sqlite3_close(raw);
    return byName;
  };
  std::map<std::string, int64_t> before = positions();
  std::mt19937 random(7);
  for (int round = 0; round < 60; ++round) {
    ScopedNote note(p);
    ASSERT_EQ(p->NoteOpen(db.get(), id, 0, note.put()), kNoError);
    std::vector<std::pair<std::string, std::string>> items = ItemsOf(p, note.get());
    for (int edit = 0; edit < 3; ++edit) {
      const std::string& name = items[random() % items.size()].first;
      switch (random() % 3) {
        case 0:
          if (items.size() > 2) {
            ASSERT_EQ(p->ItemDelete(note.get(), name), kNoError);
          }
          break;
        case 1:
          ASSERT_EQ(p->ItemSetText(note.get(), name, "round " + std::to_string(round)), kNoError);
          break;
        default:
          ASSERT_EQ(p->ItemSetText(note.get(), "N" + std::to_string(round * 3 + edit), "same"), kNoError);
      }
      items = ItemsOf(p, note.get());
    }
    ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
    ScopedNote again(p);
    ASSERT_EQ(p->NoteOpen(db.get(), id, 0, again.put()), kNoError);
    ASSERT_EQ(ItemsOf(p, again.get()), items) << "round " << round;
    if (round == 0) {
      // The first round's edits touched at most three items: the rest kept their rows.
      std::map<std::string, int64_t> after = positions();
      size_t kept = 0;
      for (const auto& [name, position] : before) kept += after.count(name) && after[name] == position;
      EXPECT_GE(kept, before.size() - 3);
    }
  }
}

TEST_F(HostPlatformTest, AppendedLinesFollowALogRotation) {
  ASSERT_EQ(p->FileAppend(Path("task.log"), "one\n"), kNoError);
  ASSERT_EQ(p->FileAppend(Path("task.log"), "two\n"), kNoError);
  ASSERT_EQ(::rename((server_.directory() + "/task.log").c_str(), (server_.directory() + "/task.log.1").c_str()), 0);
  ASSERT_EQ(p->FileAppend(Path("task.log"), "three\n"), kNoError);
  EXPECT_EQ(ReadFile("task.log.1"), "one\ntwo\n");
  EXPECT_EQ(ReadFile("task.log"), "three\n");
  ASSERT_EQ(::unlink((server_.directory() + "/task.log").c_str()), 0);
  ASSERT_EQ(p->FileAppend(Path("task.log"), "four\n"), kNoError);
  EXPECT_EQ(ReadFile("task.log"), "four\n") << "removed: made anew";
  p->ConsoleLine("to the server log\n");
  ASSERT_EQ(::rename((server_.directory() + "/server.log").c_str(), (server_.directory() + "/server.log.1").c_str()), 0);
  p->ConsoleLine("after the rotation\n");
  EXPECT_NE(ReadFile("server.log").find("after the rotation"), std::string::npos);
  EXPECT_EQ(ReadFile("server.log").find("to the server log"), std::string::npos);
}

int NotesInFileAlone(const std::string& file, const std::string& copy) {
  std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing);
  sqlite3* db = nullptr;
  int count = -1;
  if (sqlite3_open(copy.c_str(), &db) == SQLITE_OK) {
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM notes", -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW) {
      count = sqlite3_column_int(query, 0);
    }
    sqlite3_finalize(query);
  }
  sqlite3_close(db);
  return count;
}

// Databases stay open for the task's life, so closing a handle folds
// nothing in; an idle task folds the logs in now and then.
TEST_F(HostPlatformTest, KeptDatabasesFoldTheirLogsWhenTheTaskIsIdle) {
  auto clock = std::make_shared<ManualClock>(kTestEpochMicros);
  std::unique_ptr<Platform> task = server_.OpenHost(clock);
  ASSERT_EQ(task->AddInStart(), kNoError);
  ASSERT_EQ(task->DbCreate("kept.nsf", "Kept"), kNoError);
  auto saveOne = [&](const char* subject) {
    ScopedDb db(task.get());
    ASSERT_EQ(task->DbOpen("kept.nsf", db.put()), kNoError);
    ScopedNote note(task.get());
    ASSERT_EQ(task->NoteCreate(db.get(), note.put()), kNoError);
    ASSERT_EQ(task->ItemSetText(note.get(), "Subject", subject), kNoError);
    ASSERT_EQ(task->NoteUpdate(note.get(), kUpdateForce), kNoError);
  };
  saveOne("first");
  std::string copy = server_.directory() + "/copy.nsf";
  EXPECT_EQ(NotesInFileAlone(server_.data("kept.nsf"), copy), 0) << "the saved note is still in the log only";
  clock->AdvanceSeconds(5);
  EXPECT_FALSE(task->AddInIdle());
  EXPECT_EQ(NotesInFileAlone(server_.data("kept.nsf"), copy), 0) << "folded too soon";
  clock->AdvanceSeconds(6);
  EXPECT_FALSE(task->AddInIdle());
  EXPECT_EQ(NotesInFileAlone(server_.data("kept.nsf"), copy), 1);
}

TEST_F(HostPlatformTest, LockedDatabaseGivesAStatusAndKeepsTheStoredNote) {
  ASSERT_EQ(p->DbCreate("locked.nsf", "Locked"), kNoError);
  HostOptions options;
  options.notesIni = server_.notesIni();
  options.echoConsole = false;
  options.busyTimeoutMillis = 0;
  std::unique_ptr<Platform> impatient;
  ASSERT_EQ(NewHostPlatform(options, &impatient), kNoError);
  ScopedDb db(impatient.get());
  ASSERT_EQ(impatient->DbOpen("locked.nsf", db.put()), kNoError);
  ScopedNote note(impatient.get());
  ASSERT_EQ(impatient->NoteCreate(db.get(), note.put()), kNoError);
  ASSERT_EQ(impatient->ItemSetText(note.get(), "Subject", "first"), kNoError);
  ASSERT_EQ(impatient->NoteUpdate(note.get(), kUpdateForce), kNoError);

  // Another writer (here a plain SQLite connection) holds the database.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(server_.data("locked.nsf").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_EQ(impatient->ItemSetText(note.get(), "Subject", "second"), kNoError);
  EXPECT_EQ(impatient->NoteUpdate(note.get(), kUpdateForce), kDatabaseLocked);
  ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  NoteInfo info;
  ASSERT_EQ(impatient->NoteGetInfo(note.get(), &info), kNoError);
  ScopedNote stored(p);
  ScopedDb mine(p);
  ASSERT_EQ(p->DbOpen("locked.nsf", mine.put()), kNoError);
  ASSERT_EQ(p->NoteOpen(mine.get(), info.noteId, 0, stored.put()), kNoError);
  std::string text;
  ASSERT_EQ(p->ItemGetText(stored.get(), "Subject", 20, &text), kNoError);
  EXPECT_EQ(text, "first");
  EXPECT_EQ(impatient->NoteUpdate(note.get(), kUpdateForce), kNoError) << "the save goes through once the lock is gone";
}

}  // namespace
}  // namespace notesapi::testing
