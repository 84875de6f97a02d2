// Mail as other programs write it: each generator's clean mail arrives byte
// for byte, its infected mail loses the payload and nothing else, and the
// real mails of another MIME library's test set arrive as they came.
#include <gmime/gmime.h>

#include <filesystem>

#include "tests/scanning/scan_driver_fixture.h"

namespace zul::testing {
namespace {

constexpr char kPythonMailSamples[] = "/usr/lib/python3.11/test/test_email/data";

struct GObjectUnref {
  void operator()(void* object) const { g_object_unref(object); }
};
template <typename T>
using GPointer = std::unique_ptr<T, GObjectUnref>;

// A message made with GMime: a text body and one attachment.
std::string GmimeMessage(const std::string& body, const std::string& name, const std::string& data) {
  g_mime_init();
  GPointer<GMimeMessage> message(g_mime_message_new(TRUE));
  g_mime_message_add_mailbox(message.get(), GMIME_ADDRESS_TYPE_FROM, "Ivan", "ivan@example.com");
  g_mime_message_add_mailbox(message.get(), GMIME_ADDRESS_TYPE_TO, "Anna", "anna@example.com");
  g_mime_message_set_subject(message.get(), "Отчёт", "utf-8");
  GPointer<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
  GPointer<GMimeTextPart> text(g_mime_text_part_new_with_subtype("plain"));
  g_mime_text_part_set_text(text.get(), body.c_str());
  g_mime_multipart_add(mixed.get(), GMIME_OBJECT(text.get()));
  GPointer<GMimePart> file(g_mime_part_new_with_type("application", "octet-stream"));
  g_mime_part_set_filename(file.get(), name.c_str());
  GPointer<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(data.data(), data.size()));
  GPointer<GMimeDataWrapper> content(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(file.get(), content.get());
  g_mime_part_set_content_encoding(file.get(), GMIME_CONTENT_ENCODING_BASE64);
  g_mime_multipart_add(mixed.get(), GMIME_OBJECT(file.get()));
  g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(mixed.get()));
  char* text_out = g_mime_object_to_string(GMIME_OBJECT(message.get()), nullptr);
  std::string out = text_out;
  g_free(text_out);
  return out;
}

TEST_F(ScanDriverTest, MailOfOtherGeneratorsArrivesAsSentOrLosesOnlyItsPayload) {
  const std::string dir = server_.directory();
  const std::string body = "Привет, отчёт во вложении.\n";
  std::ofstream(dir + "/body.txt") << body;
  std::ofstream(dir + "/notes.pdf", std::ios::binary) << "%PDF-1.4\nminutes of the meeting\n";
  std::ofstream(dir + "/eicar.com", std::ios::binary) << kEicar;
  std::ofstream(dir + "/mta") << "#!/bin/sh\ncat > " << dir << "/out.eml\n";
  std::filesystem::permissions(dir + "/mta", std::filesystem::perms::owner_all);
  // Each writes a message with the body and the named file to out.eml.
  const std::string in = "cd " + dir + " && HOME=" + dir + " LANG=C.UTF-8 ";
  const std::vector<std::pair<std::string, std::string>> generators = {
      {"s-nail", in + "/usr/bin/s-nail -n -# -S mta=" + dir + "/mta -S from=ivan@example.com -S sendcharsets=utf-8 "
                      "-S ttycharset=utf-8 -s 'Отчёт' -a FILE anna@example.com < body.txt"},
      {"mutt", in + "/usr/bin/mutt -n -F /dev/null -e 'set sendmail=" + dir + "/mta' -e 'set from=ivan@example.com' "
                    "-e 'set charset=utf-8' -e 'set send_charset=utf-8' -s 'Отчёт' -a FILE -- anna@example.com < body.txt"},
      {"Perl MIME-tools",
       in + "/usr/bin/perl -MMIME::Entity -e '$e = MIME::Entity->build(From => q(ivan@example.com), To => "
            "q(anna@example.com), Subject => q(report), Type => q(multipart/mixed)); $e->attach(Path => q(body.txt), "
            "Type => q(text/plain), Charset => q(utf-8)); $e->attach(Path => q(FILE), Type => q(application/octet-stream), "
            "Encoding => q(base64)); $e->print(\\*STDOUT)' > out.eml"},
      {"mpack", in + "rm -f out.eml && /usr/bin/mpack -s report -o out.eml FILE"},
      {"Python email",
       in + "/usr/bin/python3 -c \"from email.message import EmailMessage\nm = EmailMessage()\n"
            "m['From'] = 'ivan@example.com'\nm['To'] = 'anna@example.com'\nm['Subject'] = 'Отчёт'\n"
            "m.set_content(open('body.txt').read())\nm.add_attachment(open('FILE', 'rb').read(), maintype='application', "
            "subtype='octet-stream', filename='FILE')\nopen('out.eml', 'wb').write(bytes(m))\""},
  };
  std::vector<std::tuple<std::string, std::string, NoteId>> sent;
  for (const auto& [name, command] : generators) {
    for (const char* file : {"notes.pdf", "eicar.com"}) {
      std::string line = command;
      for (size_t at; (at = line.find("FILE")) != std::string::npos;) line.replace(at, 4, file);
      std::string out;
      ASSERT_EQ(RunCommand(line, &out), 0) << name << ": " << out;
      std::string message = ReadFile(dir + "/out.eml");
      sent.emplace_back(name + " with " + file, message, SubmitMime(message));
    }
  }
  for (const char* file : {"notes.pdf", "eicar.com"}) {
    std::string message = GmimeMessage(body, file, ReadFile(dir + "/" + file));
    sent.emplace_back(std::string("GMime with ") + file, message, SubmitMime(message));
  }
  ASSERT_TRUE(Run().ok());
  for (const auto& [what, message, id] : sent) {
    EXPECT_FALSE(Held(id)) << what;
    std::string delivered = Exported(id);
    if (what.find("notes.pdf") != std::string::npos) {
      EXPECT_EQ(delivered, message) << what << ": clean, byte for byte";
    } else {
      EXPECT_EQ(RefereeFaults(message, delivered), "") << what << ":\n" << delivered;
    }
  }
}

// Python's own test mails: real shapes of many mail programs, bounces and
// digests among them. Every one that is a message arrives exactly as sent.
TEST_F(ScanDriverTest, RealMailsOfAnotherLibrarysTestSetArriveAsSent) {
  if (!std::filesystem::is_directory(kPythonMailSamples)) GTEST_SKIP() << kPythonMailSamples << " is not installed";
  std::vector<std::pair<std::string, NoteId>> sent;
  for (const auto& entry : std::filesystem::directory_iterator(kPythonMailSamples)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("msg_", 0) != 0) continue;
    std::string message = ReadFile(entry.path().string());
    ScopedDb box(host_.get());
    ASSERT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    ImportedMessage imported;
    notesapi::Status s = ImportMimeMessage(host_.get(), box.get(), message, true, Wide(server_.directory()), &imported);
    if (s == kNotAMessage) continue;  // a file of the set that holds no header at all
    ASSERT_EQ(s, kNoError) << name;
    Post(imported.noteId);
    sent.emplace_back(entry.path().string(), imported.noteId);
  }
  ASSERT_GE(sent.size(), 40u);
  ASSERT_TRUE(Run().ok());
  for (const auto& [path, id] : sent) {
    EXPECT_FALSE(Held(id)) << path;
    EXPECT_EQ(Exported(id), ReadFile(path)) << path;
  }
  EXPECT_EQ(NoteCount("zulquarantine.nsf"), 0u) << Joined();
}

}  // namespace
}  // namespace zul::testing
