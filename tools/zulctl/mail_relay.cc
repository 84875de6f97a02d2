#include "tools/zulctl/mail_relay.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <vector>

#include "notesapi/host/mime_import.h"
#include "notesapi/scoped_handles.h"

namespace zulctl {

using namespace notesapi;

namespace {

constexpr char kMailBox[] = "mail.box";
constexpr int kWaitMillis = 1000;
constexpr int kMaxBackoffSeconds = 300;

using Clock = std::chrono::steady_clock;

struct Retry {
  int failures = 0;
  Clock::time_point next;
};

// Wakes when a database or a queue of the server changes, or after a second:
// no busy polling, and nothing missed for long.
class ChangeWatch {
 public:
  explicit ChangeWatch(const std::vector<std::string>& folders) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    for (const std::string& folder : folders) {
      if (fd_ >= 0) (void)::inotify_add_watch(fd_, folder.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO);
    }
  }
  ~ChangeWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  ChangeWatch(const ChangeWatch&) = delete;
  ChangeWatch& operator=(const ChangeWatch&) = delete;

  void Wait() {
    if (fd_ < 0) {
      ::usleep(kWaitMillis * 1000);
      return;
    }
    pollfd waiting{fd_, POLLIN, 0};
    if (::poll(&waiting, 1, kWaitMillis) > 0) {
      char events[4096];
      while (::read(fd_, events, sizeof events) > 0) {
      }
    }
  }

 private:
  int fd_;
};

// Runs `sendmail -G -i -f SENDER -- RCPT...` with the message on its input.
// True only when it took the message (exit code 0).
bool HandOver(const std::string& sendmail, const std::string& sender, const std::vector<std::string>& recipients,
              const std::string& message, std::string* why) {
  int input[2];
  if (::pipe(input) != 0) {
    *why = "no pipe";
    return false;
  }
  std::vector<std::string> words = {sendmail, "-G", "-i", "-f", sender, "--"};
  words.insert(words.end(), recipients.begin(), recipients.end());
  pid_t child = ::fork();
  if (child < 0) {
    ::close(input[0]);
    ::close(input[1]);
    *why = "cannot start " + sendmail;
    return false;
  }
  if (child == 0) {
    ::dup2(input[0], 0);
    ::close(input[0]);
    ::close(input[1]);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv(sendmail.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(input[0]);
  std::signal(SIGPIPE, SIG_IGN);  // a sendmail that stops reading is a failed hand-over, not our end
  size_t written = 0;
  while (written < message.size()) {
    ssize_t n = ::write(input[1], message.data() + written, message.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::close(input[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (written < message.size()) {
    *why = sendmail + " did not read the whole message";
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *why = sendmail + " exited with " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return false;
  }
  return true;
}

std::vector<std::string> ListItem(Platform* p, NoteHandle note, const char* name) {
  std::vector<std::string> entries;
  uint16_t count = p->ItemTextListCount(note, name);
  for (uint16_t i = 0; i < count; ++i) {
    std::string entry;
    if (p->ItemTextListEntry(note, name, i, &entry) == kNoError && !entry.empty()) entries.push_back(entry);
  }
  return entries;
}

// Relays every released message of mail.box whose retry time has come.
void RelayReleased(Platform* p, const std::string& serverDirectory, const std::string& sendmail,
                   std::map<NoteId, Retry>* retries) {
  ScopedDb box(p);
  if (p->DbOpen(kMailBox, box.put()) != kNoError) return;  // nothing arrived yet
  std::vector<NoteId> ids;
  if (p->DbNoteIds(box.get(), &ids) != kNoError) return;
  for (NoteId id : ids) {
    auto retry = retries->find(id);
    if (retry != retries->end() && Clock::now() < retry->second.next) continue;
    ScopedNote note(p);
    if (p->NoteOpen(box.get(), id, kOpenRawMime, note.put()) != kNoError) continue;
    ItemInfo routing;
    if (p->ItemInfoByName(note.get(), "RoutingState", &routing) == kNoError) continue;  // held
    std::string sender;
    if (p->ItemGetText(note.get(), "SMTPOriginator", 1023, &sender) != kNoError || sender.empty()) {
      (void)p->ItemGetText(note.get(), "From", 1023, &sender);
    }
    // A memo of the monitor has no address of its own: it goes with the
    // null sender, as notices do, so nothing bounces back to it.
    if (sender.find('@') == std::string::npos) sender.clear();
    std::vector<std::string> recipients = ListItem(p, note.get(), "Recipients");
    std::string message;
    std::string why;
    std::u16string scratch;
    for (char c : serverDirectory + "/run") scratch.push_back(static_cast<unsigned char>(c));
    bool sent = false;
    if (recipients.empty()) {
      why = "no recipient";
    } else if (Status s = ExportMimeMessage(p, note.get(), scratch, &message); s != kNoError) {
      why = "cannot be written out: " + p->StatusText(s);
    } else {
      sent = HandOver(sendmail, sender, recipients, message, &why);
    }
    if (sent) {
      (void)note.close();  // closed before it is deleted
      if (p->NoteDelete(box.get(), id) == kNoError) {
        std::printf("0x%X relayed to %zu recipient(s) through %s\n", id, recipients.size(), sendmail.c_str());
      }
      retries->erase(id);
      continue;
    }
    Retry& r = (*retries)[id];
    ++r.failures;
    int seconds = std::min(kMaxBackoffSeconds, 1 << std::min(r.failures, 9));
    r.next = Clock::now() + std::chrono::seconds(seconds);
    std::printf("0x%X not relayed (%s); kept in mail.box, next try in %d s\n", id, why.c_str(), seconds);
  }
  std::fflush(stdout);
}

}  // namespace

int FollowMailBox(Platform* p, const std::string& serverDirectory, const std::string& task, const std::string& sendmail,
                  const std::function<void()>& serveHook, const std::function<void()>& deliverLocally) {
  ModuleHandle module = kNullHandle;
  StatusLineHandle line = kNullHandle;
  if (p->StatusLineCreate("ZulRouter", &line) == kNoError) (void)p->StatusLineSetDefault(module, line);
  std::string what = sendmail.empty() ? "Routing mail into mail/*.nsf" : "Relaying mail through " + sendmail;
  (void)p->StatusLineSetText(line, what);
  if (p->AddInStart() != kNoError) return 1;
  std::string data;
  if (!p->IniGetText("Directory", 1024, &data) || data.empty()) data = "data";
  if (data[0] != '/') data = serverDirectory + "/" + data;
  ChangeWatch watch({data, serverDirectory + "/run/mq"});
  std::map<NoteId, Retry> retries;
  std::printf("%s (hook of %s served; zulctl quit stops it)\n", what.c_str(), task.c_str());
  std::fflush(stdout);
  while (!p->AddInShouldTerminate()) {
    serveHook();
    if (sendmail.empty()) {
      deliverLocally();
    } else {
      RelayReleased(p, serverDirectory, sendmail, &retries);
    }
    watch.Wait();
  }
  (void)p->StatusLineDelete(line);
  return 0;
}

}  // namespace zulctl
