// How the embedded host keeps notes and attachment data in its database
// files: written once, only what changed, large data never whole in memory,
// numbers never given twice, logs folded when the task is idle, a locked file
// a status and never a lost note.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>

#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"
#include "tests/notesapi/host_fixture.h"
#include "tests/notesapi/test_server.h"

namespace notesapi::testing {
namespace {

class HostStorageTest : public HostTest {};

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

// Logs stay open between lines, and a rotation (the file renamed under its
// path) starts a new file at the next line; nothing is lost or doubled.
// An attachment's data is written once, already owned by its note: a row
// moved to its owner afterwards would be written again whole, leaving its
// first pages free.
TEST_F(HostStorageTest, AttachmentDataIsWrittenOnce) {
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
TEST_F(HostStorageTest, ReplacedAttachmentsMakeRoomAndKeepTheirNumbers) {
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
TEST_F(HostStorageTest, LargeAttachmentsWaitForTheSaveOnDisk) {
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

// A save writes only what changed: rows of items it did not touch stay
// where they are, and whatever the edits, the note reads back as it was
// saved.
TEST_F(HostStorageTest, SavesRewriteOnlyTheItemsThatChanged) {
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
TEST_F(HostStorageTest, KeptDatabasesFoldTheirLogsWhenTheTaskIsIdle) {
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

TEST_F(HostStorageTest, LockedDatabaseGivesAStatusAndKeepsTheStoredNote) {
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
