#include "scanning/scan_kernel.h"

#include <filesystem>
#include <regex>

#include "notesapi/platform_wrapper.h"
#include "scanning/scan_engine.h"
#include "tests/scanning/zip_builder.h"
#include "tests/settings/signed_bases.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

constexpr char kTestFiles[] = "/usr/share/clamav-testfiles";
const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

class ScanKernelTest : public TaskTest {
 protected:
  void SetUp() override {
    work_ = server_.directory() + "/work";
    std::filesystem::create_directories(work_);
    Variables().logConsole = 1;
  }

  static std::u16string Wide(const std::string& path) { return std::u16string(path.begin(), path.end()); }

  KernelSettingsRecord Settings(const std::string& bases) {
    KernelSettingsRecord settings;
    settings.basesFolder = Wide(bases);
    std::filesystem::create_directories(work_ + "/ftemp");
    settings.tempFolder = Wide(work_ + "/ftemp");
    settings.scanFlags = 0x7E;
    return settings;
  }
  // Opens the kernel as a task does; kernel_ holds it only when it opened.
  Status Open(const KernelSettingsRecord& settings) {
    kernel_.reset();
    return ScanKernel::Open({ConfiguredKernelEngine(platform_.get()), settings}, platform_.get(), &kernel_);
  }
  void Start(const KernelSettingsRecord& settings) { ASSERT_TRUE(Open(settings).ok()); }
  HRESULT Reload() { return kernel_->Reload().hresult(); }
  ScanResult ScanBytes(const std::string& bytes, std::string* description = nullptr) {
    std::string path = work_ + "/ZELK" + std::to_string(counter_++);
    std::ofstream(path, std::ios::binary) << bytes;
    std::string found = description != nullptr ? *description : std::string();
    ScanResult result = kernel_ ? kernel_->ScanFile(Wide(path), &found) : ResultFailed;
    std::filesystem::remove(path);
    if (description != nullptr) *description = found;
    return result;
  }
  std::string Folder(const std::string& name, const std::string& hdb) {
    std::string folder = work_ + "/" + name;
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/test.hdb") << hdb;
    SignBasesFolder(folder);
    return folder;
  }

  // The demo bases and a file more, in a folder of the test's own.
  std::string DemoBasesWith(const std::string& name, const std::string& file, const std::string& content) {
    std::string folder = work_ + "/" + name;
    std::filesystem::create_directories(folder);
    std::filesystem::copy(DEMO_BASES_DIR, folder,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    std::ofstream(folder + "/" + file) << content;
    SignBasesFolder(folder);
    return folder;
  }
  // What is left in the work folder besides the kernel's own folders.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(work_)) {
      std::string name = entry.path().filename().string();
      if (name.rfind("ZELK", 0) == 0 && name.find("selftest") != std::string::npos) names.push_back(name);
      if (name.rfind("tervala-selftest", 0) == 0 || name.rfind("ZELKprobe", 0) == 0) names.push_back(name);
    }
    return names;
  }

  std::string work_;
  int counter_ = 0;
  std::unique_ptr<ScanKernel> kernel_;
};

TEST_F(ScanKernelTest, TemporaryFolderRemovedUnderARunningKernelGivesFailuresNotClean) {
  Start(Settings(DEMO_BASES_DIR));
  ASSERT_EQ(ScanBytes(kEicar), ResultInfected);
  std::filesystem::remove_all(work_ + "/ftemp");
  // The engine answers "clean" when it cannot make its scan folder.
  std::string description;
  EXPECT_EQ(ScanBytes(kEicar, &description), ResultFailed);
  EXPECT_EQ(description.rfind("engine error: ", 0), 0u) << description;
  EXPECT_NE(description.find("temporary directory"), std::string::npos) << description;
  EXPECT_EQ(ScanBytes("Dear colleague, nothing to see.\n"), ResultFailed);
  EXPECT_LT(Reload(), 0);
  EXPECT_EQ(Reload(), ZUL_E_TEMP_FOLDER);
  EXPECT_TRUE(Logged("Временная папка ядра " + work_ + "/ftemp недоступна. Ошибка: " +
                     host_->StatusText(kFileNotFound)));
  std::filesystem::create_directories(work_ + "/ftemp");
  EXPECT_EQ(ScanBytes(kEicar), ResultInfected) << "the engine in use was kept";
}

TEST_F(ScanKernelTest, StartNeedsAUsableTemporaryFolder) {
  KernelSettingsRecord settings = Settings(DEMO_BASES_DIR);
  settings.tempFolder = Wide(work_ + "/never-made");
  EXPECT_EQ(Open(settings).hresult(), ZUL_E_TEMP_FOLDER);
  EXPECT_EQ(ScanBytes(kEicar), ResultFailed);
  settings.tempFolder.clear();
  EXPECT_EQ(Open(settings).hresult(), ZUL_E_TEMP_FOLDER) << "no folder at all is no engine default";
}

TEST_F(ScanKernelTest, SelfTestMustDetectAtStartAndOnReload) {
  // Bases that tell the engine to ignore the kernel's own signature load
  // fine but detect nothing of the self-test.
  std::string blind = DemoBasesWith("blind", "ignore.ign2", std::string(kSelfTestThreatName) + "\n");
  EXPECT_EQ(Open(Settings(blind)).hresult(), ZUL_E_SELF_TEST);
  EXPECT_TRUE(LoggedStart("Самопроверка ядра не пройдена: тестовый объект не обнаружен (результат 0, "));
  EXPECT_EQ(ScanBytes(kEicar), ResultFailed) << "a kernel that failed its self-test does not scan";

  Start(Settings(DEMO_BASES_DIR));
  uint32_t count = 0;
  std::optional<BasesDate> date;
  ASSERT_TRUE(kernel_->BasesInfo(&count, &date).ok());
  EXPECT_EQ(count, 2u) << "the self-test signature is not counted as the bases'";
  std::string description;
  EXPECT_EQ(ScanBytes(std::string(KernelSelfTestObject()), &description), ResultInfected);
  EXPECT_EQ(description, std::string(kSelfTestThreatName) + ".UNOFFICIAL");
  ASSERT_TRUE(kernel_->Configure(Settings(blind)).ok());
  EXPECT_EQ(Reload(), ZUL_E_SELF_TEST);
  EXPECT_EQ(ScanBytes(std::string(KernelSelfTestObject())), ResultInfected) << "the previous engine scans on";
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(ScanKernelTest, ScanOptionsTakeEffectWithTheNextScan) {
  KernelSettingsRecord settings = Settings(DEMO_BASES_DIR);
  settings.scanFlags = 0;  // archives not opened
  Start(settings);
  std::string zipped = BuildZip({{"eicar.com", kEicar}});
  EXPECT_EQ(ScanBytes(zipped), ResultClean);
  settings.scanFlags = 0x02;
  ASSERT_TRUE(kernel_->Configure(settings).ok());
  EXPECT_EQ(ScanBytes(zipped), ResultInfected) << "without a reload";
}

TEST_F(ScanKernelTest, EveryClamavTestFileIsInfected) {
  Start(Settings(DEMO_BASES_DIR));
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kTestFiles)) {
    std::string description;
    EXPECT_EQ(kernel_->ScanFile(Wide(entry.path().string()), &description), ResultInfected) << entry.path();
    EXPECT_EQ(description, "Tervala.Test.ClamAV-TestFile.UNOFFICIAL") << entry.path();
    ++files;
  }
  EXPECT_GE(files, 40);
  std::string description;
  EXPECT_EQ(ScanBytes(kEicar, &description), ResultInfected);
  EXPECT_EQ(description, "Eicar-Test-Signature.UNOFFICIAL");
  EXPECT_EQ(ScanBytes(BuildZip({{"readme.txt", "hello"}, {"eicar.com", kEicar}})), ResultInfected);
}

TEST_F(ScanKernelTest, CleanContentIsClean) {
  Start(Settings(DEMO_BASES_DIR));
  const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89", 33);
  const std::string pdf =
      "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n2 0 obj<</Type/Pages/Kids[]/Count 0>>endobj\n"
      "trailer<</Root 1 0 R>>\n%%EOF\n";
  for (const std::string& bytes : {std::string("Dear colleague,\nthe report is attached.\n"), png, pdf,
                                   BuildZip({{"a.txt", "plain text"}, {"b.txt", "more text"}})}) {
    std::string description = "unchanged";
    EXPECT_EQ(ScanBytes(bytes, &description), ResultClean);
    EXPECT_EQ(description, "unchanged");
  }
}

TEST_F(ScanKernelTest, EncryptedDeepAndUnwantedContentGetTheirVerdicts) {
  KernelSettingsRecord settings = Settings(DEMO_BASES_DIR);
  settings.depthLimitEnabled = 1;
  settings.depthLimit = 3;
  Start(settings);
  std::string description;
  EXPECT_EQ(ScanBytes(BuildZip({{"secret.doc", "whatever is inside"}}, true), &description), ResultProtected);
  EXPECT_EQ(description.rfind("Heuristics.Encrypted.", 0), 0u) << description;
  std::string nested = kEicar;
  for (int level = 0; level < 6; ++level) nested = BuildZip({{"level" + std::to_string(level) + ".zip", nested}});
  EXPECT_EQ(ScanBytes(nested, &description), ResultIncomplete);
  EXPECT_EQ(description.rfind("Heuristics.Limits.Exceeded", 0), 0u) << description;

  kernel_.reset();
  std::string sample = "a harmless program some sites do not want";
  KernelSettingsRecord pua = Settings(Folder("pua", Md5Hex(sample) + ":" + std::to_string(sample.size()) +
                                                         ":PUA.Test.Unwanted\n"));
  pua.basesType = 2;  // with potentially unwanted programs
  Start(pua);
  EXPECT_EQ(ScanBytes(sample, &description), ResultSuspicious);
  EXPECT_EQ(description, "PUA.Test.Unwanted.UNOFFICIAL");
}

// Archives the engine passes over without a word are read by the kernel
// itself; what neither reads is not clean: a member past the size limit, a
// member that does not decode. Archives read whole stay clean, however
// often they come.
TEST_F(ScanKernelTest, AnArchiveIsCleanOnlyWhenEveryMemberWasRead) {
  std::string folder = Folder("archives", "");
  std::string script = R"(
import io, sys, zipfile
eicar = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
def write(name, members, **kw):
    with zipfile.ZipFile(sys.argv[1] + "/" + name, "w", zipfile.ZIP_DEFLATED) as z:
        for member, data in members:
            if kw.get("zip64"):
                with z.open(member, "w", force_zip64=True) as f: f.write(data)
            else:
                z.writestr(member, data)
write("zip64.zip", [("eicar.com", eicar)], zip64=True)
write("large.zip", [("large.bin", b"\0" * (101 << 20) + eicar)])
write("small.zip", [("a.txt", b"ok"), ("empty.txt", b""), ("dir/", b""), ("b.txt", b"some clean words " * 4)])
write("twice.zip", [("a.txt", b"the same words " * 9), ("b.txt", b"the same words " * 9)])
inner = io.BytesIO()
with zipfile.ZipFile(inner, "w") as z: z.writestr("x.txt", b"nested clean content here")
write("nested.zip", [("inner.zip", inner.getvalue()), ("readme.txt", b"readme text here")])
import bz2, gzip, lzma, tarfile
with zipfile.ZipFile(sys.argv[1] + "/lzma.zip", "w", zipfile.ZIP_LZMA) as z: z.writestr("eicar.com", eicar)
broken = bytearray(open(sys.argv[1] + "/lzma.zip", "rb").read())
for at in range(40, 60): broken[at] ^= 0x5A  # the member's compressed bytes
open(sys.argv[1] + "/broken-lzma.zip", "wb").write(bytes(broken))
open(sys.argv[1] + "/eicar.com.lzma", "wb").write(lzma.compress(eicar, format=lzma.FORMAT_ALONE))
letter = b"a clean letter, compressed as mail clients send them\n" * 40
open(sys.argv[1] + "/letter.lzma", "wb").write(lzma.compress(letter, format=lzma.FORMAT_ALONE))
for name, data in (("letter.gz", gzip.compress(letter)), ("letter.bz2", bz2.compress(letter)), ("letter.xz", lzma.compress(letter))):
    open(sys.argv[1] + "/" + name, "wb").write(data)
with tarfile.open(sys.argv[1] + "/letters.tar.xz", "w:xz") as t:
    info = tarfile.TarInfo("letter.txt"); info.size = len(letter); t.addfile(info, io.BytesIO(letter))
import random
open(sys.argv[1] + "/noise.bin", "wb").write(random.Random(5).randbytes(70000))
with tarfile.open(sys.argv[1] + "/damaged.tar", "w", format=tarfile.USTAR_FORMAT) as t:
    for name, data in (("letter.txt", letter), ("eicar.com", eicar)):
        info = tarfile.TarInfo(name); info.size = len(data); t.addfile(info, io.BytesIO(data))
damaged = bytearray(open(sys.argv[1] + "/damaged.tar", "rb").read())
second = 512 + (len(letter) + 511) // 512 * 512
damaged[second + 148:second + 156] = b"0000000\0"  # its header's checksum
open(sys.argv[1] + "/damaged.tar", "wb").write(bytes(damaged))
)";
  std::string command = "python3 -c '" + std::regex_replace(script, std::regex("'"), "'\\''") + "' " + folder;
  ASSERT_EQ(std::system(command.c_str()), 0);
  KernelSettingsRecord settings = Settings(DEMO_BASES_DIR);
  Start(settings);
  auto scan = [&](const char* name, std::string* description) {
    std::ifstream in(folder + "/" + name, std::ios::binary);
    return ScanBytes(std::string((std::istreambuf_iterator<char>(in)), {}), description);
  };
  std::string description;
  // Members the engine passes over (a ZIP64 entry, a ZIP member compressed
  // with LZMA, a file compressed whole with LZMA) are read by the kernel
  // itself and found by what they hold.
  for (const char* unopened : {"zip64.zip", "lzma.zip", "eicar.com.lzma"}) {
    EXPECT_EQ(scan(unopened, &description), ResultInfected) << unopened << ": " << description;
    EXPECT_EQ(description, "Eicar-Test-Signature.UNOFFICIAL") << unopened;
  }
  EXPECT_EQ(scan("letter.lzma", &description), ResultClean) << description;
  // What neither can read, or what is larger than a member may be, is not
  // clean: the scan did not finish.
  EXPECT_EQ(scan("broken-lzma.zip", &description), ResultIncomplete) << description;
  EXPECT_NE(description.find("eicar.com"), std::string::npos) << "the member is named: " << description;
  EXPECT_EQ(scan("large.zip", &description), ResultIncomplete) << description;
  // A member header no reader takes hides what follows it.
  EXPECT_EQ(scan("damaged.tar", &description), ResultIncomplete) << description;
  for (int round = 0; round < 2; ++round) {
    for (const char* clean : {"small.zip", "twice.zip", "nested.zip", "letter.gz", "letter.bz2", "letter.xz",
                              "letters.tar.xz", "noise.bin"}) {
      EXPECT_EQ(scan(clean, &description), ResultClean) << clean << ": " << description;
    }
    EXPECT_EQ(scan("zip64.zip", &description), ResultInfected) << "found the second time too";
  }
}

TEST_F(ScanKernelTest, DetectionNamesMapToVerdicts) {
  EXPECT_EQ(VerdictOfDetection("Win.Trojan.Agent-1"), VerdictInfected);
  EXPECT_EQ(VerdictOfDetection("Heuristics.Encrypted.Zip"), VerdictProtected);
  EXPECT_EQ(VerdictOfDetection("Heuristics.Limits.Exceeded.MaxFiles"), VerdictIncomplete);
  EXPECT_EQ(VerdictOfDetection("Heuristics.Broken.Executable"), VerdictSuspicious);
  EXPECT_EQ(VerdictOfDetection("PUA.Win.Tool.Netcat"), VerdictSuspicious);
  EXPECT_EQ(VerdictOfDetection("Heuristic.NotQuite"), VerdictInfected);
  const ScanResult expected[] = {ResultNotProcessed, ResultClean,   ResultInfected, ResultFailed,
                                 ResultSuspicious,     ResultIncomplete, ResultFailed,   ResultProtected};
  for (int verdict = 0; verdict < 8; ++verdict) EXPECT_EQ(ResultOfVerdict(verdict), expected[verdict]) << verdict;
  EXPECT_EQ(ResultOfVerdict(99), ResultFailed);
}

TEST_F(ScanKernelTest, EmptyUnreadableAndUnstartedFiles) {
  std::string description = "unchanged";
  EXPECT_EQ(ScanBytes(kEicar), ResultFailed) << "no kernel";
  EXPECT_LT(Open(Settings(work_ + "/no-bases")).hresult(), 0);
  EXPECT_EQ(kernel_, nullptr) << "a kernel that did not load is no kernel";
  Start(Settings(DEMO_BASES_DIR));
  EXPECT_EQ(ScanBytes(""), ResultClean) << "an empty file needs no engine";
  EXPECT_EQ(kernel_->ScanFile(u"/no/such/file", &description), ResultFailed);
  EXPECT_EQ(description, "unchanged");
}

TEST_F(ScanKernelTest, FailedReloadKeepsTheOldBasesScanning) {
  Start(Settings(DEMO_BASES_DIR));
  uint32_t count = 0;
  std::optional<BasesDate> date;
  ASSERT_TRUE(kernel_->BasesInfo(&count, &date).ok());
  EXPECT_EQ(count, 2u);
  ASSERT_TRUE(date.has_value());
  EXPECT_GE(date->year, 126);
  ASSERT_TRUE(kernel_->Configure(Settings(Folder("broken", "this is not a signature database\n"))).ok());
  EXPECT_LT(Reload(), 0);
  EXPECT_EQ(ScanBytes(kEicar), ResultInfected) << "the old engine still scans";
  ASSERT_TRUE(kernel_->BasesInfo(&count, &date).ok());
  EXPECT_EQ(count, 2u);
  ASSERT_TRUE(kernel_->Configure(Settings(Folder("empty", ""))).ok());
  EXPECT_LT(Reload(), 0) << "bases without a single signature do not load";
  ASSERT_TRUE(kernel_->Configure(Settings(DEMO_BASES_DIR)).ok());
  EXPECT_EQ(Reload(), S_OK);
  // A reload asked for while one loads is followed by another, and the
  // outcome of the last is what the finish gives.
  ASSERT_TRUE(kernel_->BeginReload().ok());
  ASSERT_TRUE(kernel_->BeginReload().ok());
  std::optional<Status> first = kernel_->FinishReload(true);
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(first->ok());
  std::optional<Status> second = kernel_->FinishReload(true);
  ASSERT_TRUE(second.has_value()) << "the reload asked for while one loaded";
  EXPECT_TRUE(second->ok());
  EXPECT_FALSE(kernel_->FinishReload(true).has_value()) << "none left";
}

// A file put into the bases folder while the engine reads it was never
// proven: the load is refused, as any folder that fails its proof.
TEST_F(ScanKernelTest, BasesChangedWhileTheEngineLoadsAreRefused) {
  // The second listing of the folder (the one after the load) sees a file
  // that came while the engine read.
  class ChangingFolder : public PlatformWrapper {
   public:
    ChangingFolder(Platform* target, std::string folder) : PlatformWrapper(target), folder_(std::move(folder)) {}
    notesapi::Status FolderList(std::u16string_view path, std::vector<FolderEntry>* entries) override {
      if (path == std::u16string(folder_.begin(), folder_.end()) && ++listings_ == 2) {
        std::ofstream(folder_ + "/late.hdb") << "44d88612fea8a8f36de82e1278abb02f:68:Late\n";
      }
      return PlatformWrapper::FolderList(path, entries);
    }

   private:
    std::string folder_;
    int listings_ = 0;
  };
  std::string bases = DemoBasesWith("changing", "extra.hdb", "0123456789abcdef0123456789abcdef:9:Extra\n");
  ChangingFolder changing(platform_.get(), bases);
  SetProcessPlatform(&changing);
  std::unique_ptr<ScanKernel> kernel;
  Status opened = ScanKernel::Open({ConfiguredKernelEngine(&changing), Settings(bases)}, &changing, &kernel);
  SetProcessPlatform(platform_.get());
  EXPECT_EQ(opened.hresult(), ZUL_E_BASES_NOT_PROVEN) << opened.ToString();
  EXPECT_EQ(kernel, nullptr);
  bool said = false;
  for (const std::string& line : Lines()) said = said || line.find("файлы папки изменились, пока базы загружались") != std::string::npos;
  EXPECT_TRUE(said) << "the refusal says why";
}

TEST_F(ScanKernelTest, EngineChoiceComesFromNotesIni) {
  SetIni("ZulScanKernel", "telepathy");
  KernelOpenStep failed = KernelOpenStep::kStart;
  EXPECT_EQ(ScanKernel::Open({ConfiguredKernelEngine(platform_.get()), Settings(DEMO_BASES_DIR)}, platform_.get(),
                             &kernel_, &failed).hresult(), ZUL_E_BAD_ADDRESS);
  EXPECT_EQ(failed, KernelOpenStep::kEngine);
  SetIni("ZulScanKernel", "clamd:unix:" + work_ + "/nobody.sock");
  EXPECT_EQ(ScanKernel::Open({ConfiguredKernelEngine(platform_.get()), Settings(DEMO_BASES_DIR)}, platform_.get(),
                             &kernel_, &failed).hresult(), ZUL_E_REMOTE_UNAVAILABLE) << "a clamd that is down";
  EXPECT_EQ(failed, KernelOpenStep::kStart);
  EXPECT_EQ(ScanBytes(kEicar), ResultFailed);
}

}  // namespace
}  // namespace zul::testing
