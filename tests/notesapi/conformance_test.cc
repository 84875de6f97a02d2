// The conformance suite of the platform interface: every implementation
// (the host, and the host behind a forwarding wrapper) must pass it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "notesapi/item_values.h"
#include "notesapi/rich_text.h"
#include "notesapi/stored_structures.h"
#include "notesapi/platform_wrapper.h"
#include "notesapi/scoped_handles.h"
#include "tests/notesapi/test_server.h"

namespace notesapi::testing {
namespace {

class OwningWrapper final : public PlatformWrapper {
 public:
  explicit OwningWrapper(std::unique_ptr<Platform> inner) : PlatformWrapper(inner.get()), inner_(std::move(inner)) {}

 private:
  std::unique_ptr<Platform> inner_;
};

struct Implementation {
  const char* name;
  std::function<std::unique_ptr<Platform>(const TestServer&, std::shared_ptr<Clock>)> open;
};

const Implementation kImplementations[] = {
    {"Host", [](const TestServer& server, std::shared_ptr<Clock> clock) { return server.OpenHost(clock); }},
    {"WrappedHost",
     [](const TestServer& server, std::shared_ptr<Clock> clock) -> std::unique_ptr<Platform> {
       return std::make_unique<OwningWrapper>(server.OpenHost(clock));
     }},
};

void PrintTo(const Implementation& implementation, std::ostream* os) { *os << implementation.name; }

class PlatformConformance : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    ::setenv("TZ", "MSK-3", 1);  // a fixed zone three hours east, without daylight saving
    ::tzset();
    clock_ = std::make_shared<ManualClock>(kTestEpochMicros);
    platform_ = Open();
    p = platform_.get();
  }
  std::unique_ptr<Platform> Open() { return GetParam().open(server_, clock_); }

  DbHandle CreateAndOpen(const std::string& path) {
    EXPECT_EQ(p->DbCreate(path, "Test"), kNoError);
    DbHandle db = kNullHandle;
    EXPECT_EQ(p->DbOpen(path, &db), kNoError);
    return db;
  }

  std::string Lmbcs(const std::string& utf8) {
    std::string out;
    EXPECT_EQ(p->Translate(kTranslateUtf8ToLmbcs, utf8, &out), kNoError);
    return out;
  }

  TestServer server_;
  std::shared_ptr<ManualClock> clock_;
  std::unique_ptr<Platform> platform_;
  Platform* p = nullptr;
};

// ---- Databases, notes and items ------------------------------------------

TEST_P(PlatformConformance, SavedNoteReopensWithEveryItemAndType) {
  ScopedDb db(p, CreateAndOpen("mail/test.nsf"));
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  NoteInfo fresh;
  ASSERT_EQ(p->NoteGetInfo(note.get(), &fresh), kNoError);
  EXPECT_EQ(fresh.noteId, 0u) << "a note has no ID before its first save";

  std::string cyrillic = Lmbcs("Тема письма");
  ASSERT_EQ(p->ItemSetText(note.get(), "Subject", cyrillic), kNoError);
  ASSERT_EQ(p->ItemSetNumber(note.get(), "Count", -2.5), kNoError);
  ASSERT_EQ(p->ItemSetTime(note.get(), "When", p->TimeNow()), kNoError);
  ASSERT_EQ(p->ItemCreateTextList(note.get(), "SendTo", "a@x"), kNoError);
  ASSERT_EQ(p->ItemAppendTextList(note.get(), "SendTo", "b@x", false), kNoError);
  ASSERT_EQ(p->ItemAppendTextList(note.get(), "SendTo", "a@x", false), kNoError);
  std::string opaque = std::string("\x01\x00", 2) + std::string("\x00\xff\x10", 3);
  ASSERT_EQ(p->ItemAppend(note.get(), 0, "Body", opaque, nullptr), kNoError);
  ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
  NoteInfo saved;
  ASSERT_EQ(p->NoteGetInfo(note.get(), &saved), kNoError);
  ASSERT_NE(saved.noteId, 0u);
  ASSERT_EQ(note.close(), kNoError);

  // Another instance sees the save.
  std::unique_ptr<Platform> other = Open();
  ScopedDb db2(other.get());
  ASSERT_EQ(other->DbOpen("mail\\test.nsf", db2.put()), kNoError);
  ScopedNote reopened(other.get());
  ASSERT_EQ(other->NoteOpen(db2.get(), saved.noteId, kOpenRawMime, reopened.put()), kNoError);
  std::string text;
  ASSERT_EQ(other->ItemGetText(reopened.get(), "SUBJECT", 255, &text), kNoError);
  EXPECT_EQ(text, cyrillic);
  EXPECT_EQ(other->ItemGetNumber(reopened.get(), "count", 7), -2.5);
  EXPECT_EQ(other->ItemGetNumber(reopened.get(), "Missing", 7), 7);
  TimeDate when;
  ASSERT_TRUE(other->ItemGetTime(reopened.get(), "When", &when));
  EXPECT_EQ(other->TimeCompare(when, other->TimeNow()), 0);
  ASSERT_EQ(other->ItemTextListCount(reopened.get(), "SendTo"), 2) << "no duplicate entry";
  ASSERT_EQ(other->ItemTextListEntry(reopened.get(), "SendTo", 1, &text), kNoError);
  EXPECT_EQ(text, "b@x");
  ItemInfo body;
  ASSERT_EQ(other->ItemInfoByName(reopened.get(), "Body", &body), kNoError);
  EXPECT_EQ(body.type, TYPE_COMPOSITE);
  std::string value;
  ASSERT_EQ(other->ItemValue(body.value, &value), kNoError);
  EXPECT_EQ(value, opaque);
  NoteInfo info;
  ASSERT_EQ(other->NoteGetInfo(reopened.get(), &info), kNoError);
  ScopedNote byUnid(other.get());
  ASSERT_EQ(other->NoteOpenByUnid(db2.get(), info.unid, 0, byUnid.put()), kNoError);
  ASSERT_EQ(other->ItemGetText(byUnid.get(), "Subject", 3, &text), kNoError);
  EXPECT_EQ(text, cyrillic.substr(0, 3)) << "texts are cut to the asked length";
}

TEST_P(PlatformConformance, ItemWalkDeleteAndCopy) {
  ScopedDb db(p, CreateAndOpen("walk.nsf"));
  ScopedNote note(p);
  ScopedNote target(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  ASSERT_EQ(p->NoteCreate(db.get(), target.put()), kNoError);
  for (const char* name : {"$FILE", "Body", "$FILE", "Form"}) {
    ASSERT_EQ(p->ItemAppend(note.get(), 0, name, EncodeTextValue(name), nullptr), kNoError);
  }
  int files = 0;
  ItemInfo item;
  for (Status s = p->ItemInfoByName(note.get(), "$file", &item); s == kNoError;
       s = p->ItemInfoNext(note.get(), item.item, "$FILE", &item)) {
    ++files;
    ASSERT_EQ(p->ItemCopy(target.get(), item.item), kNoError);
  }
  EXPECT_EQ(files, 2);
  EXPECT_EQ(p->ItemTextListCount(target.get(), "$FILE"), 1);
  ASSERT_EQ(p->ItemInfoFirst(note.get(), &item), kNoError);
  ASSERT_EQ(p->ItemDeleteByBlock(note.get(), item.item), kNoError);
  EXPECT_EQ(p->ItemQuery(item.item, &item), kInvalidHandle) << "a deleted item's block is gone";
  ASSERT_EQ(p->ItemInfoFirst(note.get(), &item), kNoError);
  EXPECT_EQ(item.name, "Body");
  ASSERT_EQ(p->ItemDelete(note.get(), "$FILE"), kNoError);
  EXPECT_EQ(p->ItemDelete(note.get(), "$FILE"), kItemNotFound);
  EXPECT_EQ(ErrorOf(p->ItemInfoByName(note.get(), "RoutingState", &item)), 0x222);
  std::string text;
  EXPECT_EQ(p->ItemGetText(note.get(), "Nothing", 10, &text), kItemNotFound);
}

TEST_P(PlatformConformance, MemoryBlocksBecomeItems) {
  ScopedDb db(p, CreateAndOpen("memory.nsf"));
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  ScopedMem block(p);
  std::string value = EncodeNumberValue(42);
  ASSERT_EQ(p->MemAlloc(value.size() + 8, block.put()), kNoError);
  ASSERT_NE(p->MemLock(block.get()), nullptr);
  std::copy(value.begin(), value.end(), p->MemLock(block.get()));
  p->MemUnlock(block.get());
  EXPECT_EQ(p->ItemAppendFromMemory(note.get(), 0, "Size", block.get(), value.size() + 9), kValueTooShort);
  ASSERT_EQ(p->ItemAppendFromMemory(note.get(), 0, "Size", block.get(), value.size()), kNoError);
  EXPECT_EQ(p->ItemGetNumber(note.get(), "Size", 0), 42);
  MemHandle freed = block.get();
  ASSERT_EQ(block.close(), kNoError);
  EXPECT_EQ(block.close(), kNoError) << "the owner frees once";
  EXPECT_EQ(p->MemFree(freed), kInvalidHandle);
  EXPECT_EQ(p->MemLock(12345), nullptr);
}

TEST_P(PlatformConformance, ProfilesAreFoundByNameAndCreatedOnDemand) {
  ScopedDb db(p, CreateAndOpen("setup.nsf"));
  ScopedNote profile(p);
  EXPECT_EQ(p->ProfileOpen(db.get(), "UIDStorage", false, profile.put()), kNoteNotFound);
  ASSERT_EQ(p->ProfileOpen(db.get(), "UIDStorage", true, profile.put()), kNoError);
  ASSERT_EQ(p->ItemSetText(profile.get(), "uidGeneral", "ABC"), kNoError);
  ASSERT_EQ(p->NoteUpdate(profile.get(), kUpdateForce), kNoError);
  ScopedNote again(p);
  ASSERT_EQ(p->ProfileOpen(db.get(), "uidstorage", false, again.put()), kNoError);
  std::string text;
  ASSERT_EQ(p->ItemGetText(again.get(), "uidGeneral", 255, &text), kNoError);
  EXPECT_EQ(text, "ABC");
}

TEST_P(PlatformConformance, SaveWithoutForceRefusesAConcurrentChange) {
  ScopedDb db(p, CreateAndOpen("conflict.nsf"));
  ScopedNote first(p);
  ASSERT_EQ(p->NoteCreate(db.get(), first.put()), kNoError);
  ASSERT_EQ(p->NoteUpdate(first.get(), 0), kNoError);
  NoteInfo info;
  ASSERT_EQ(p->NoteGetInfo(first.get(), &info), kNoError);
  ScopedNote second(p);
  ASSERT_EQ(p->NoteOpen(db.get(), info.noteId, 0, second.put()), kNoError);
  ASSERT_EQ(p->ItemSetText(second.get(), "By", "second"), kNoError);
  ASSERT_EQ(p->NoteUpdate(second.get(), 0), kNoError);
  ASSERT_EQ(p->ItemSetText(first.get(), "By", "first"), kNoError);
  EXPECT_EQ(p->NoteUpdate(first.get(), 0), kNoteConflict);
  EXPECT_EQ(p->NoteUpdate(first.get(), kUpdateRelease), kNoError) << "the release flags force the save";
}

TEST_P(PlatformConformance, BadDatabasesNotesAndHandlesGiveStatuses) {
  DbHandle db = kNullHandle;
  EXPECT_EQ(p->DbOpen("missing.nsf", &db), kDatabaseNotFound);
  EXPECT_EQ(p->DbOpen("../outside.nsf", &db), kPathOutsideDataDirectory);
  EXPECT_EQ(p->DbOpen("a/../../outside.nsf", &db), kPathOutsideDataDirectory);
  EXPECT_EQ(p->DbCreate("..\\outside.nsf", "x"), kPathOutsideDataDirectory);
  { std::ofstream(server_.data("garbage.nsf")) << "this is not a database, only some text that goes on and on"; }
  EXPECT_EQ(p->DbOpen("garbage.nsf", &db), kDatabaseCorrupt);
  EXPECT_EQ(db, kNullHandle);
  ScopedDb good(p, CreateAndOpen("good.nsf"));
  EXPECT_EQ(p->DbCreate("good.nsf", "again"), kDatabaseExists);
  NoteHandle note = kNullHandle;
  EXPECT_EQ(p->NoteOpen(good.get(), 0x1234, 0, &note), kNoteNotFound);
  EXPECT_EQ(p->NoteOpen(good.get() + 1000, 4, 0, &note), kInvalidHandle);
  EXPECT_EQ(p->NoteClose(777), kInvalidHandle);
  EXPECT_EQ(p->NoteDelete(good.get(), 0x1234), kNoteNotFound);
  ItemInfo item;
  EXPECT_EQ(p->ItemInfoFirst(good.get(), &item), kInvalidHandle) << "a database handle is not a note handle";
  EXPECT_EQ(p->ItemValue(BlockId{999, 1}, nullptr), kInvalidHandle);
}

// Options live in the database: another process opening it sees them, and
// a database without transaction logging still keeps what it saved.
TEST_P(PlatformConformance, DatabaseOptionsAreKeptInTheDatabase) {
  ScopedDb db(p, CreateAndOpen("records.nsf"));
  bool on = true;
  EXPECT_EQ(p->DbGetOption(db.get(), kDbOptionNoTransactionLogging, &on), kNoError);
  EXPECT_FALSE(on) << "a new database logs its transactions";
  EXPECT_EQ(p->DbSetOption(db.get(), kDbOptionNoTransactionLogging, true), kNoError);
  EXPECT_EQ(p->DbSetOption(db.get(), 64, true), kBadArgument);
  EXPECT_EQ(p->DbGetOption(db.get(), -1, &on), kBadArgument);
  EXPECT_EQ(p->DbSetOption(db.get() + 1000, 1, true), kInvalidHandle);
  std::unique_ptr<Platform> other = Open();
  ScopedDb seen(other.get());
  ASSERT_EQ(other->DbOpen("records.nsf", seen.put()), kNoError);
  on = false;
  EXPECT_EQ(other->DbGetOption(seen.get(), kDbOptionNoTransactionLogging, &on), kNoError);
  EXPECT_TRUE(on);
  EXPECT_EQ(other->DbGetOption(seen.get(), kDbOptionNoTransactionLogging - 1, &on), kNoError);
  EXPECT_FALSE(on) << "one bit, not its neighbours";
  ScopedNote note(other.get());
  ASSERT_EQ(other->NoteCreate(seen.get(), note.put()), kNoError);
  ASSERT_EQ(other->ItemSetText(note.get(), "Subject", "kept"), kNoError);
  ASSERT_EQ(other->NoteUpdate(note.get(), kUpdateForce), kNoError);
  std::vector<NoteId> ids;
  EXPECT_EQ(p->DbNoteIds(db.get(), &ids), kNoError);
  EXPECT_EQ(ids.size(), 1u);
  EXPECT_EQ(p->DbSetOption(db.get(), kDbOptionNoTransactionLogging, false), kNoError);
  EXPECT_EQ(other->DbGetOption(seen.get(), kDbOptionNoTransactionLogging, &on), kNoError);
  EXPECT_FALSE(on);
}

TEST_P(PlatformConformance, TruncatedValuesAreRefusedNotOverrun) {
  ScopedDb db(p, CreateAndOpen("short.nsf"));
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  EXPECT_EQ(p->ItemAppend(note.get(), 0, "Tiny", std::string("\x00", 1), nullptr), kValueTooShort);
  std::string shortNumber = EncodeNumberValue(1).substr(0, 6);
  ASSERT_EQ(p->ItemAppend(note.get(), 0, "N", shortNumber, nullptr), kNoError);
  EXPECT_EQ(p->ItemGetNumber(note.get(), "N", 9), 9);
  std::string list;
  ASSERT_EQ(EncodeTextListValue({"abc", "def"}, &list), kNoError);
  ASSERT_EQ(p->ItemAppend(note.get(), 0, "L", list.substr(0, list.size() - 2), nullptr), kNoError);
  EXPECT_EQ(p->ItemTextListCount(note.get(), "L"), 0);
  std::string text;
  EXPECT_EQ(p->ItemTextListEntry(note.get(), "L", 0, &text), kValueTooShort);
  TimeDate time;
  ASSERT_EQ(p->ItemAppend(note.get(), 0, "T", EncodeTimeValue(TimeDate{}).substr(0, 9), nullptr), kNoError);
  EXPECT_FALSE(p->ItemGetTime(note.get(), "T", &time));
}

TEST_P(PlatformConformance, DeletedNoteIsGoneAndIdsAreNotReused) {
  ScopedDb db(p, CreateAndOpen("ids.nsf"));
  std::vector<NoteId> made;
  for (int i = 0; i < 3; ++i) {
    ScopedNote note(p);
    ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
    ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
    NoteInfo info;
    ASSERT_EQ(p->NoteGetInfo(note.get(), &info), kNoError);
    made.push_back(info.noteId);
  }
  ASSERT_EQ(p->NoteDelete(db.get(), made[2]), kNoError);
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
  NoteInfo info;
  ASSERT_EQ(p->NoteGetInfo(note.get(), &info), kNoError);
  EXPECT_GT(info.noteId, made[2]);
  std::vector<NoteId> ids;
  ASSERT_EQ(p->DbNoteIds(db.get(), &ids), kNoError);
  EXPECT_EQ(ids, (std::vector<NoteId>{made[0], made[1], info.noteId}));
}

// ---- Attachments and stored structures ---------------------------------------

TEST_P(PlatformConformance, AttachmentsRoundTripThroughTheDatabase) {
  std::string payload("MZ\0\x01binary payload", 18);
  std::string source = server_.directory() + "/source.exe";
  std::ofstream(source, std::ios::binary) << payload;
  ScopedDb db(p, CreateAndOpen("attach.nsf"));
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  BlockId plain;
  BlockId sealed;
  std::u16string path(source.begin(), source.end());
  std::string name = Lmbcs("отчёт.exe");
  ASSERT_EQ(p->AttachFile(note.get(), path, name, 1, false, &plain), kNoError);
  ASSERT_EQ(p->AttachFile(note.get(), path, "secret.doc", 1, true, &sealed), kNoError);
  ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
  NoteInfo info;
  ASSERT_EQ(p->NoteGetInfo(note.get(), &info), kNoError);
  ASSERT_EQ(note.close(), kNoError);

  std::unique_ptr<Platform> other = Open();
  ScopedDb db2(other.get());
  ScopedNote reopened(other.get());
  ASSERT_EQ(other->DbOpen("attach.nsf", db2.put()), kNoError);
  ASSERT_EQ(other->NoteOpen(db2.get(), info.noteId, 0, reopened.put()), kNoError);
  ItemInfo item;
  ASSERT_EQ(other->ItemInfoByName(reopened.get(), "$FILE", &item), kNoError);
  EXPECT_EQ(item.type, TYPE_OBJECT);
  std::string value;
  ASSERT_EQ(other->ItemValue(item.value, &value), kNoError);
  std::string stored = value.substr(2);
  size_t offset = 0;
  std::string memory;
  ASSERT_EQ(other->ReadStructure(kStructObjectDescriptor, stored, &offset, &memory), kNoError);
  ObjectDescriptor descriptor;
  ASSERT_EQ(ParseObjectDescriptor(memory, &descriptor), kNoError);
  EXPECT_EQ(descriptor.objectType, kObjectFile);
  offset = 0;
  ASSERT_EQ(other->ReadStructure(kStructFileObject, stored, &offset, &memory), kNoError);
  EXPECT_EQ(offset, 36u);
  FileObject file;
  ASSERT_EQ(ParseFileObject(memory, &file), kNoError);
  EXPECT_EQ(file.fileSize, payload.size());
  EXPECT_EQ(file.compressionType, 1);
  EXPECT_EQ(file.hostType & 0x0F00, HOST_MSDOS);
  EXPECT_EQ(stored.substr(offset, file.fileNameLength), name);
  std::string target = server_.directory() + "/extracted";
  ASSERT_EQ(other->ExtractFile(reopened.get(), item.item, std::u16string(target.begin(), target.end())), kNoError);
  std::ifstream in(target, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), payload) << "the same bytes back";
  ItemInfo second;
  ASSERT_EQ(other->ItemInfoNext(reopened.get(), item.item, "$FILE", &second), kNoError);
  EXPECT_EQ(ErrorOf(other->ExtractFile(reopened.get(), second.item, u"/tmp/never")), 0x264);

  ASSERT_EQ(other->DetachFile(reopened.get(), item.item), kNoError);
  ASSERT_EQ(other->NoteUpdate(reopened.get(), kUpdateForce), kNoError);
  EXPECT_EQ(other->ItemTextListCount(reopened.get(), "$FILE"), 0) << "a $FILE item is not text";
  ItemInfo left;
  ASSERT_EQ(other->ItemInfoByName(reopened.get(), "$FILE", &left), kNoError);
  EXPECT_EQ(left.item, second.item) << "only the detached one is gone";
}

TEST_P(PlatformConformance, OleObjectsAreInsertedWrittenOutAndRemoved) {
  std::string storage("\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1 compound document", 25);
  std::string source = server_.directory() + "/object.bin";
  std::ofstream(source, std::ios::binary) << storage;
  ScopedDb db(p, CreateAndOpen("ole.nsf"));
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  std::array<uint8_t, 16> wordDocument{0x06, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  ASSERT_EQ(p->OleInsertObject(note.get(), std::u16string(source.begin(), source.end()), "EXT12345", wordDocument,
                               "Microsoft Word", "Body"),
            kNoError);
  ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
  ItemInfo info;
  ASSERT_EQ(p->ItemInfoByName(note.get(), "$OLEOBJINFO", &info), kNoError);
  std::string value;
  ASSERT_EQ(p->ItemValue(info.value, &value), kNoError);
  size_t offset = 0;
  std::string memory;
  ASSERT_EQ(p->ReadStructure(kStructOleObjectInfo, value.substr(2), &offset, &memory), kNoError);
  OleObjectInfo ole;
  ASSERT_EQ(ParseOleObjectInfo(memory, &ole), kNoError);
  std::string strings = value.substr(2 + offset);
  EXPECT_EQ(strings.substr(0, ole.fileObjectNameLength), "EXT12345");
  EXPECT_EQ(strings.substr(ole.fileObjectNameLength, ole.descriptionLength), "Microsoft Word");
  EXPECT_EQ(strings.substr(ole.fileObjectNameLength + ole.descriptionLength, ole.fieldNameLength), "Body");
  EXPECT_EQ(ole.classId, wordDocument);
  ItemInfo field;
  ASSERT_EQ(p->ItemInfoByName(note.get(), "Body", &field), kNoError);
  std::string fieldValue;
  ASSERT_EQ(p->ItemValue(field.value, &fieldValue), kNoError);
  std::string placed;
  ASSERT_EQ(ForEachCdRecord(fieldValue.substr(2), [&](const CdRecord& r) {
              if (r.signature == SIG_CD_OLEBEGIN) placed = std::string(r.body.substr(14));
            }),
            kNoError);
  EXPECT_EQ(placed, "EXT12345Word.Document.8") << "the object's place in its field, with its program name";
  ItemInfo file;
  ASSERT_EQ(p->ItemInfoByName(note.get(), "$FILE", &file), kNoError);
  std::string fileValue;
  ASSERT_EQ(p->ItemValue(file.value, &fileValue), kNoError);
  FileObject object;
  ASSERT_EQ(ParseFileObject(fileValue.substr(2), &object), kNoError);
  EXPECT_EQ(object.hostType & 0x0F00, HOST_CDSTORAGE) << "not a file for the attachment scanners";
  std::string out = server_.directory() + "/written";
  ASSERT_EQ(p->OleWriteObject(note.get(), "EXT12345", std::u16string(out.begin(), out.end())), kNoError);
  std::ifstream in(out, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), storage);
  EXPECT_EQ(p->OleWriteObject(note.get(), "EXT99999", u"/tmp/x"), kItemNotFound);
  ASSERT_EQ(p->OleRemoveObject(note.get(), "EXT12345"), kNoError);
  EXPECT_EQ(p->ItemInfoByName(note.get(), "$OLEOBJINFO", &info), kItemNotFound);
  EXPECT_EQ(p->ItemInfoByName(note.get(), "$FILE", &file), kItemNotFound);
}

TEST_P(PlatformConformance, StoredStructuresAreBoundsChecked) {
  size_t offset = 0;
  std::string memory;
  FileObject file;
  file.fileNameLength = 8;
  std::string fileValue = std::string("\x00\x03", 2) + EncodeFileObject(file) + "evil.exe";
  std::string_view name;
  ASSERT_EQ(AttachmentName(fileValue, &file, &name), kNoError);
  EXPECT_EQ(name, "evil.exe");
  fileValue.pop_back();
  EXPECT_EQ(AttachmentName(fileValue, &file, &name), kValueTooShort) << "a name that runs past its value";
  EXPECT_EQ(AttachmentName(fileValue.substr(0, 1), &file, &name), kValueTooShort);
  EXPECT_EQ(p->ReadStructure(kStructFileObject, std::string(35, '\0'), &offset, &memory), kValueTooShort);
  EXPECT_EQ(offset, 0u);
  EXPECT_EQ(p->ReadStructure(12345, std::string(100, '\0'), &offset, &memory), kBadArgument);
  offset = 10;
  EXPECT_EQ(p->ReadStructure(kStructObjectDescriptor, std::string(15, '\0'), &offset, &memory), kValueTooShort);
  ASSERT_EQ(p->ReadStructure(kStructObjectDescriptor, std::string(16, '\0'), &offset, &memory), kNoError);
  EXPECT_EQ(offset, 16u);
  std::string mime(20, '\0');
  mime[8] = 5;
  offset = 0;
  ASSERT_EQ(p->ReadStructure(kStructMimePart, mime, &offset, &memory), kNoError);
  MimePartHeader header;
  ASSERT_EQ(ParseMimePartHeader(memory, &header), kNoError);
  EXPECT_EQ(header.byteCount, 5);
  OleObjectInfo ole;
  EXPECT_EQ(ParseOleObjectInfo(std::string(47, '\0'), &ole), kValueTooShort);
  std::string oleBytes(48, '\0');
  oleBytes[4] = 3;
  oleBytes[12] = '\x51';
  ASSERT_EQ(ParseOleObjectInfo(oleBytes, &ole), kNoError);
  EXPECT_EQ(ole.fileObjectNameLength, 3);
  EXPECT_EQ(ole.classId[0], 0x51);
}

TEST_P(PlatformConformance, UnsavedAttachmentsAndBadItemsFailCleanly) {
  std::string source = server_.directory() + "/a.txt";
  std::ofstream(source) << "text";
  ScopedDb db(p, CreateAndOpen("orphans.nsf"));
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  BlockId item;
  EXPECT_EQ(p->AttachFile(note.get(), u"/no/such/file", "x", 1, false, &item), kFileNotFound);
  ASSERT_EQ(p->AttachFile(note.get(), std::u16string(source.begin(), source.end()), "a.txt", 1, false, &item),
            kNoError);
  BlockId text;
  ASSERT_EQ(p->ItemAppend(note.get(), 0, "Subject", EncodeTextValue("s"), &text), kNoError);
  EXPECT_EQ(p->ExtractFile(note.get(), text, u"/tmp/x"), kWrongItemType);
  EXPECT_EQ(p->ExtractFile(note.get(), BlockId{note.get(), 999}, u"/tmp/x"), kInvalidHandle);
  std::string out = server_.directory() + "/out.txt";
  EXPECT_EQ(p->ExtractFile(note.get(), item, std::u16string(out.begin(), out.end())), kNoError)
      << "an attachment can be extracted before the note is saved";
}

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

INSTANTIATE_TEST_SUITE_P(Implementations, PlatformConformance, ::testing::ValuesIn(kImplementations),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace notesapi::testing
