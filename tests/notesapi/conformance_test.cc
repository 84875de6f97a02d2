// The conformance suite of the platform interface, databases, notes, items
// and attachments; the services (queues, notes.ini, time, character sets,
// files, status lines) are in conformance_services_test.cc. Every
// implementation (the host, and the host behind a forwarding wrapper) must
// pass both.
#include <gtest/gtest.h>

#include <algorithm>

#include "notesapi/item_values.h"
#include "notesapi/rich_text.h"
#include "notesapi/stored_structures.h"
#include "notesapi/scoped_handles.h"
#include "tests/notesapi/conformance_fixture.h"

namespace notesapi::testing {
namespace {

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

INSTANTIATE_TEST_SUITE_P(Implementations, PlatformConformance, ::testing::ValuesIn(kImplementations),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace notesapi::testing
