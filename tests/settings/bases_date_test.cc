#include "settings/bases_date.h"

#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

std::string Index(const std::string& date, const std::string& encoding = "utf-8") {
  return "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>\n<UpdateFiles UpdateDate=\"" + date +
         "\">\n  <FileDescription Filename=\"demo.hdb\"/>\n</UpdateFiles>\n";
}

std::string Signed(const std::string& content, const BasesKey& key = BuiltInBasesKey()) {
  return content + MakeSignatureBlock(content, key);
}

BasesKey OtherKey() { return BasesKey{"SomeoneElsesKey0000001", "another secret"}; }

class BasesDateTest : public TaskTest {
 protected:
  Status Read(const std::string& content, uint64_t* fileTime) {
    std::string path = server_.directory() + "/master.xml";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return ReadBasesDate(std::u16string(path.begin(), path.end()), fileTime);
  }
};

TEST_F(BasesDateTest, SignedIndexGivesItsDate) {
  uint64_t fileTime = 0;
  ASSERT_TRUE(Read(Signed(Index("31122007 2359")), &fileTime).ok());
  BasesDate date = BasesDateOfFileTime(fileTime);
  EXPECT_EQ(date.year, 107);
  EXPECT_EQ(date.month, 11);
  EXPECT_EQ(date.day, 31);
  EXPECT_EQ(date.hour, 23);
  EXPECT_EQ(date.minute, 59);
  EXPECT_EQ(date.second, 0);
  EXPECT_EQ(date.weekday, 1) << "a Monday";
  uint64_t expected = 0;
  ASSERT_TRUE(FileTimeOfCivil(2007, 12, 31, 23, 59, &expected));
  EXPECT_EQ(fileTime, expected);
  EXPECT_EQ(expected, 128436191400000000ULL) << "100-ns units since 1601";
  ASSERT_TRUE(Read(Signed(Index("03092007 1245", "windows-1251")), &fileTime).ok());
  EXPECT_EQ(BasesDateOfFileTime(fileTime).month, 8);
}

TEST_F(BasesDateTest, UnsignedOrAlteredIndexesGiveNoDate) {
  std::string good = Signed(Index("31122007 2359"));
  uint64_t fileTime = 7;
  EXPECT_EQ(Read(Index("31122007 2359"), &fileTime).code(), Status::Code::kCorrupt);
  std::string altered = good;
  altered.replace(altered.find("2359"), 4, "2358");
  EXPECT_EQ(Read(altered, &fileTime).code(), Status::Code::kCorrupt);
  EXPECT_EQ(Read(Signed(Index("31122007 2359"), OtherKey()), &fileTime).code(), Status::Code::kCorrupt);
  EXPECT_EQ(fileTime, 7u) << "no date on failure";
  EXPECT_EQ(Read("", &fileTime).code(), Status::Code::kCorrupt);
  std::string path = server_.directory() + "/none.xml";
  EXPECT_TRUE(ReadBasesDate(std::u16string(path.begin(), path.end()), &fileTime).IsNotFound());
}

TEST_F(BasesDateTest, DatesThatDoNotParse) {
  uint64_t fileTime = 0;
  EXPECT_EQ(Read(Signed(Index("31022007 1200")), &fileTime).code(), Status::Code::kInvalidArgument) << "no 31st of February";
  EXPECT_EQ(Read(Signed(Index("31.12.2007 23:59")), &fileTime).code(), Status::Code::kInvalidArgument);
  EXPECT_EQ(Read(Signed(Index("")), &fileTime).code(), Status::Code::kInvalidArgument);
  EXPECT_EQ(Read(Signed(Index("31122007 2460")), &fileTime).code(), Status::Code::kInvalidArgument);
  EXPECT_TRUE(Read(Signed("<?xml version=\"1.0\"?><Other/>"), &fileTime).ok());
  EXPECT_EQ(fileTime, 0u) << "no UpdateFiles: the start of 1601";
  EXPECT_EQ(Read(Signed("not xml at all <<<"), &fileTime).code(), Status::Code::kCorrupt);
}

TEST_F(BasesDateTest, SignatureBlocksAreFoundFromTheEnd) {
  std::string content = Index("31122007 2359");
  size_t length = 0;
  EXPECT_EQ(VerifySignedContent(content, &length), kNoSignatureForKey);
  EXPECT_EQ(VerifySignedContent(content, nullptr), kSignatureInvalidArguments);
  EXPECT_EQ(VerifySignedContent(content.substr(0, 30), &length), kNoSignatureForKey) << "shorter than a block";
  std::string onlyBlock = MakeSignatureBlock("", BuiltInBasesKey());
  EXPECT_EQ(VerifySignedContent(onlyBlock, &length), kNoSignatureForKey) << "a block at the first byte is content";
  std::string wrongMarks = Signed(content);
  wrongMarks[wrongMarks.size() - 1] = '\xAC';
  EXPECT_EQ(VerifySignedContent(wrongMarks, &length), kNoSignatureForKey);

  // Two blocks: both are cut off and the built-in key's is the one checked.
  std::string two = content + MakeSignatureBlock(content, OtherKey()) + MakeSignatureBlock(content, BuiltInBasesKey());
  ASSERT_EQ(VerifySignedContent(two, &length), 0);
  EXPECT_EQ(length, content.size());
  EXPECT_EQ(VerifySignedContent(content + MakeSignatureBlock("other content", BuiltInBasesKey()), &length),
            kSignatureMismatch);

  // Only 20 blocks are taken: a 21st (the earliest) counts as content.
  std::string many = content + MakeSignatureBlock(content, BuiltInBasesKey());
  for (int i = 0; i < 20; ++i) many += MakeSignatureBlock(content, OtherKey());
  EXPECT_EQ(VerifySignedContent(many, &length), kNoSignatureForKey);
  std::string twenty = content + MakeSignatureBlock(content, BuiltInBasesKey());
  for (int i = 0; i < 19; ++i) twenty += MakeSignatureBlock(content, OtherKey());
  EXPECT_EQ(VerifySignedContent(twenty, &length), 0);
  EXPECT_EQ(UnsignedLength(twenty), content.size());
}

TEST_F(BasesDateTest, SiteKeyFromNotesIni) {
  BasesKey site;
  ASSERT_TRUE(ParseBasesKey("KeyId=OurOwnBasesKey\nSecret=00ff10ab\n", &site));
  EXPECT_EQ(site.keyId, "OurOwnBasesKey        ") << "padded to 22 bytes";
  EXPECT_EQ(site.secret, std::string("\x00\xff\x10\xab", 4));
  EXPECT_FALSE(ParseBasesKey("KeyId=x\nSecret=0g\n", &site));
  EXPECT_FALSE(ParseBasesKey("Secret=00\n", &site));
  std::string content = Index("01012027 0000");
  size_t length = 0;
  std::string bySite = content + MakeSignatureBlock(content, site);
  EXPECT_EQ(VerifySignedContent(bySite, &length), kNoSignatureForKey);
  std::string keyFile = server_.directory() + "/site.key";
  std::ofstream(keyFile) << "KeyId=OurOwnBasesKey\nSecret=00ff10ab\n";
  SetIni("ZulBasesKeyFile", keyFile);
  EXPECT_EQ(VerifySignedContent(bySite, &length), 0);
  // The built-in key's secret is in every copy of the program: once a site
  // has a key of its own, an index signed with the built-in key is refused.
  std::string byBuiltIn = content + MakeSignatureBlock(content, BuiltInBasesKey());
  EXPECT_EQ(VerifySignedContent(byBuiltIn, &length), kNoSignatureForKey);
  uint64_t fileTime = 0;
  EXPECT_EQ(Read(byBuiltIn, &fileTime).code(), Status::Code::kCorrupt);
}

TEST_F(BasesDateTest, UnusableKeyFileVerifiesNothingAndSaysWhy) {
  Variables().logConsole = 1;
  std::string content = Index("01012027 0000");
  std::string byBuiltIn = content + MakeSignatureBlock(content, BuiltInBasesKey());
  size_t length = 0;
  std::string keyFile = server_.directory() + "/missing.key";
  SetIni("ZulBasesKeyFile", keyFile);
  EXPECT_EQ(VerifySignedContent(byBuiltIn, &length), kNoSignatureForKey) << "never falls back to the built-in key";
  EXPECT_TRUE(Logged("Файл ключа баз " + keyFile + " не прочитан; индекс master.xml не признаётся подписанным. Ошибка: " +
                     host_->StatusText(kFileNotFound)));
  std::ofstream(keyFile) << "Secret=00ff\n";
  std::string problem;
  EXPECT_TRUE(VerificationKeys(&problem).empty());
  EXPECT_EQ(problem, "the key file " + keyFile + " lacks a line KeyId=... or Secret=<hex>");
  EXPECT_EQ(VerifySignedContent(byBuiltIn, &length), kNoSignatureForKey);
  SetIni("ZulBasesKeyFile", "");
  EXPECT_EQ(VerifySignedContent(byBuiltIn, &length), 0) << "an empty variable names no key";
}

}  // namespace
}  // namespace zul::testing
