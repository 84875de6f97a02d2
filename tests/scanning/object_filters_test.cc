#include "scanning/object_filters.h"

#include <gtest/gtest.h>

namespace zul::testing {
namespace {

TEST(MatchMaskTest, StarsQuestionMarksAndTheLiteralAfterAStar) {
  EXPECT_TRUE(MatchMask("AB", "A*B"));
  EXPECT_TRUE(MatchMask("AXB", "A*B"));
  EXPECT_TRUE(MatchMask("AXBXB", "A*B"));
  EXPECT_FALSE(MatchMask("AXBX", "A*B"));
  EXPECT_TRUE(MatchMask("X", "*?"));
  EXPECT_FALSE(MatchMask("", "*?")) << "a ? after a star needs a character";
  EXPECT_TRUE(MatchMask("", "*"));
  EXPECT_FALSE(MatchMask("A.EXE", "**.EXE")) << "two stars need a literal star";
  EXPECT_TRUE(MatchMask("A*.EXE", "**.EXE"));
  EXPECT_FALSE(MatchMask("", "?"));
  EXPECT_TRUE(MatchMask("", ""));
  EXPECT_FALSE(MatchMask("A", ""));
}

TEST(MatchMaskTest, HostileNamesAreDecidedQuickly) {
  // Exponential for a naive backtracking match; each split is tried once here.
  std::string name(255, 'A');
  std::string mask;
  for (int i = 0; i < 60; ++i) mask += "*A";
  mask += "*B";
  EXPECT_FALSE(MatchMask(name, mask));
}

TEST(NameFilterTest, MasksAreSplitButNotTrimmedAndNamesUpperCased) {
  EXPECT_TRUE(MatchesNameFilter("virus.exe", "*.EXE;*.COM"));
  EXPECT_TRUE(MatchesNameFilter("a.com", "*.EXE;*.COM"));
  EXPECT_FALSE(MatchesNameFilter("a.com", "*.EXE; *.COM")) << "the second mask begins with a space";
  EXPECT_TRUE(MatchesNameFilter("a.com", ";;*.COM;;"));
  EXPECT_FALSE(MatchesNameFilter("a.com", ""));
  EXPECT_TRUE(MatchesNameFilter("anything", "*"));
  EXPECT_FALSE(MatchesNameFilter("\xf0\xf2.txt", "\xd0\xd2.TXT")) << "only ASCII letters are folded";
}

TEST(FileTypeTest, GroupsOfTheTypeIds) {
  EXPECT_EQ(FileTypeGroupOf(6), 0x01);
  EXPECT_EQ(FileTypeGroupOf(1), 0x02);
  EXPECT_EQ(FileTypeGroupOf(16), 0x10);
  EXPECT_EQ(FileTypeGroupOf(8), 0x08);
  EXPECT_EQ(FileTypeGroupOf(12), 0x04) << "an id without signature still has its group";
  EXPECT_EQ(FileTypeGroupOf(0), kUnknownTypeGroup);
}

TEST(SizeLimitTest, TheLimitItselfPasses) {
  EXPECT_FALSE(IsTooLarge(1024, true, 1));
  EXPECT_TRUE(IsTooLarge(1025, true, 1));
  EXPECT_TRUE(IsTooLarge(1, true, 0));
  EXPECT_FALSE(IsTooLarge(0, true, 0));
  EXPECT_FALSE(IsTooLarge(0xFFFFFFFF, false, 0));
}

}  // namespace
}  // namespace zul::testing
