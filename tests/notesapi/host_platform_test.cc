// What only the embedded host does: finding notes.ini, message libraries in
// resource-file form, child processes, the console and server log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "notesapi/scoped_handles.h"
#include "tests/notesapi/host_fixture.h"
#include "tests/notesapi/string_library_builder.h"
#include "tests/notesapi/test_server.h"

namespace notesapi::testing {
namespace {

class HostPlatformTest : public HostTest {};

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
  std::filesystem::path before = std::filesystem::current_path();
  ASSERT_EQ(::chdir(server_.directory().c_str()), 0);
  EXPECT_EQ(LocateNotesIni(1, plain, &found), kNoError);
  EXPECT_EQ(found, "notes.ini");
  std::filesystem::current_path(before);  // the server folder goes with the test
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

}  // namespace
}  // namespace notesapi::testing
