// Rich text: the record layout, its checked walk, and the compound text
// services of the platform.
#include "notesapi/rich_text.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "notesapi/item_values.h"
#include "notesapi/scoped_handles.h"
#include "tests/notesapi/test_server.h"

namespace notesapi::testing {
namespace {

TEST(RichTextRecords, LayoutOfTheRecordsWeWrite) {
  std::string rich;
  AppendPabDefinition(&rich, 1);
  AppendParagraph(&rich);
  AppendPabReference(&rich, 1);
  AppendText(&rich, kDefaultFontId, "abc");
  ASSERT_EQ(rich.size(), 70u + 2u + 4u + 12u) << "8 + 3 bytes of text, padded to even";
  EXPECT_EQ(rich.substr(0, 4), std::string("\x82\xff\x46\x00", 4)) << "word signature, length 70";
  EXPECT_EQ(rich.substr(70, 2), std::string("\x81\x02", 2)) << "byte signature with its length";
  EXPECT_EQ(rich.substr(72, 4), std::string("\x83\x04\x01\x00", 4));
  EXPECT_EQ(rich.substr(76, 4), std::string("\x85\xff\x0b\x00", 4));
  std::vector<uint16_t> seen;
  ASSERT_EQ(ForEachCdRecord(rich, [&](const CdRecord& r) { seen.push_back(r.signature); }), kNoError);
  EXPECT_EQ(seen, (std::vector<uint16_t>{SIG_CD_PABDEFINITION, SIG_CD_PARAGRAPH, SIG_CD_PABREFERENCE, SIG_CD_TEXT}));
}

TEST(RichTextRecords, TruncatedOrLyingRecordsAreRefused) {
  std::string rich;
  AppendParagraph(&rich);
  AppendText(&rich, kDefaultFontId, "hello");
  for (size_t cut = 1; cut < rich.size(); ++cut) {
    int visited = 0;
    Status s = ForEachCdRecord(std::string_view(rich).substr(0, cut), [&](const CdRecord&) { ++visited; });
    EXPECT_TRUE(s == kValueTooShort || s == kNoError) << cut;
    EXPECT_LE(visited, 2);
  }
  std::string lying = std::string("\x85\xff\xff\x7f", 4) + "text";
  EXPECT_EQ(ForEachCdRecord(lying, [](const CdRecord&) {}), kValueTooShort);
  std::string tooSmall = std::string("\x81\x01", 2);
  EXPECT_EQ(ForEachCdRecord(tooSmall, [](const CdRecord&) {}), kValueTooShort);
  std::string longForm = std::string("\x85\x00\x0a\x00\x00\x00", 6) + "abcd";
  std::string text;
  ASSERT_EQ(RichTextToPlainText(longForm, "\n", 0, &text), kNoError) << "the long length form is walked too";
}

TEST(RichTextRecords, PlainTextKeepsParagraphsAndWrapsLines) {
  std::string rich;
  AppendPabDefinition(&rich, 1);
  for (const char* line : {"first line", "second", ""}) {
    AppendParagraph(&rich);
    AppendPabReference(&rich, 1);
    AppendText(&rich, kDefaultFontId, line);
  }
  std::string text;
  ASSERT_EQ(RichTextToPlainText(rich, "\r\n", 0, &text), kNoError);
  EXPECT_EQ(text, "first line\r\nsecond\r\n");
  ASSERT_EQ(RichTextToPlainText(rich, "\n", 4, &text), kNoError);
  EXPECT_EQ(text, "firs\nt li\nne\nseco\nnd\n");
}

class CompoundTextTest : public ::testing::Test {
 protected:
  TestServer server_;
  std::unique_ptr<Platform> host_ = server_.OpenHost();
  Platform* p = host_.get();
};

TEST_F(CompoundTextTest, TextToRichTextAndBack) {
  ASSERT_EQ(p->DbCreate("memo.nsf", "Memos"), kNoError);
  ScopedDb db(p);
  ASSERT_EQ(p->DbOpen("memo.nsf", db.put()), kNoError);
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  CompoundTextHandle text = kNullHandle;
  ASSERT_EQ(p->CompoundTextCreate(note.get(), "Body", &text), kNoError);
  uint32_t style = 0;
  ASSERT_EQ(p->CompoundTextDefineStyle(text, "Normal", &style), kNoError);
  uint32_t again = 0;
  ASSERT_EQ(p->CompoundTextDefineStyle(text, "Normal", &again), kNoError);
  EXPECT_EQ(again, style);
  std::string lmbcs;
  ASSERT_EQ(p->Translate(kTranslateUtf8ToLmbcs, "Отчёт о проверке.\nВложение: clam.exe", &lmbcs), kNoError);
  ASSERT_EQ(p->CompoundTextAddText(text, style, kDefaultFontId, lmbcs, "\n"), kNoError);
  EXPECT_EQ(p->CompoundTextAddText(text, 99, kDefaultFontId, "x", "\n"), kBadArgument);
  ASSERT_EQ(p->CompoundTextClose(text, nullptr, nullptr, nullptr), kNoError);
  EXPECT_EQ(p->CompoundTextClose(text, nullptr, nullptr, nullptr), kInvalidHandle);
  ItemInfo body;
  ASSERT_EQ(p->ItemInfoByName(note.get(), "Body", &body), kNoError);
  EXPECT_EQ(body.type, TYPE_COMPOSITE);
  MemHandle block = kNullHandle;
  uint32_t length = 0;
  ASSERT_EQ(p->ConvertRichTextToText(body.value, "\n", 65535, &block, &length), kNoError);
  ScopedMem owner(p, block);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p->MemLock(block)), length), lmbcs) << "the text comes back";
}

TEST_F(CompoundTextTest, LargeResultsGoToAFileAndSeveralItems) {
  CompoundTextHandle text = kNullHandle;
  ASSERT_EQ(p->CompoundTextCreate(kNullHandle, "", &text), kNoError);
  uint32_t style = 0;
  ASSERT_EQ(p->CompoundTextDefineStyle(text, "Normal", &style), kNoError);
  std::string big;
  for (int i = 0; i < 4000; ++i) big += "line " + std::to_string(i) + " of a long scan report\n";
  ASSERT_EQ(p->CompoundTextAddText(text, style, kDefaultFontId, big, "\n"), kNoError);
  MemHandle block = kNullHandle;
  uint32_t length = 0;
  std::u16string file;
  ASSERT_EQ(p->CompoundTextClose(text, &block, &length, &file), kNoError);
  EXPECT_EQ(block, kNullHandle);
  ASSERT_FALSE(file.empty()) << "too large for one item: kept in a file";

  ASSERT_EQ(p->DbCreate("big.nsf", "Big"), kNoError);
  ScopedDb db(p);
  ASSERT_EQ(p->DbOpen("big.nsf", db.put()), kNoError);
  ScopedNote note(p);
  ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
  CompoundTextHandle onNote = kNullHandle;
  ASSERT_EQ(p->CompoundTextCreate(note.get(), "Body", &onNote), kNoError);
  ASSERT_EQ(p->CompoundTextAssimilateFile(onNote, file), kNoError);
  ASSERT_EQ(p->CompoundTextClose(onNote, nullptr, nullptr, nullptr), kNoError);
  ASSERT_EQ(p->FileDelete(file), kNoError);
  int items = 0;
  std::string all;
  ItemInfo item;
  for (Status s = p->ItemInfoByName(note.get(), "Body", &item); s == kNoError; s = p->ItemInfoNext(note.get(), item.item, "Body", &item)) {
    ++items;
    EXPECT_LE(item.valueLength, Platform::kMaxRichTextItemBytes);
    MemHandle part = kNullHandle;
    uint32_t partLength = 0;
    ASSERT_EQ(p->ConvertRichTextToText(item.value, "\n", 0, &part, &partLength), kNoError);
    ScopedMem owner(p, part);
    all += std::string(reinterpret_cast<char*>(p->MemLock(part)), partLength) + "\n";
  }
  EXPECT_GE(items, 2);
  std::string expected = big + "\n";
  size_t differs = std::mismatch(all.begin(), all.end(), expected.begin(), expected.end()).first - all.begin();
  EXPECT_EQ(differs, expected.size()) << "every line survives the split; first difference at " << differs << ": "
                                      << all.substr(differs > 20 ? differs - 20 : 0, 60);
  EXPECT_EQ(all.size(), expected.size());

  CompoundTextHandle small = kNullHandle;
  ASSERT_EQ(p->CompoundTextCreate(kNullHandle, "", &small), kNoError);
  ASSERT_EQ(p->CompoundTextAssimilateItem(small, note.get(), "Body"), kNoError);
  ASSERT_EQ(p->CompoundTextAssimilateItem(small, note.get(), "Nothing"), kItemNotFound);
  std::u16string bigAgain;
  ASSERT_EQ(p->CompoundTextClose(small, &block, &length, &bigAgain), kNoError);
  ASSERT_FALSE(bigAgain.empty());
  ASSERT_EQ(p->FileDelete(bigAgain), kNoError);
}

}  // namespace
}  // namespace notesapi::testing
