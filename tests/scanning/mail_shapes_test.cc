// What recipients get of everyday mail through the running monitor: clean
// mail as it came, changed mail with nothing but the change, and the names,
// bodies and depths a sender could hide content behind.
#include <random>

#include "tests/scanning/scan_driver_fixture.h"

namespace zul::testing {
namespace {

// Infected mail of everyday shapes: what the recipient gets keeps every
// header field, the MIME tree and every clean part; only the infected part
// holds the placeholder, and the report is in the text. Python's email
// package is the referee.
TEST_F(ScanDriverTest, AChangedMailKeepsEverythingButWhatWasRemoved) {
  const std::string eicar64 = "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\nLUZJTEUhJEgrSCo=\n";
  const std::string headers =
      "Received: from mx.example.com (mx.example.com [192.0.2.1])\n\tby relay.example.org; Tue, 8 Dec 2026 10:00:00 +0300\n"
      "DKIM-Signature: v=1; a=rsa-sha256; d=example.com; s=sel;\n\tbh=abc=; b=def\n"
      "Date: Tue, 8 Dec 2026 10:00:00 +0300\nMessage-ID: <m1@example.com>\nIn-Reply-To: <m0@example.com>\n"
      "References: <m0@example.com>\nReply-To: list@example.com\nList-Id: <team.example.com>\nX-Mailer: Thunderbird\n"
      "From: =?UTF-8?B?0JjQstCw0L0=?= <ivan@example.com>\nTo: anna@example.com\n"
      "Subject: =?utf-8?b?0JTQstCwIA==?= =?utf-8?b?0J7QtNC40L0g?=\nMIME-Version: 1.0\n";
  const std::string attachment = "--b\nContent-Type: application/x-msdownload; name=\"setup.com\"\n"
                                 "Content-Disposition: attachment; filename=\"setup.com\"\nContent-Transfer-Encoding: base64\n\n" +
                                 eicar64;
  const std::string pdf = "--b\nContent-Type: application/pdf; name=\"report.pdf\"\nContent-Transfer-Encoding: base64\n\n"
                          "JVBERi0xLjQKJcfsj6IKMSAwIG9iago8PC9UeXBlL0NhdGFsb2c+PgplbmRvYmoK\n";
  std::vector<std::string> shapes = {
      // plain text and attachments
      headers + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain; charset=utf-8\n\n"
                "Привет, see the files.\n" + attachment + pdf + "--b--\n",
      // alternative text and HTML, with CRLF line ends
      [&] {
        std::string m = headers + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\n"
                        "Content-Type: multipart/alternative; boundary=\"a\"\n\n--a\nContent-Type: text/plain; charset=koi8-r\n"
                        "Content-Transfer-Encoding: base64\n\n8NLJ18XUIQo=\n--a\nContent-Type: text/html; charset=utf-8\n"
                        "Content-Transfer-Encoding: quoted-printable\n\n<html><body><p>=D0=9F=D1=80=D0=B8=D0=B2=D0=B5=D1=82</p></body></html>\n"
                        "--a--\n" + attachment + "--b--\n";
        std::string crlf;
        for (char c : m) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return crlf;
      }(),
      // HTML with an inline image
      headers + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: multipart/related; boundary=\"r\"\n\n"
                "--r\nContent-Type: text/html; charset=us-ascii\n\n<html><body><img src=\"cid:logo@x\"></body></html>\n"
                "--r\nContent-Type: image/png\nContent-ID: <logo@x>\nContent-Transfer-Encoding: base64\n\niVBORw0KGgo=\n--r--\n" +
                attachment + "--b--\n",
      // a forwarded message that carries the virus
      headers + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nforwarded below\n"
                "--b\nContent-Type: message/rfc822\n\nFrom: x@example.com\nSubject: old\nMIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=\"in\"\n\n--in\nContent-Type: text/plain\n\nold text\n"
                "--in\nContent-Type: application/octet-stream; name=\"old.com\"\nContent-Transfer-Encoding: base64\n\n" +
                eicar64 + "--in--\n\n--b--\n",
      // a uuencoded payload inside quoted-printable text
      headers + "Content-Type: text/plain; charset=us-ascii\nContent-Transfer-Encoding: quoted-printable\n\n"
                "Here it is:\n\nbegin 644 eicar.com\nM6#5/(5`E0$%06S1<4%I8-30H4%XI-T-#*3=])$5)0T%2+5-404Y$05)$+4%.\n"
                "C5$E625)54RU415-4+49)3$4A)$@K2\"H`\n`\nend\n\nregards\n",
      // signed: the signature part stays as it came
      headers + "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha-256; boundary=\"s\"\n\n"
                "--s\nContent-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain; charset=utf-8\n\n"
                "signed text\n" + attachment + "--b--\n\n--s\nContent-Type: application/pkcs7-signature; name=\"smime.p7s\"\n"
                "Content-Transfer-Encoding: base64\n\nMIAGCSqGSIb3DQEHAqCAMIACAQEx\n--s--\n",
      // an invitation, and undeclared 8-bit Cyrillic text, and an RFC 2231 name
      headers + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n"
                "Content-Transfer-Encoding: 8bit\n\n\xcf\xf0\xe8\xe2\xe5\xf2\n--b\nContent-Type: text/calendar; method=REQUEST\n\n"
                "BEGIN:VCALENDAR\nEND:VCALENDAR\n--b\nContent-Type: application/octet-stream\n"
                "Content-Disposition: attachment; filename*=utf-8''%D0%BE%D1%82%D1%87%D1%91%D1%82.com\n"
                "Content-Transfer-Encoding: base64\n\n" + eicar64 + "--b--\n",
      // a single attachment and no text at all
      "From: copier@example.com\nTo: anna@example.com\nSubject: scan\nDate: Tue, 8 Dec 2026 10:00:00 +0300\n"
      "MIME-Version: 1.0\nContent-Type: application/octet-stream; name=\"scan.com\"\nContent-Transfer-Encoding: base64\n\n" +
          eicar64,
      // a program longer than what replaces it, and no text: the mail shrinks
      "From: copier@example.com\nTo: anna@example.com\nSubject: tool\nDate: Tue, 8 Dec 2026 10:00:00 +0300\n"
      "MIME-Version: 1.0\nContent-Type: application/octet-stream; name=\"tool.exe\"\nContent-Transfer-Encoding: base64\n\n" +
          [] {
            std::string lines;
            for (int i = 0; i < 64; ++i) lines += std::string(76, 'A' + i % 26) + "\n";
            return lines;
          }(),
  };
  for (size_t i = 0; i < shapes.size(); ++i) {
    NoteId id = SubmitMime(shapes[i]);
    ASSERT_TRUE(Run().ok());
    EXPECT_FALSE(Held(id)) << i;
    std::string exported = Exported(id);
    EXPECT_EQ(RefereeFaults(shapes[i], exported), "") << "shape " << i << ":\n" << exported;
    if (std::getenv("SHOW_SHAPES")) std::cerr << exported << "\n=====\n";
  }
}


// What a finding takes is decided by the part's role, never by its type
// alone: an HTML attachment, a second inline text, the body of a forwarded
// message, a digest entry each go alone; the mail's own body keeps its text
// and gets the report, and an attached message is never written into.
TEST_F(ScanDriverTest, EveryPartIsJudgedByItsRole) {
  AddEicarPattern();
  const std::string eicar64 = "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\nLUZJTEUhJEgrSCo=\n";
  const std::string head = "From: ivan@example.com\nTo: anna@example.com\nSubject: roles\nDate: Tue, 8 Dec 2026 10:00:00 +0300\n"
                           "Message-ID: <roles@example.com>\nMIME-Version: 1.0\n";
  const std::string page = "<html><body><p>Hello</p><pre>" + kEicar + "</pre></body></html>\n";
  const std::vector<std::pair<std::string, std::string>> shapes = {
      {"an infected HTML attachment",
       head + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nthe page is attached\n"
              "--b\nContent-Type: text/html; name=\"page.html\"\nContent-Disposition: attachment; filename=\"page.html\"\n\n" +
           page + "--b--\n"},
      {"an infected second inline text",
       head + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nthe real body\n"
              "--b\nContent-Type: text/plain\nContent-Disposition: inline\n\nfooter " + kEicar + "\n--b--\n"},
      {"a forwarded message with an infected body",
       head + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nforwarded below\n"
              "--b\nContent-Type: message/rfc822\n\nFrom: old@example.com\nSubject: old\n\nold text " + kEicar +
           "\n\n--b--\n"},
      {"a digest whose entries say no type",
       head + "Content-Type: multipart/digest; boundary=\"d\"\n\n--d\n\nFrom: a@example.com\nSubject: one\n\nfirst entry\n"
              "--d\n\nFrom: b@example.com\nSubject: two\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"in\"\n\n"
              "--in\nContent-Type: text/plain\n\nsecond entry\n--in\nContent-Type: application/octet-stream; name=\"x.com\"\n"
              "Content-Transfer-Encoding: base64\n\n" + eicar64 + "--in--\n\n--d--\n"},
      {"an HTML body beside a forwarded text message",
       head + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/html\n\n<html><body><p>hi</p></body></html>\n"
              "--b\nContent-Type: message/rfc822\n\nFrom: old@example.com\nSubject: old\n\nold text\n"
              "--b\nContent-Type: application/octet-stream; name=\"eicar.com\"\nContent-Transfer-Encoding: base64\n\n" +
           eicar64 + "--b--\n"},
      {"x-uuencode",
       head + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nsee the file\n"
              "--b\nContent-Type: application/octet-stream; name=\"eicar.com\"\nContent-Transfer-Encoding: x-uuencode\n\n"
              "begin 644 eicar.com\nM6#5/(5`E0$%06S1<4%I8-30H4%XI-T-#*3=])$5)0T%2+5-404Y$05)$+4%.\n"
              "C5$E625)54RU415-4+49)3$4A)$@K2\"H`\n`\nend\n--b--\n"},
      {"an infected 7bit attachment in a mail of LF line ends",
       head + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nsee the file\n"
              "--b\nContent-Type: application/octet-stream; name=\"e.com\"\nContent-Transfer-Encoding: 7bit\n\n" + kEicar +
           "\n--b--\n"},
      {"the test string in an HTML-only body", head + "Content-Type: text/html; charset=us-ascii\n\n" + page},
      {"two long alternatives beside an infected attachment",
       head + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: multipart/alternative; boundary=\"a\"\n\n"
              "--a\nContent-Type: text/plain\n\n" + [] {
                std::string text;
                for (int i = 0; i < 1500; ++i) text += "line " + std::to_string(i) + " of the first text, long enough to fill a body\n";
                return text;
              }() + "--a\nContent-Type: text/plain\n\n" + [] {
                std::string text;
                for (int i = 0; i < 1500; ++i) text += "line " + std::to_string(i) + " of the SECOND text, as long as the first\n";
                return text;
              }() + "--a--\n--b\nContent-Type: application/octet-stream; name=\"e.com\"\nContent-Transfer-Encoding: base64\n\n" +
           eicar64 + "--b--\n"},
  };
  for (const auto& [what, message] : shapes) {
    NoteId id = SubmitMime(message);
    ASSERT_TRUE(Run().ok());
    EXPECT_FALSE(Held(id)) << what;
    std::string delivered = Exported(id);
    EXPECT_EQ(RefereeFaults(message, delivered), "") << what << ":\n" << delivered;
    if (std::getenv("SHOW_SHAPES")) std::cerr << "==== " << what << "\n" << delivered;
  }
}

// A signed multipart holds what was signed and its signature, and nothing
// else: the report of a mail without a text part goes into a new multipart
// around it.
TEST_F(ScanDriverTest, TheReportGoesAroundASignedMultipart) {
  AddEicarPattern();
  const std::string signedPart =
      "Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; micalg=pgp-sha256; boundary=\"s\"\n\n"
      "--s\nContent-Type: multipart/mixed; boundary=\"m\"\n\n--m\nContent-Type: image/png; name=\"logo.png\"\n\npng bytes\n"
      "--m\nContent-Type: application/octet-stream; name=\"e.com\"\n\n" + kEicar + "\n--m--\n\n"
      "--s\nContent-Type: application/pgp-signature\n\nsignature\n--s--\n";
  const std::string message = "From: ivan@example.com\nTo: anna@example.com\nSubject: signed\nMIME-Version: 1.0\n" + signedPart;
  NoteId id = SubmitMime(message);
  ASSERT_TRUE(Run().ok());
  std::string delivered = Exported(id);
  EXPECT_EQ(delivered.find(kEicar), std::string::npos) << delivered;
  EXPECT_EQ(delivered.find("--s\nContent-Type: text/plain; charset=utf-8"), std::string::npos)
      << "the report is no part of what was signed:\n" << delivered;
  EXPECT_NE(delivered.find("Content-Type: multipart/mixed; boundary=\"=_tervala_report"), std::string::npos) << delivered;
  size_t report = delivered.find("Content-Type: text/plain; charset=utf-8");
  EXPECT_LT(report, delivered.find("Content-Type: multipart/signed")) << "the report comes first, beside it";
}

// An opaque-signed S/MIME message is read as its client reads it; a finding
// inside replaces the whole signed part, which cannot be edited without
// breaking the signature. One sent encrypted is protected content.
TEST_F(ScanDriverTest, SmimeIsOpenedAsItsReadersOpenIt) {
  AddEicarPattern();
  const std::string dir = server_.directory();
  std::string out;
  ASSERT_EQ(RunCommand("/usr/bin/openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=sender -days 2 -keyout " + dir +
                           "/key.pem -out " + dir + "/cert.pem",
                       &out),
            0)
      << out;
  auto smime = [&](const std::string& operation, const std::string& inner) {
    std::ofstream(dir + "/inner.eml", std::ios::binary | std::ios::trunc) << inner;
    std::string command = operation == "sign" ? "/usr/bin/openssl smime -sign -nodetach -signer " + dir + "/cert.pem -inkey " +
                                                    dir + "/key.pem -in " + dir + "/inner.eml"
                                              : "/usr/bin/openssl smime -encrypt -aes256 -in " + dir + "/inner.eml " + dir +
                                                    "/cert.pem";
    std::string made;
    EXPECT_EQ(RunCommand(command, &made), 0) << made;
    std::string lf;
    for (char c : made) {
      if (c != '\r') lf += c;
    }
    return "From: ivan@example.com\nTo: anna@example.com\nSubject: signed\n" + lf;
  };
  const std::string infectedInner = "Content-Type: multipart/mixed; boundary=\"in\"\n\n--in\nContent-Type: text/plain\n\nsigned\n"
                                    "--in\nContent-Type: application/octet-stream; name=\"tool.com\"\n\n" + kEicar + "\n--in--\n";
  const std::string cleanInner = "Content-Type: text/plain\n\nsigned and harmless\n";
  std::string infected = smime("sign", infectedInner);
  std::string clean = smime("sign", cleanInner);
  std::string sealed = smime("encrypt", infectedInner);
  NoteId infectedId = SubmitMime(infected);
  NoteId cleanId = SubmitMime(clean);
  NoteId sealedId = SubmitMime(sealed);
  ASSERT_TRUE(Run(3).ok());
  std::string delivered = Exported(infectedId);
  EXPECT_EQ(RefereeFaults(infected, delivered), "") << delivered;
  EXPECT_EQ(Exported(cleanId), clean) << "signed and clean: byte for byte";
  std::string sealedOut = Exported(sealedId);
  EXPECT_NE(sealedOut.find("защищенный объект, проверка невозможна (Heuristics.Encrypted.SMIME)"), std::string::npos)
      << sealedOut;
}

// What the engine does not open, the kernel does: a ZIP whose members are
// compressed with LZMA and a Zstandard tar arrive when clean and lose their
// payload when not; neither is deleted as a scan that did not finish.
TEST_F(ScanDriverTest, ArchivesTheEngineDoesNotOpenAreOpened) {
  AddEicarPattern();
  const std::string dir = server_.directory();
  std::ofstream(dir + "/eicar.com", std::ios::binary) << kEicar;
  std::ofstream(dir + "/notes.txt", std::ios::binary) << "minutes of the meeting, nothing else\n";
  std::string out;
  ASSERT_EQ(RunCommand("cd " + dir + " && /usr/bin/python3 -c \"import zipfile\n"
                           "for name, member in (('clean.zip', 'notes.txt'), ('bad.zip', 'eicar.com')):\n"
                           "    with zipfile.ZipFile(name, 'w', zipfile.ZIP_LZMA) as z: z.write(member)\" && "
                           "/usr/bin/tar --use-compress-program=/usr/bin/zstd -cf clean.tar.zst notes.txt && "
                           "/usr/bin/tar --use-compress-program=/usr/bin/zstd -cf bad.tar.zst eicar.com",
                       &out),
            0)
      << out;
  for (const char* archive : {"clean.zip", "bad.zip", "clean.tar.zst", "bad.tar.zst"}) {
    std::string message = "From: ivan@example.com\nTo: anna@example.com\nSubject: archive\nMIME-Version: 1.0\n"
                          "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nattached\n"
                          "--b\nContent-Type: application/octet-stream; name=\"" + std::string(archive) + "\"\n"
                          "Content-Transfer-Encoding: base64\n\n" + Base64Lines(ReadFile(dir + "/" + archive)) + "--b--\n";
    NoteId id = SubmitMime(message);
    ASSERT_TRUE(Run().ok());
    std::string delivered = Exported(id);
    if (std::string(archive).rfind("clean", 0) == 0) {
      EXPECT_EQ(delivered, message) << archive << " is clean and arrives as sent";
      continue;
    }
    // The referee cannot look inside an archive: the part must simply be gone.
    EXPECT_EQ(delivered.find(Base64Lines(ReadFile(dir + "/" + archive)).substr(0, 60)), std::string::npos) << archive;
    EXPECT_NE(delivered.find("name=\"" + std::string(archive) + "\""), std::string::npos) << "the part keeps its headers";
    EXPECT_NE(delivered.find("Test.Eicar.Pattern"), std::string::npos) << "the report names what was found\n" << delivered;
  }
  EXPECT_FALSE(LoggedStart("проверка не завершена")) << Joined();
}


// Parts larger than the host keeps in memory go through on disk: what the
// name filter took is kept in quarantine byte for byte, a large part it let
// pass arrives as sent, and no copy is left behind.
TEST_F(ScanDriverTest, LargePartsArriveAndAreKeptWhole) {
  std::mt19937 random(7);
  std::string big(4 << 20, '\0');
  for (char& c : big) c = static_cast<char>(random());
  std::string passing(2 << 20, '\0');
  for (char& c : passing) c = static_cast<char>('a' + random() % 26);
  const std::string head =
      "From: a@example.com\r\nTo: b@example.com\r\nSubject: large\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nsee the files\r\n";
  const std::string passingPart = "--b\r\nContent-Type: application/octet-stream; name=\"notes.dat\"\r\n"
                                  "Content-Transfer-Encoding: base64\r\n\r\n" + Base64Lines(passing);
  const std::string message = head + passingPart +
                              "--b\r\nContent-Type: application/octet-stream; name=\"big.exe\"\r\n"
                              "Content-Transfer-Encoding: base64\r\n\r\n" + Base64Lines(big) + "--b--\r\n";
  NoteId id = SubmitMime(message);
  ASSERT_TRUE(Run().ok());
  EXPECT_FALSE(Held(id)) << Joined();
  std::string delivered = Exported(id);
  EXPECT_EQ(delivered.rfind(head.substr(0, head.find("\r\n\r\n") + 4), 0), 0u) << "the header as sent";
  EXPECT_NE(delivered.find(passingPart), std::string::npos) << "the large part that passed, as sent";
  EXPECT_EQ(delivered.find(Base64Lines(big).substr(0, 4096)), std::string::npos) << "the part the filter took";
  std::map<std::string, std::string> kept;
  ScopedDb quarantine(host_.get());
  ASSERT_EQ(host_->DbOpen("zulquarantine.nsf", quarantine.put()), kNoError);
  std::vector<NoteId> ids;
  ASSERT_EQ(host_->DbNoteIds(quarantine.get(), &ids), kNoError);
  for (NoteId q : ids) {
    for (const Attachment& a : Files(q, "zulquarantine.nsf")) kept[a.name] = a.data;
  }
  EXPECT_TRUE(kept["big.exe"] == big) << "the original, byte for byte";
  for (const auto& entry : std::filesystem::directory_iterator(server_.directory() + "/run")) {
    EXPECT_NE(entry.path().extension(), ".spool") << entry.path() << " left behind";
  }
}

// A browser gets HTML as its source: a payload hidden in an HTML-only body
// (quoted-printable, so the text a reader sees does not show it whole) is
// found, and the body goes.
ScanResult Utf8PatternKernel(std::u16string_view scanCopy, std::string* description) {
  std::string data;
  if (ProcessPlatform()->FileRead(scanCopy, &data) != kNoError) return ResultFailed;
  if (data.find("EICAR-\xD0\x92\xD0\x98\xD0\xA0\xD0\xA3\xD0\xA1") == std::string::npos) return ResultClean;
  *description = "Test.Utf8.Pattern";
  return ResultInfected;
}

TEST_F(ScanDriverTest, HtmlBodiesAreScannedAsTheBrowserGetsThem) {
  // The pattern is UTF-8 bytes, which the body's text holds in another
  // character set: only the source finds it.
  const std::string html =
      "From: a@example.com\nTo: b@example.com\nSubject: news\nMIME-Version: 1.0\n"
      "Content-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n"
      "<html><body><p>Hello</p><!-- EICAR-=D0=92=D0=98=D0=A0=D0=A3=D0=A1 --></body></html>\n";
  const std::string clean =
      "From: a@example.com\nTo: b@example.com\nSubject: news\nMIME-Version: 1.0\n"
      "Content-Type: text/html; charset=utf-8\n\n<html><body><p>Hello</p></body></html>\n";
  // The same part with its type and encoding on continuation lines, which
  // every mail reader unfolds.
  const std::string folded =
      "From: a@example.com\nTo: b@example.com\nSubject: news\nMIME-Version: 1.0\n"
      "Content-Type:\n text/html;\n charset=utf-8\nContent-Transfer-Encoding:\n\tquoted-printable\n\n"
      "<html><body><p>Hello</p><!-- EICAR-=D0=92=D0=98=D0=A0=D0=A3=D0=A1 --></body></html>\n";
  NoteId infected = SubmitMime(html);
  NoteId harmless = SubmitMime(clean);
  NoteId hidden = SubmitMime(folded);
  SetKernelScanFunction(Utf8PatternKernel);
  ASSERT_TRUE(Run().ok());
  SetKernelScanFunction(nullptr);
  EXPECT_FALSE(Held(infected));
  EXPECT_FALSE(Held(harmless));
  EXPECT_FALSE(Held(hidden));
  EXPECT_EQ(Exported(hidden).find("EICAR-=D0=92"), std::string::npos) << "the folded header hid the part's type";
  std::string delivered = Exported(infected);
  EXPECT_EQ(delivered.find("EICAR-=D0=92"), std::string::npos) << delivered;
  EXPECT_NE(delivered.find("Subject: news\nMIME-Version: 1.0\n"), std::string::npos) << "the header stays";
  EXPECT_NE(delivered.find("Tervala Anti-Virus Report"), std::string::npos) << delivered;
  EXPECT_EQ(Exported(harmless), clean);
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 2u);
}

// Mail whose body converts to no text at all is clean, and leaves as it came.
TEST_F(ScanDriverTest, MailWithAnEmptyBodyPassesUntouched) {
  const std::vector<std::string> shapes = {
      "From: a@example.com\nTo: b@example.com\nSubject: headers only\n",
      "From: a@example.com\nTo: b@example.com\nSubject: blank\n\n",
      "From: a@example.com\nTo: b@example.com\nSubject: blank lines\n\n\r\n\r\n \n",
      "From: a@example.com\nTo: b@example.com\nSubject: empty part\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\n\n--b--\n",
      "From: copier@example.com\nTo: b@example.com\nSubject: scan\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: application/pdf; name=\"scan.pdf\"\n"
      "Content-Transfer-Encoding: base64\n\nJVBERi0xLjQKJcfsj6IK\n--b--\n",
      "From: a@example.com\nTo: b@example.com\nSubject: signed\nMIME-Version: 1.0\n"
      "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha-256; boundary=\"s\"\n\n"
      "--s\nContent-Type: text/plain; charset=utf-8\n\n\n--s\nContent-Type: application/pkcs7-signature; name=\"smime.p7s\"\n"
      "Content-Transfer-Encoding: base64\n\nMIAGCSqGSIb3DQEHAqCAMIACAQEx\n--s--\n",
      "From: a@example.com\nTo: b@example.com\nSubject: a photo\nMIME-Version: 1.0\nContent-Type: image/jpeg\n"
      "Content-Transfer-Encoding: base64\n\n/9j/4AAQSkZJRgABAQ==\n",
  };
  std::vector<NoteId> ids;
  for (const std::string& shape : shapes) ids.push_back(SubmitMime(shape));
  ASSERT_TRUE(Run().ok());
  for (size_t i = 0; i < shapes.size(); ++i) {
    EXPECT_FALSE(Held(ids[i])) << shapes[i];
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ASSERT_EQ(host_->NoteOpen(box.get(), ids[i], kOpenRawMime, note.put()), kNoError);
    std::string exported;
    ASSERT_EQ(ExportMimeMessage(host_.get(), note.get(), Wide(server_.directory()), &exported), kNoError);
    EXPECT_EQ(exported, shapes[i]);
  }
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 0u) << Joined();
  EXPECT_EQ(NoteCount("mail.box"), shapes.size()) << "no memo about clean mail";
}

// What the MIME reader cannot split (nesting past its limit) was never read
// as mail: it is an object that could not be checked, and goes.
TEST_F(ScanDriverTest, PartsNestedPastTheLimitAreNotPassedUnchecked) {
  std::string message = "From: a@example.com\nTo: b@example.com\nSubject: deep\nMIME-Version: 1.0\n"
                        "Content-Type: multipart/mixed; boundary=\"d0\"\n\n";
  for (int level = 1; level < 70; ++level) {
    message += "--d" + std::to_string(level - 1) + "\nContent-Type: multipart/mixed; boundary=\"d" +
               std::to_string(level) + "\"\n\n";
  }
  message += "--d69\nContent-Type: application/octet-stream; name=\"deep.com\"\nContent-Transfer-Encoding: base64\n\n"
             "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\nLUZJTEUhJEgrSCo=\n";
  for (int level = 69; level >= 0; --level) message += "--d" + std::to_string(level) + "--\n";
  NoteId id = SubmitMime(message);
  ASSERT_TRUE(Run().ok());
  EXPECT_FALSE(Held(id));
  std::string exported = Exported(id);
  EXPECT_EQ(exported.find("WDVPIVAlQEFQWzRcUFpYNTQo"), std::string::npos) << "the payload does not reach the recipient";
  EXPECT_NE(exported.find("вложенность частей письма больше допустимой"), std::string::npos) << "the report says why";
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 1u);
}

// A client may show the file under either name a part gives it: the
// filter sees both.
TEST_F(ScanDriverTest, TheNameFilterSeesEveryNameAPartGives) {
  auto mail = [](const std::string& type, const std::string& disposition) {
    return "From: a@example.com\nTo: b@example.com\nSubject: names\nMIME-Version: 1.0\n"
           "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nsee attached\n"
           "--b\nContent-Type: application/octet-stream; name=\"" + type + "\"\n"
           "Content-Disposition: attachment; filename=\"" + disposition + "\"\n\nharmless bytes\n--b--\n";
  };
  const std::string hiddenInType = mail("evil.exe", "readme.txt");
  const std::string hiddenInDisposition = mail("readme.txt", "evil.exe");
  const std::string harmless = mail("notes.txt", "readme.txt");
  NoteId first = SubmitMime(hiddenInType);
  NoteId second = SubmitMime(hiddenInDisposition);
  NoteId third = SubmitMime(harmless);
  ASSERT_TRUE(Run().ok());
  for (NoteId id : {first, second}) {
    EXPECT_FALSE(Held(id));
    std::string delivered = Exported(id);
    EXPECT_EQ(delivered.find("harmless bytes"), std::string::npos) << delivered;
    EXPECT_NE(delivered.find("name=\"evil.exe\""), std::string::npos) << "the part keeps its headers";
  }
  EXPECT_EQ(Exported(third), harmless) << "two harmless names: untouched";
}

}  // namespace
}  // namespace zul::testing
