#include "scanning/bases_proof.h"

#include <filesystem>

#include "settings/bases_index.h"
#include "tests/settings/signed_bases.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

class BasesProofTest : public TaskTest {
 protected:
  std::string NewFolder(const std::string& name) {
    std::string folder = server_.directory() + "/" + name;
    std::filesystem::create_directories(folder);
    return folder;
  }
  // How it was proven, or the reason (UTF-8) it was refused.
  std::string Prove(const std::string& folder) {
    BasesProof proof = BasesProof::kSignedIndex;
    Status proven = ProveBasesFolder(std::u16string(folder.begin(), folder.end()), &proof);
    if (!proven.ok()) return NativeToUtf8(proven.message());
    return proof == BasesProof::kSignedIndex ? "signed index" : proof == BasesProof::kClamavContainers ? "containers"
                                                                                                       : "unsigned";
  }
  std::string NativeToUtf8(const std::string& native) {
    std::string lmbcs;
    std::string utf8;
    EXPECT_EQ(host_->Translate(kTranslateNativeToLmbcs, native, &lmbcs), kNoError);
    EXPECT_EQ(host_->Translate(kTranslateLmbcsToUtf8, lmbcs, &utf8), kNoError);
    return utf8;
  }
  void Write(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }
};

// Without an index the engine's own signatures are the proof: every file it
// would load must be a container it verifies, and files it never loads
// (freshclam's state, folders of its own) do not count.
TEST_F(BasesProofTest, WithoutAnIndexOnlyClamavsSignedContainersAreTaken) {
  std::string freshclam = NewFolder("freshclam");
  for (const char* name : {"main.cvd", "daily.cld", "bytecode.CVD", "freshclam.dat"}) Write(freshclam + "/" + name, "x");
  std::filesystem::create_directories(freshclam + "/tmp.3f2a1b");
  EXPECT_EQ(Prove(freshclam), "containers");

  struct Case {
    std::string entry;
    std::string reason;
  };
  for (const Case& c : {Case{"local.hdb", "файл local.hdb не подписан: без индекса master.xml принимаются только "
                                          "контейнеры ClamAV .cvd и .cld"},
                        Case{"allow.FP", "файл allow.FP не подписан: без индекса master.xml принимаются только "
                                         "контейнеры ClamAV .cvd и .cld"},
                        Case{"ignore.ign2", "файл ignore.ign2 не подписан: без индекса master.xml принимаются только "
                                            "контейнеры ClamAV .cvd и .cld"},
                        Case{"unsigned.cud", "файл unsigned.cud не подписан: без индекса master.xml принимаются только "
                                             "контейнеры ClamAV .cvd и .cld"}}) {
    std::string folder = NewFolder("loose-" + c.entry);
    Write(folder + "/main.cvd", "x");
    Write(folder + "/" + c.entry, "x");
    EXPECT_EQ(Prove(folder), c.reason) << c.entry;
  }
  std::string linked = NewFolder("linked");
  std::filesystem::create_symlink(freshclam + "/main.cvd", linked + "/main.cvd");
  EXPECT_EQ(Prove(linked), "main.cvd не обычный файл (ссылка, папка или устройство)");
  std::string folderNamedLikeBases = NewFolder("dirs");
  std::filesystem::create_directories(folderNamedLikeBases + "/daily.cld");
  EXPECT_EQ(Prove(folderNamedLikeBases), "daily.cld не обычный файл (ссылка, папка или устройство)");
  EXPECT_EQ(Prove(server_.directory() + "/no-such-folder"), "папка не читается");

  SetIni("ZulBasesUnsigned", "1");
  EXPECT_EQ(Prove(server_.directory() + "/loose-local.hdb"), "unsigned") << "the administrator's choice";
}

// An index proves only what it lists, each file alike in size and digest;
// a listing that cannot be read whole proves nothing.
TEST_F(BasesProofTest, AnIndexProvesExactlyTheFilesItLists) {
  std::string folder = NewFolder("signed");
  Write(folder + "/a.hdb", "one\n");
  Write(folder + "/b.ndb", "two\n");
  SignBasesFolder(folder);
  EXPECT_EQ(Prove(folder), "signed index");

  std::string index = FileBytes(folder + "/master.xml");
  std::string body = index.substr(0, UnsignedLength(index));
  auto signedWith = [&](std::string listing) {
    std::string content = body;
    size_t open = content.find("<FileDescription");
    size_t close = content.rfind("</UpdateFiles>");
    content.replace(open, close - open, listing);
    Write(folder + "/master.xml", content + MakeSignatureBlock(content, BuiltInBasesKey()));
  };
  auto entryOf = [&](const std::string& name) {
    size_t start = body.find("<FileDescription Filename=\"" + name + "\"");
    return body.substr(start, body.find("/>", start) + 2 - start);
  };
  std::string a = "<FileDescription Filename=\"a.hdb\" Size=\"4\" SHA256=\"" + std::string(64, '0') + "\"/>";
  std::string aGood = entryOf("a.hdb");
  std::string bGood = entryOf("b.ndb");
  const std::string noListing = "индекс master.xml не перечисляет файлы с размером и SHA-256 (zulctl bases sign)";
  struct Case {
    std::string listing;
    std::string reason;
  };
  for (const Case& c :
       {Case{a + bGood, "файл a.hdb не совпадает с индексом master.xml (размер или SHA-256)"},
        Case{bGood, "файла a.hdb нет в индексе master.xml"},
        Case{bGood + bGood, noListing},
        Case{"<FileDescription Filename=\"a.hdb\"/>" + bGood, noListing},
        Case{"<FileDescription Filename=\"a.hdb\" Size=\"-4\" SHA256=\"" + std::string(64, 'a') + "\"/>" + bGood,
             noListing},
        Case{"<FileDescription Filename=\"a.hdb\" Size=\"4\" SHA256=\"xyz\"/>" + bGood, noListing},
        Case{aGood + bGood + "<FileDescription Filename=\"../../etc/hostname\" Size=\"1\" SHA256=\"" +
                 std::string(64, 'b') + "\"/>",
             "файл ../../etc/hostname из индекса master.xml отсутствует"}}) {
    signedWith(c.listing);
    EXPECT_EQ(Prove(folder), c.reason) << c.listing;
  }
  // A name the platform would read as another file than the engine loads.
  std::string tricky = NewFolder("tricky");
  Write(tricky + "/allow.fp", "harmless\n");
  Write(tricky + "/.\\allow.fp", "harmless\n");
  SignBasesFolder(tricky);
  EXPECT_EQ(Prove(tricky), "имя файла .\\allow.fp недопустимо (косая черта или управляющий символ)");
  Write(tricky + "/.\\allow.fp", "");
  std::filesystem::remove(tricky + "/.\\allow.fp");
  Write(tricky + "/line\nbreak.hdb", "x");
  SignBasesFolder(tricky);
  EXPECT_EQ(Prove(tricky), "имя файла line?break.hdb недопустимо (косая черта или управляющий символ)");

  Write(folder + "/master.xml", "<?xml version=\"1.0\"?><UpdateFiles UpdateDate=\"01012026 0000\"/>");
  EXPECT_EQ(Prove(folder), "индекс master.xml не подписан известным ключом или изменён после подписи");
  std::filesystem::remove(folder + "/master.xml");
  std::filesystem::create_directories(folder + "/master.xml");
  EXPECT_EQ(Prove(folder), "master.xml не обычный файл (ссылка, папка или устройство)");
}

// The engine reads the folder by its names after the proof: a file swapped
// in, written to in place or added in between is caught, whatever its
// modification time says.
TEST_F(BasesProofTest, AFolderChangedAfterItsProofIsNotTaken) {
  std::string folder = NewFolder("proven");
  Write(folder + "/a.hdb", "one\n");
  SignBasesFolder(folder);
  std::u16string wide(folder.begin(), folder.end());
  BasesProof proof = BasesProof::kSignedIndex;
  std::string fingerprint;
  ASSERT_TRUE(ProveBasesFolder(wide, &proof, &fingerprint).ok());
  EXPECT_TRUE(ConfirmBasesUnchanged(wide, fingerprint).ok()) << "nothing changed";

  Write(folder + "/swap", "two\n");
  std::filesystem::rename(folder + "/swap", folder + "/a.hdb");
  Status swapped = ConfirmBasesUnchanged(wide, fingerprint);
  EXPECT_EQ(swapped.hresult(), ZUL_E_BASES_NOT_PROVEN) << "a file swapped in";
  EXPECT_EQ(NativeToUtf8(swapped.message()), "файлы папки изменились, пока базы загружались");

  SignBasesFolder(folder);
  ASSERT_TRUE(ProveBasesFolder(wide, &proof, &fingerprint).ok());
  auto modified = std::filesystem::last_write_time(folder + "/a.hdb");
  { std::ofstream(folder + "/a.hdb", std::ios::binary | std::ios::app) << "more\n"; }
  std::filesystem::last_write_time(folder + "/a.hdb", modified);
  EXPECT_EQ(ConfirmBasesUnchanged(wide, fingerprint).hresult(), ZUL_E_BASES_NOT_PROVEN) << "written in place, time set back";
  SignBasesFolder(folder);
  ASSERT_TRUE(ProveBasesFolder(wide, &proof, &fingerprint).ok());
  Write(folder + "/b.ndb", "added\n");
  EXPECT_EQ(ConfirmBasesUnchanged(wide, fingerprint).hresult(), ZUL_E_BASES_NOT_PROVEN) << "a file added";

  SetIni("ZulBasesUnsigned", "1");
  ASSERT_TRUE(ProveBasesFolder(wide, &proof, &fingerprint).ok());
  EXPECT_EQ(fingerprint, "") << "nothing proven, nothing to confirm";
  EXPECT_TRUE(ConfirmBasesUnchanged(wide, fingerprint).ok());
}

// What "zulctl bases sign" writes: the files of the folder, the entries of
// files still there kept with their other attributes, those of files gone
// dropped by name.
TEST_F(BasesProofTest, SigningRewritesTheListingAndKeepsTheRest) {
  const std::string index =
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<UpdateFiles UpdateDate=\"01012026 0000\">\n"
      "  <FileDescription Filename=\"kept.hdb\" Comment=\"Signatures of the site\"/>\n"
      "  <FileDescription Filename=\"gone.ndb\" Size=\"1\" SHA256=\"" +
      std::string(64, 'c') + "\"/>\n</UpdateFiles>\n";
  BasesListing files{{"kept.hdb", ListedFile{5, std::string(64, 'a')}}, {"new.ldb", ListedFile{7, std::string(64, 'b')}}};
  std::string rewritten;
  std::string dropped;
  ASSERT_TRUE(WriteBasesListing(index, files, &rewritten, &dropped));
  EXPECT_EQ(dropped, "gone.ndb\n");
  EXPECT_EQ(rewritten,
            "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<UpdateFiles UpdateDate=\"01012026 0000\">\n"
            "  <FileDescription Filename=\"kept.hdb\" Comment=\"Signatures of the site\" Size=\"5\" SHA256=\"" +
                std::string(64, 'a') + "\"/>\n  <FileDescription Filename=\"new.ldb\" Size=\"7\" SHA256=\"" +
                std::string(64, 'b') + "\"/>\n</UpdateFiles>\n");
  BasesListing read;
  ASSERT_TRUE(ReadBasesListing(rewritten, &read));
  EXPECT_EQ(read.size(), 2u);
  EXPECT_EQ(read["new.ldb"].size, 7u);
  std::string again;
  ASSERT_TRUE(WriteBasesListing(rewritten, files, &again, &dropped));
  EXPECT_EQ(again, rewritten) << "signing twice changes nothing, so a second key's block can join the first";
  EXPECT_FALSE(WriteBasesListing("<NotAnIndex/>", files, &again, &dropped));
  EXPECT_FALSE(WriteBasesListing("not xml <<<", files, &again, &dropped));
}

}  // namespace
}  // namespace zul::testing
