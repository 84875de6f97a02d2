#include "records/message_text.h"

#include <map>
#include <set>

#include "records/message_catalogue.h"
#include "tests/notesapi/string_library_builder.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

class MessageTextTest : public TaskTest {
 protected:
  void InstallLibrary(const std::map<uint32_t, std::u16string>& strings) {
    std::ofstream(server_.directory() + "/program/zelklocale.dll", std::ios::binary)
        << notesapi::testing::BuildStringLibrary(strings);
    SetIni("NotesProgram", server_.directory() + "/program");
  }
};

TEST_F(MessageTextTest, BuiltInTextsComeInWindows1251) {
  EXPECT_FALSE(LoadMessageLibrary(kMessageLibraryName));
  EXPECT_STREQ(MessageText(Msg::ErrorSuffix), " \xce\xf8\xe8\xe1\xea\xe0: ");
  EXPECT_STREQ(MessageText(Msg::QuarantineDeliveredHeader), Native("В доставленном сообщении:\n").c_str());
}

TEST_F(MessageTextTest, LibraryTextsReplaceBuiltInsById) {
  InstallLibrary({{1003, u"Starting..."}, {1234, u"Filtered."}});
  ASSERT_TRUE(LoadMessageLibrary(kMessageLibraryName));
  EXPECT_STREQ(MessageText(Msg::Initialising), "Starting...");
  EXPECT_STREQ(MessageText(Msg::FilteredByType), "Filtered.");
  EXPECT_STREQ(MessageText(Msg::FilteredByName), "Filtered.") << "one id, one library text for both places";
  EXPECT_STREQ(MessageText(Msg::AlreadyRunning), Native("Задача уже запущена. Выход.").c_str());
  FreeMessageLibrary();
  EXPECT_STREQ(MessageText(Msg::Initialising), Native("Инициализация...").c_str());
}

TEST_F(MessageTextTest, LibraryTextsStayValidForAHundredFurtherTexts) {
  InstallLibrary({{1003, u"first"}, {1005, u"other"}, {1024, std::u16string(2000, u'x')}});
  ASSERT_TRUE(LoadMessageLibrary(kMessageLibraryName));
  const char* first = MessageText(Msg::Initialising);
  for (int i = 0; i < 99; ++i) (void)MessageText(Msg::AlreadyRunning);
  EXPECT_STREQ(first, "first");
  (void)MessageText(Msg::AlreadyRunning);
  EXPECT_STREQ(first, "other") << "the hundredth further text takes the area";
  EXPECT_EQ(std::string(MessageText(Msg::InitialisationComplete)).size(), 1023u);
}

TEST(MessageCatalogueTest, EveryMessageHasItsIdAndBuiltInText) {
  size_t count = 0;
  const MessageEntry* entries = MessageCatalogue(&count);
  std::map<uint16_t, int> uses;
  const std::pair<int, int> ranges[] = {{902, 926}, {974, 975}, {1002, 1024}, {1051, 1067}, {1091, 1098},
                                        {1202, 1239}, {1251, 1257}, {1271, 1281}, {1301, 1309}, {1322, 1327},
                                        {1512, 1512}};
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(static_cast<size_t>(entries[i].message), i) << "catalogue order";
    EXPECT_NE(std::string(entries[i].builtInUtf8), "") << entries[i].id;
    bool inRange = false;
    for (auto [low, high] : ranges) inRange = inRange || (entries[i].id >= low && entries[i].id <= high);
    EXPECT_TRUE(inRange) << entries[i].id;
    ++uses[entries[i].id];
  }
  std::set<uint16_t> shared;
  for (auto [id, n] : uses) {
    if (n > 1) shared.insert(id);
  }
  // The ids whose built-in text differs between the places that use them.
  EXPECT_EQ(shared, (std::set<uint16_t>{1002, 1016, 1019, 1020, 1021, 1023, 1024, 1091, 1092, 1096, 1202, 1222,
                                        1234}));
}

}  // namespace
}  // namespace zul::testing
