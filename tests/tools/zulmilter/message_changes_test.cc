#include "tools/zulmilter/message_changes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace zulmilter {
namespace {

// What an MTA does with the changes: each call in turn on the header list
// as it stands then, then the body replaced.
std::string Apply(const std::string& sent, const MessageChanges& changes) {
  std::vector<HeaderField> fields;
  std::string body;
  EXPECT_TRUE(SplitMessage(sent, &fields, &body));
  auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
  };
  auto nth = [&](const std::string& name, int index) {
    int seen = 0;
    for (size_t i = 0; i < fields.size(); ++i) {
      if (lower(fields[i].name) == lower(name) && ++seen == index) return i;
    }
    return fields.size();
  };
  for (const HeaderChange& c : changes.headers) {
    size_t at = nth(c.name, c.index);
    if (c.kind == HeaderChange::Kind::kChange && at < fields.size()) fields[at].value = c.value;
    if (c.kind == HeaderChange::Kind::kRemove && at < fields.size()) fields.erase(fields.begin() + static_cast<long>(at));
    if (c.kind == HeaderChange::Kind::kInsert) {
      fields.insert(fields.begin() + std::min<long>(c.index, static_cast<long>(fields.size())), {c.name, c.value});
    }
  }
  std::string out;
  for (const HeaderField& f : fields) out += f.name + ":" + f.value + "\r\n";
  return out + "\r\n" + (changes.bodyChanged ? changes.body : body);
}

TEST(MessageChangesTest, TheChangesMakeTheReleasedMessageOfTheSentOne) {
  const std::string received = "Received: from client (localhost [127.0.0.1])\r\n\tby gateway.test; Tue, 8 Dec 2026\r\n";
  const std::string sent = received +
                           "From: anna@sender.test\r\nSubject: a file\r\nContent-Type: application/octet-stream\r\n"
                           "Content-Transfer-Encoding: base64\r\n\r\nWDVPIVAl\r\n";
  struct Case {
    const char* what;
    std::string released;
  } cases[] = {
      {"nothing", sent},
      {"the body alone", received + "From: anna@sender.test\r\nSubject: a file\r\nContent-Type: application/octet-stream\r\n"
                                    "Content-Transfer-Encoding: base64\r\n\r\nVGhpcw==\r\n"},
      {"a single part wrapped",
       received + "From: anna@sender.test\r\nSubject: a file\r\nContent-Type: multipart/mixed;\r\n"
                  " boundary=\"zul-1\"\r\nMIME-Version: 1.0\r\n\r\n--zul-1\r\nreport\r\n--zul-1--\r\n"},
      {"a field dropped and one added on top",
       "X-Scanned: yes\r\n" + received + "From: anna@sender.test\r\nSubject: a file\r\n"
                                         "Content-Type: application/octet-stream\r\n\r\nWDVPIVAl\r\n"},
  };
  for (const Case& c : cases) {
    MessageChanges changes = ChangesBetween(sent, c.released);
    EXPECT_EQ(Apply(sent, changes), c.released) << c.what;
  }
  // A field given three times, two of them gone: each removal counts the
  // fields that are left.
  const std::string repeated = "From: a@x\r\nContent-Type: text/plain\r\nContent-Type: text/html\r\n"
                               "Content-Type: image/png\r\nX-A: 1\r\nX-A: 2\r\n\r\nbody\r\n";
  const std::string cleaned = "From: a@x\r\nContent-Type: multipart/mixed\r\nX-A: 1\r\n\r\nnew body\r\n";
  EXPECT_EQ(Apply(repeated, ChangesBetween(repeated, cleaned)), cleaned);
  EXPECT_TRUE(ChangesBetween(sent, sent).headers.empty());
  EXPECT_FALSE(ChangesBetween(sent, sent).bodyChanged);
}

TEST(MessageChangesTest, FoldedFieldsKeepTheirLineEnds) {
  std::vector<HeaderField> fields;
  std::string body;
  ASSERT_TRUE(SplitMessage("Subject: one\n two\nTo: b@x\n\nbody\n", &fields, &body));
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0].value, " one\n two");
  EXPECT_EQ(body, "body\n");
  EXPECT_FALSE(SplitMessage("no header block at all", &fields, &body));
  EXPECT_FALSE(SplitMessage("\r\nbody only\r\n", &fields, &body));
}

}  // namespace
}  // namespace zulmilter
