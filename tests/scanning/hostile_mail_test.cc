// Mail made to get a payload past the scanner: readings of the MIME that
// readers part on, containers the engine does not open, mail made to cost
// the server, names a client shows other than the filter sees. Each is
// judged by what lenient readers (Python's email, munpack, ripmime) still
// get out of what is delivered.
#include <filesystem>

#include "mailmonitor/scan_attempts.h"
#include "scanning/scan_steps.h"
#include "tests/scanning/scan_driver_fixture.h"

namespace zul::testing {
namespace {

const std::string kEicar64 = "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\nLUZJTEUhJEgrSCo=\n";
const std::string kHead = "From: ivan@example.com\nTo: anna@example.com\nSubject: hostile\nMIME-Version: 1.0\n";

std::string Mixed(const std::string& boundaryParameter, const std::string& parts) {
  return kHead + "Content-Type: multipart/mixed; " + boundaryParameter + "\n\n" + parts;
}

class HostileMailTest : public ScanDriverTest {
 protected:
  // What lenient readers get out of the delivered message (empty: nothing).
  std::string PayloadsOut(const std::string& delivered) {
    std::string path = server_.directory() + "/delivered.eml";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << delivered;
    std::string found;
    return RunCommand("/usr/bin/python3 " PAYLOAD_CHECK " " + path, &found) == 0 ? std::string() : found;
  }
  // Each message through the running monitor: released, nothing gets out,
  // and what took the payload was the part that holds it under some
  // reading, not the engine's reading of the whole message, the last net.
  void ExpectNothingGetsOut(const std::vector<std::pair<std::string, std::string>>& attacks) {
    std::vector<NoteId> ids;
    for (const auto& [what, message] : attacks) ids.push_back(SubmitMime(message));
    ASSERT_TRUE(Run().ok());
    for (size_t i = 0; i < attacks.size(); ++i) {
      EXPECT_FALSE(Held(ids[i])) << attacks[i].first;
      std::string delivered = Exported(ids[i]);
      EXPECT_EQ(PayloadsOut(delivered), "") << attacks[i].first << ":\n" << delivered;
      EXPECT_EQ(delivered.find("Message (as sent)"), std::string::npos) << attacks[i].first << ": only the last net caught it";
    }
  }
};

// Where readers part on the MIME, every reading is scanned: a header block a
// lenient reader reads past, fields and parameters given twice, boundaries
// read trimmed, decoded or empty, lone carriage returns, the decoders'
// differences, message types read as messages, text in wide and EBCDIC sets.
TEST_F(HostileMailTest, EveryReadingAClientMayTakeIsScanned) {
  AddEicarPattern();
  const std::string text = "--B\nContent-Type: text/plain\n\nhello\n";
  const std::string attachment = "--B\nContent-Type: application/octet-stream; name=\"a.com\"\n";
  std::string utf16;
  for (char c : kEicar) utf16 += std::string(1, c);  // the bytes as sent, declared another set
  ExpectNothingGetsOut({
      {"a line a strict reader stops at", Mixed("boundary=\"B\"", text + attachment + ":junk\nContent-Transfer-Encoding: base64\n\n" + kEicar64 + "--B--\n")},
      {"a From line in the part's header", Mixed("boundary=\"B\"", text + attachment + "From someone\nContent-Transfer-Encoding: base64\n\n" + kEicar64 + "--B--\n")},
      {"a header that starts with white space",
       Mixed("boundary=\"B\"", text + "--B\n Content-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n" + kEicar64 + "--B--\n")},
      {"lone carriage returns",
       kHead + "Content-Type: multipart/mixed; boundary=\"B\"\r\r--B\rContent-Type: text/plain\r\rhello\r--B\r"
               "Content-Type: application/octet-stream\rContent-Transfer-Encoding: base64\r\r" + kEicar64 + "--B--\r"},
      {"an empty boundary", Mixed("boundary=\"\"", "--\nContent-Type: text/plain\n\nhello\n--\nContent-Transfer-Encoding: base64\n\n" + kEicar64 + "----\n")},
      {"a boundary with a blank at its end", Mixed("boundary=\"B \"", text + attachment + "Content-Transfer-Encoding: base64\n\n" + kEicar64 + "--B--\n")},
      {"a boundary as an encoded word", Mixed("boundary=\"=?us-ascii?Q?B?=\"", text + attachment + "Content-Transfer-Encoding: base64\n\n" + kEicar64 + "--B--\n")},
      {"two Content-Type fields",
       kHead + "Content-Type: multipart/mixed; boundary=\"B\"\nContent-Type: text/plain\n\n" + text + attachment +
           "Content-Transfer-Encoding: base64\n\n" + kEicar64 + "--B--\n"},
      {"two boundary parameters", Mixed("boundary=\"A\"; boundary=\"B\"", text + attachment + "Content-Transfer-Encoding: base64\n\n" + kEicar64 + "--B--\n")},
      {"two transfer encodings", Mixed("boundary=\"B\"", text + attachment + "Content-Transfer-Encoding: 7bit\nContent-Transfer-Encoding: base64\n\n" + kEicar64 + "--B--\n")},
      {"uue", Mixed("boundary=\"B\"", text + attachment + "Content-Transfer-Encoding: uue\n\nbegin 644 a.com\n"
                                                              "M6#5/(5`E0$%06S1<4%I8-30H4%XI-T-#*3=])$5)0T%2+5-404Y$05)$+4%.\n"
                                                              "C5$E625)54RU415-4+49)3$4A)$@K2\"H`\n`\nend\n--B--\n")},
      {"a begin line with no name", Mixed("boundary=\"B\"", text + attachment + "Content-Transfer-Encoding: x-uuencode\n\nbegin 6\n"
                                                                                  "M6#5/(5`E0$%06S1<4%I8-30H4%XI-T-#*3=])$5)0T%2+5-404Y$05)$+4%.\n"
                                                                                  "C5$E625)54RU415-4+49)3$4A)$@K2\"H`\n`\nend\n--B--\n")},
      {"an = inside a base64 group",
       Mixed("boundary=\"B\"", text + attachment + "Content-Transfer-Encoding: base64\n\nWD=VPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\nLUZJTEUhJEgrSCo=\n--B--\n")},
      {"= before a lone carriage return",
       Mixed("boundary=\"B\"", text + attachment + "Content-Transfer-Encoding: quoted-printable\n\nX5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-=\rjunk\nANTIVIRUS-TEST-FILE!$H+H*\n--B--\n")},
      {"message/external-body",
       Mixed("boundary=\"B\"", text + "--B\nContent-Type: message/external-body; access-type=x-mail\n\nContent-Type: application/octet-stream\n"
                                      "Content-Transfer-Encoding: base64\n\n" + kEicar64 + "--B--\n")},
      {"message/x-anything",
       Mixed("boundary=\"B\"", text + "--B\nContent-Type: message/x-anything\n\nContent-Type: application/octet-stream\n"
                                      "Content-Transfer-Encoding: base64\n\n" + kEicar64 + "--B--\n")},
      {"text declared UTF-16", kHead + "Content-Type: text/plain; charset=utf-16le\n\n" + utf16 + "\n"},
      {"text declared EBCDIC", kHead + "Content-Type: text/plain; charset=cp037\n\n" + kEicar + "\n"},
  });
}

// The engine's own reading of the whole message is the last net: what only
// it finds takes the body and every attachment, with the report.
ScanResult WholeMessageOnlyKernel(std::u16string_view scanCopy, std::string* description) {
  std::string data;
  if (ProcessPlatform()->FileRead(scanCopy, &data) != kNoError) return ResultFailed;
  if (data.rfind("From: ivan@example.com", 0) != 0) return ResultClean;  // the message as sent starts so
  *description = "Test.Seen.Only.Whole";
  return ResultInfected;
}

TEST_F(HostileMailTest, WhatOnlyTheEnginesReadingFindsTakesBodyAndAttachments) {
  const std::string message =
      Mixed("boundary=\"B\"", "--B\nContent-Type: text/plain\n\nthe body\n--B\nContent-Type: application/octet-stream; "
                              "name=\"a.bin\"\n\nattachment bytes\n--B--\n");
  NoteId id = SubmitMime(message);
  SetKernelScanFunction(WholeMessageOnlyKernel);
  ASSERT_TRUE(Run().ok());
  SetKernelScanFunction(nullptr);
  EXPECT_FALSE(Held(id));
  std::string delivered = Exported(id);
  EXPECT_EQ(delivered.find("the body"), std::string::npos) << delivered;
  EXPECT_EQ(delivered.find("attachment bytes"), std::string::npos) << delivered;
  EXPECT_NE(delivered.find("Test.Seen.Only.Whole"), std::string::npos) << "the report says what";
  EXPECT_NE(delivered.find("name=\"a.bin\""), std::string::npos) << "the parts keep their headers";
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 1u) << "the message as sent is kept";
}

// Every container is opened or is not clean: archives the engine does not
// open inside one it does, a second compressed stream, disk images, BinHex
// after other text; an ARJ with a password is protected.
TEST_F(HostileMailTest, EveryContainerIsOpenedOrNotClean) {
  AddEicarPattern();
  const std::string dir = server_.directory() + "/containers";
  std::filesystem::create_directories(dir + "/d");
  std::ofstream(dir + "/eicar.com", std::ios::binary) << kEicar;
  std::filesystem::copy_file("/usr/share/clamav-testfiles/clam.exe", dir + "/d/clam.exe");
  std::string out;
  ASSERT_EQ(RunCommand("cd " + dir + " && /usr/bin/7z a -m0=BZip2 -bso0 -bsp0 inner.7z eicar.com && /usr/bin/zip -q 7z-in-zip.zip inner.7z"
                       " && /usr/bin/tar --use-compress-program=/usr/bin/zstd -cf e.tar.zst eicar.com && /usr/bin/zip -q zst-in-zip.zip e.tar.zst"
                       " && (echo clean text | /usr/bin/bzip2; /usr/bin/bzip2 -c eicar.com) > multi.bz2"
                       " && /usr/bin/arj a -gsecret -y e.arj eicar.com > /dev/null"
                       " && (printf 'one\\ntwo\\nthree\\n'; /usr/bin/binhex -r eicar.com) > e.hqx"
                       " && /usr/bin/dd if=/dev/zero of=fat.img bs=1k count=1440 status=none && /usr/sbin/mkfs.fat fat.img > /dev/null"
                       " && /usr/bin/mcopy -i fat.img d/clam.exe ::clam.exe"
                       " && /usr/bin/dd if=/dev/zero of=ext.img bs=1k count=1024 status=none && /usr/sbin/mke2fs -q -d d ext.img"
                       " && /usr/bin/mksquashfs d sq.img -quiet > /dev/null",
                       &out),
            0)
      << out;
  struct Container {
    std::string file;
    std::string report;  // what the report says it was
  };
  const std::vector<Container> containers = {
      {"7z-in-zip.zip", "Test.Eicar.Pattern"}, {"zst-in-zip.zip", "Test.Eicar.Pattern"}, {"multi.bz2", "Test.Eicar.Pattern"},
      {"e.hqx", "Test.Eicar.Pattern"},         {"fat.img", "FAT volume"},                {"ext.img", "ext2/3/4 file system"},
      {"sq.img", "squashfs image"},            {"e.arj", "Heuristics.Encrypted.ARJ"},
  };
  std::vector<NoteId> ids;
  std::vector<std::string> messages;
  for (const Container& c : containers) {
    messages.push_back(Mixed("boundary=\"B\"", "--B\nContent-Type: text/plain\n\nsee the file\n--B\nContent-Type: application/octet-stream; name=\"" +
                                                   c.file + "\"\nContent-Transfer-Encoding: base64\n\n" +
                                                   Base64Lines(ReadFile(dir + "/" + c.file)) + "--B--\n"));
    ids.push_back(SubmitMime(messages.back()));
  }
  ASSERT_TRUE(Run().ok());
  for (size_t i = 0; i < containers.size(); ++i) {
    const Container& c = containers[i];
    EXPECT_FALSE(Held(ids[i])) << c.file;
    std::string delivered = Exported(ids[i]);
    EXPECT_NE(delivered.find(c.report), std::string::npos) << c.file << ":\n" << delivered;
    bool kept = delivered.find(Base64Lines(ReadFile(dir + "/" + c.file)).substr(0, 60)) != std::string::npos;
    EXPECT_EQ(kept, c.file == "e.arj") << c.file << ": removed, but the protected one, which passes with its report";
  }
}

// A name a client shows is the name the filter sees: the first of two
// dispositions, a name cut at a zero byte, a name with an NTFS stream.
TEST_F(HostileMailTest, TheNameFilterSeesEveryNameAClientMayShow) {
  auto named = [](const std::string& dispositions) {
    return Mixed("boundary=\"B\"", "--B\nContent-Type: text/plain\n\nsee attached\n--B\nContent-Type: application/octet-stream\n" +
                                       dispositions + "\nharmless bytes\n--B--\n");
  };
  std::vector<std::pair<std::string, std::string>> shapes = {
      {"two dispositions", named("Content-Disposition: attachment; filename=\"invoice.exe\"\nContent-Disposition: attachment; filename=\"invoice.txt\"\n")},
      {"a zero byte in the name", named(std::string("Content-Disposition: attachment; filename=\"invoice.exe") + '\0' + ".txt\"\n")},
      {"a zero byte encoded", named("Content-Disposition: attachment; filename*=utf-8''invoice.exe%00.txt\n")},
      {"an NTFS stream", named("Content-Disposition: attachment; filename=\"invoice.exe::$DATA\"\n")},
      {"a named stream", named("Content-Disposition: attachment; filename=\"invoice.exe:hidden.txt\"\n")},
  };
  std::vector<NoteId> ids;
  for (const auto& [what, message] : shapes) ids.push_back(SubmitMime(message));
  ASSERT_TRUE(Run().ok());
  for (size_t i = 0; i < shapes.size(); ++i) {
    std::string delivered = Exported(ids[i]);
    EXPECT_EQ(delivered.find("harmless bytes"), std::string::npos) << shapes[i].first << ":\n" << delivered;
    EXPECT_NE(delivered.find("имя файла запрещено"), std::string::npos) << shapes[i].first;
  }
}

// One mail cannot hold the monitor for long: past notes.ini
// ZulMailMonitorMailTimeLimit the objects left are scans that did not
// finish, and the mail goes on.
ManualClock* g_testClock = nullptr;

ScanResult SlowKernel(std::u16string_view, std::string*) {
  g_testClock->AdvanceSeconds(40);  // each object takes 40 s of the test's clock
  return ResultClean;
}

TEST_F(HostileMailTest, AMailPastItsTimeGoesOnWithWhatWasNotScannedRemoved) {
  SetIni("ZulMailMonitorMailTimeLimit", "100");
  std::string parts = "--B\nContent-Type: text/plain\n\nhello\n";
  for (int i = 0; i < 5; ++i) {
    parts += "--B\nContent-Type: application/octet-stream; name=\"f" + std::to_string(i) + ".bin\"\n\nbytes " + std::to_string(i) + "\n";
  }
  NoteId id = SubmitMime(Mixed("boundary=\"B\"", parts + "--B--\n"));
  g_testClock = clock_.get();
  SetKernelScanFunction(SlowKernel);
  ASSERT_TRUE(Run().ok());
  SetKernelScanFunction(nullptr);
  EXPECT_FALSE(Held(id));
  std::string delivered = Exported(id);
  EXPECT_NE(delivered.find("bytes 0"), std::string::npos) << "scanned in time: kept";
  EXPECT_EQ(delivered.find("bytes 4"), std::string::npos) << "past the time: removed\n" << delivered;
  EXPECT_NE(delivered.find(kMailTimeLimitName), std::string::npos) << "the report says why";
}

// A mail that made the monitor die twice is set aside: held, told of once,
// and not scanned again until an administrator asks.
TEST_F(HostileMailTest, AMailThatStoppedTheMonitorTwiceIsSetAside) {
  NoteId poison = SubmitMime(kMimeWithEicar);
  NoteId next = SubmitMime(Mixed("boundary=\"B\"", "--B\nContent-Type: text/plain\n\nthe mail behind it\n--B--\n"));
  const std::string work = server_.directory() + "/tmp/zulmailmonitor";
  // What a monitor that died in the middle of the scan leaves: the mark.
  auto dieWhileScanning = [&] {
    char mark[32];
    std::snprintf(mark, sizeof mark, "%08x|mail.box", poison);
    std::filesystem::create_directories(work);
    std::ofstream(work + "/ZulScanning") << mark;
  };
  dieWhileScanning();
  platform_->idleCalls = 0;
  platform_->stopAtIdleCall = 1;  // a start that counts the death and stops before any request
  ASSERT_TRUE(MailMonitorTaskMain(host_->ResourceModule(), 0, nullptr).ok());
  dieWhileScanning();
  ASSERT_TRUE(Run().ok());  // counts the second, then the requests come
  EXPECT_TRUE(Held(poison));
  EXPECT_FALSE(Held(next)) << "the mail behind it goes on";
  const std::string warning =
      "Документ 0x08f8 отложен: его проверка дважды остановила монитор; повторите запрос: zulctl mail requeue --set-aside.";
  EXPECT_EQ(Count(warning), 1) << Joined();
  Post(poison);
  ASSERT_TRUE(Run().ok());
  EXPECT_TRUE(Held(poison)) << "a request alone does not scan it again";
  EXPECT_EQ(Count(warning), 1) << "told of once";
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 0u) << "never scanned since";
}

}  // namespace
}  // namespace zul::testing
