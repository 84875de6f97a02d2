// A server directory with mail.box, fault injection over its host, and a
// stand-in for the MTA's sendmail that keeps every message it takes (one
// file each) and answers with the code in the file "answer" (0 without it).
#ifndef TESTS_TOOLS_ZULROUTER_ROUTER_FIXTURE_H_
#define TESTS_TOOLS_ZULROUTER_ROUTER_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "notesapi/fault_injection.h"
#include "notesapi/host/mime_import.h"
#include "notesapi/process_platform.h"
#include "notesapi/scoped_handles.h"
#include "tests/notesapi/test_server.h"

namespace zulrouter::testing {

using namespace notesapi;

class RouterTest : public ::testing::Test {
 protected:
  RouterTest() : host_(server_.OpenHost()), faulty_(host_.get()) {
    SetProcessPlatform(&faulty_);
    sendmail_ = server_.directory() + "/sendmail";
    std::filesystem::create_directories(server_.directory() + "/taken");
    // One file a hand-over, named by its process: several run at once.
    std::ofstream(sendmail_) << "#!/bin/sh\n"
                             << "cat > " << server_.directory() << "/taken/$$.eml\n"
                             << "[ -f " << server_.directory() << "/answer ] && exit $(cat " << server_.directory()
                             << "/answer)\nexit 0\n";
    ::chmod(sendmail_.c_str(), 0755);
    EXPECT_EQ(host_->DbCreate("mail.box", "Mail box"), kNoError);
  }
  ~RouterTest() override { SetProcessPlatform(nullptr); }

  // A message released to the router: in mail.box with its envelope, not held.
  NoteId Released(const std::string& subject, bool held = false) {
    ScopedDb box(host_.get());
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    std::string message = "From: ivan@example.com\nTo: anna@example.com\nSubject: " + subject + "\n\nhello\n";
    MessageEnvelope envelope{"ivan@example.com", {"anna@example.com"}};
    ImportedMessage imported;
    std::u16string scratch;
    for (char c : server_.directory() + "/run") scratch.push_back(static_cast<unsigned char>(c));
    EXPECT_EQ(ImportMimeMessage(host_.get(), box.get(), message, held, scratch, &envelope, &imported), kNoError);
    return imported.noteId;
  }
  // How many messages sendmail took.
  size_t Taken() {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(server_.directory() + "/taken")) n += entry.is_regular_file();
    return n;
  }
  // What sendmail took, one message a hand-over.
  std::vector<std::string> TakenMessages() {
    std::vector<std::string> messages;
    for (const auto& entry : std::filesystem::directory_iterator(server_.directory() + "/taken")) {
      std::ifstream in(entry.path());
      messages.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return messages;
  }
  void Answer(int code) { std::ofstream(server_.directory() + "/answer") << code; }
  bool InMailBox(NoteId id) {
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    return host_->NoteOpen(box.get(), id, kOpenRawMime, note.put()) == kNoError;
  }
  // The text of an item of a message in mail.box; "" when it has none.
  std::string Item(NoteId id, const char* name) {
    ScopedDb box(host_.get());
    ScopedNote note(host_.get());
    std::string text;
    EXPECT_EQ(host_->DbOpen("mail.box", box.put()), kNoError);
    EXPECT_EQ(host_->NoteOpen(box.get(), id, kOpenRawMime, note.put()), kNoError);
    (void)host_->ItemGetText(note.get(), name, 255, &text);  // none: empty
    return text;
  }

  notesapi::testing::TestServer server_;
  std::unique_ptr<Platform> host_;
  FaultInjectionPlatform faulty_;
  std::string sendmail_;
};

}  // namespace zulrouter::testing

#endif  // TESTS_TOOLS_ZULROUTER_ROUTER_FIXTURE_H_
