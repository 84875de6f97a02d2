#include "base/message_text.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "base/english_messages.h"
#include "base/message_catalogue.h"
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

// The printf conversions of a text, in order ("%%" is none); the case of
// the hex letters is no difference.
std::vector<std::string> FormatSequences(const std::string& text) {
  std::vector<std::string> sequences;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    size_t end = i + 1;
    if (end < text.size() && text[end] == '%') {
      i = end;
      continue;
    }
    while (end < text.size() && std::strchr("-+ #0123456789.lh", text[end]) != nullptr) ++end;
    if (end < text.size()) {
      std::string sequence = text.substr(i, end - i + 1);
      for (char& c : sequence) c = static_cast<char>(c == 'X' ? 'x' : c);
      sequences.push_back(sequence);
    }
    i = end;
  }
  return sequences;
}

TEST(EnglishLibraryTest, EveryIdHasAnEnglishTextWithTheSameFormatSequences) {
  size_t count = 0;
  const MessageEntry* entries = MessageCatalogue(&count);
  size_t englishCount = 0;
  const EnglishMessage* english = EnglishMessages(&englishCount);
  std::map<uint16_t, std::string> byId;
  for (size_t i = 0; i < englishCount; ++i) {
    EXPECT_TRUE(byId.emplace(english[i].id, english[i].utf8).second) << "one English text per id: " << english[i].id;
  }
  for (size_t i = 0; i < count; ++i) {
    auto it = byId.find(entries[i].id);
    ASSERT_NE(it, byId.end()) << "no English text for " << entries[i].id;
    EXPECT_EQ(FormatSequences(it->second), FormatSequences(entries[i].builtInUtf8)) << entries[i].id;
  }
  EXPECT_EQ(FormatSequences("%d of %08X, %%, %s"), (std::vector<std::string>{"%d", "%08x", "%s"}));
}

TEST_F(MessageTextTest, TheEnglishLibraryIsChosenInNotesIni) {
  std::filesystem::copy_file(ENGLISH_LIBRARY, server_.directory() + "/program/zelklocale-en.dll");
  SetIni("NotesProgram", server_.directory() + "/program");
  SetIni("ZulMessageLibrary", "zelklocale-en.dll");
  ASSERT_TRUE(LoadMessageLibrary(ConfiguredMessageLibrary()));
  EXPECT_STREQ(MessageText(Msg::Initialising), "Initialising...");
  EXPECT_STREQ(MessageText(Msg::DocumentProcessed), "Document 0x%04x processed.");
  FreeMessageLibrary();
}

TEST(MessageCatalogueTest, EveryMessageHasItsIdAndBuiltInText) {
  size_t count = 0;
  const MessageEntry* entries = MessageCatalogue(&count);
  std::map<uint16_t, int> uses;
  const std::pair<int, int> ranges[] = {{902, 926}, {974, 975}, {1002, 1024}, {1051, 1089}, {1091, 1098},
                                        {1202, 1239}, {1251, 1257}, {1271, 1282}, {1301, 1309}, {1322, 1327},
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
