#include "base/text_conversions.h"

#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

class TextConversionsTest : public TaskTest {};

TEST_F(TextConversionsTest, RingResultsOutliveNinetyNineFurtherConversions) {
  std::string lmbcs = Lmbcs("Вложение");
  std::string_view first = NotesToNative(lmbcs);
  for (int i = 0; i < 99; ++i) (void)NotesToNative("other");
  EXPECT_EQ(first, Native("Вложение"));
  std::u16string_view unicode = NotesToUnicode(lmbcs);
  EXPECT_EQ(unicode, u"Вложение");
  EXPECT_EQ(UnicodeToNotes(unicode), lmbcs);
  EXPECT_EQ(NativeToNotes(first), lmbcs);
}

TEST_F(TextConversionsTest, ResultsAreCutAtTheAreaSizeWithoutSplittingCharacters) {
  std::string native(40000, '\xc6');  // two bytes each in the Notes character set
  std::string_view notes = NativeToNotes(native);
  EXPECT_EQ(notes.size(), 65534u);
  EXPECT_EQ(NotesToNative(notes).size(), 32767u);
  EXPECT_EQ(NativeToNotesWithin("\xc6\xc6", 3), Lmbcs("Ж"));
  EXPECT_EQ(NativeToNotesWithin("abc", 2), "ab");
}

}  // namespace
}  // namespace zul::testing
