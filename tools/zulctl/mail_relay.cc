#include "tools/zulctl/mail_relay.h"

#include "tools/zulsubmit/mail_hook.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
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

// How many hand-overs run at once: the MTA's submission programs cost more
// than everything else of a message here, and they need not wait in line.
constexpr size_t kParallelHandOvers = 4;

struct RunningHandOver {
  NoteId id = 0;
  size_t recipients = 0;
  pid_t child = -1;
  int input = -1;  // shares its offset with the child's: how far sendmail read
  size_t size = 0;
};

// Starts `sendmail -G -i -f SENDER -- RCPT...` reading the message from a
// file in memory, so several can run at once without feeding pipes.
bool StartHandOver(const std::string& sendmail, const std::string& sender, const std::vector<std::string>& recipients,
                   const std::string& message, RunningHandOver* running, std::string* why) {
  int input = ::memfd_create("hand-over", MFD_CLOEXEC);
  size_t written = 0;
  while (input >= 0 && written < message.size()) {
    ssize_t n = ::write(input, message.data() + written, message.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  if (input < 0 || written < message.size() || ::lseek(input, 0, SEEK_SET) != 0) {
    if (input >= 0) ::close(input);
    *why = "no memory for the message";
    return false;
  }
  std::vector<std::string> words = {sendmail, "-G", "-i", "-f", sender, "--"};
  words.insert(words.end(), recipients.begin(), recipients.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(input, 0);  // dup2 clears close-on-exec on the copy
    ::execv(sendmail.c_str(), argv.data());
    ::_exit(127);
  }
  if (child < 0) {
    ::close(input);
    *why = "cannot start " + sendmail;
    return false;
  }
  running->child = child;
  running->input = input;
  running->size = message.size();
  return true;
}

// True only when sendmail read the whole message and took it (exit code 0).
bool FinishHandOver(const RunningHandOver& running, const std::string& sendmail, std::string* why) {
  int status = 0;
  while (::waitpid(running.child, &status, 0) < 0 && errno == EINTR) {
  }
  off_t read = ::lseek(running.input, 0, SEEK_CUR);
  ::close(running.input);
  // Its exit code says more than a message it did not read to the end.
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *why = sendmail + " exited with " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return false;
  }
  if (read < 0 || static_cast<size_t>(read) < running.size) {
    *why = sendmail + " did not read the whole message";
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

// Item that records, in the message itself, that its hand-over began.
constexpr char kHandOverItem[] = "$ZulHandOver";

// What the relay knows between passes. A message is handed over exactly
// once while the relay runs: its hand-over is recorded before sendmail is
// called, and a message sendmail took is never handed over again, even
// when it cannot be removed from mail.box yet.
struct RelayState {
  std::map<NoteId, Retry> retries;
  std::set<NoteId> handedOver;  // taken by sendmail, still to be removed
  std::set<NoteId> recorded;    // hand-over recorded by this run
  bool recordFailing = false;   // the last record could not be written
  Retry recordRetry;
};

void BackOff(Retry* r) {
  ++r->failures;
  r->next = Clock::now() + std::chrono::seconds(std::min(kMaxBackoffSeconds, 1 << std::min(r->failures, 9)));
}

// Removes messages sendmail already took; false while mail.box refuses.
bool RemoveHandedOver(Platform* p, DbHandle box, RelayState* state) {
  for (auto it = state->handedOver.begin(); it != state->handedOver.end();) {
    Status s = p->NoteDelete(box, *it);
    if (s != kNoError && !IsError(s, kNoteNotFound)) {
      std::fprintf(stderr, "zulctl: 0x%X was handed over but cannot be removed from mail.box: %s; not handed over again\n",
                   *it, p->StatusText(s).c_str());
      return false;
    }
    state->recorded.erase(*it);
    it = state->handedOver.erase(it);
  }
  return true;
}

// Records that the hand-over of `note` begins. A message found so marked
// by an earlier run may have reached the next hop already: it goes again,
// the one duplicate a crash can cause, and the log says so.
bool RecordHandOver(Platform* p, NoteHandle note, NoteId id, RelayState* state) {
  if (state->recorded.count(id)) return true;
  ItemInfo item;
  if (p->ItemInfoByName(note, kHandOverItem, &item) == kNoError) {
    std::printf("0x%X was being handed over when an earlier relay stopped; handing it over again\n", id);
  }
  Status s = p->ItemSetText(note, kHandOverItem, "1");
  if (s == kNoError) s = p->NoteUpdate(note, kUpdateForce);
  if (s != kNoError) {
    if (!state->recordFailing) {
      std::fprintf(stderr, "zulctl: cannot record a hand-over in mail.box (%s); nothing is handed over until it can\n",
                   p->StatusText(s).c_str());
    }
    state->recordFailing = true;
    BackOff(&state->recordRetry);
    return false;
  }
  if (state->recordFailing) std::printf("hand-overs are recorded again; relaying goes on\n");
  state->recordFailing = false;
  state->recordRetry = Retry();
  state->recorded.insert(id);
  return true;
}

void NotRelayed(NoteId id, const std::string& why, RelayState* state) {
  Retry& r = state->retries[id];
  BackOff(&r);
  int seconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(r.next - Clock::now()).count() + 1);
  std::printf("0x%X not relayed (%s); kept in mail.box, next try in %d s\n", id, why.c_str(), seconds);
}

// Waits for the running hand-overs and removes what sendmail took; false
// while mail.box refuses the removal.
bool FinishHandOvers(Platform* p, DbHandle box, const std::string& sendmail, std::vector<RunningHandOver>* running,
                     RelayState* state) {
  for (const RunningHandOver& r : *running) {
    std::string why;
    if (FinishHandOver(r, sendmail, &why)) {
      std::printf("0x%X relayed to %zu recipient(s) through %s\n", r.id, r.recipients, sendmail.c_str());
      state->retries.erase(r.id);
      state->handedOver.insert(r.id);
    } else {
      NotRelayed(r.id, why, state);
    }
  }
  running->clear();
  return RemoveHandedOver(p, box, state);
}

// Relays every released message of mail.box whose retry time has come.
void RelayReleased(Platform* p, const std::string& serverDirectory, const std::string& sendmail, RelayState* state) {
  if (state->recordFailing && Clock::now() < state->recordRetry.next) return;
  ScopedDb box(p);
  if (p->DbOpen(kMailBox, box.put()) != kNoError) return;  // nothing arrived yet
  if (!RemoveHandedOver(p, box.get(), state)) return;
  std::vector<NoteId> ids;
  if (p->DbNoteIds(box.get(), &ids) != kNoError) return;
  std::vector<RunningHandOver> running;
  for (NoteId id : ids) {
    auto retry = state->retries.find(id);
    if (retry != state->retries.end() && Clock::now() < retry->second.next) continue;
    ScopedNote note(p);
    if (p->NoteOpen(box.get(), id, kOpenRawMime, note.put()) != kNoError) continue;
    ItemInfo routing;
    if (p->ItemInfoByName(note.get(), "RoutingState", &routing) == kNoError) continue;  // held
    // Mail from outside carries its envelope sender; a memo of the server
    // has none and goes with the null sender, as notices do, so nothing
    // bounces back to it.
    std::string sender;
    if (p->ItemGetText(note.get(), "SMTPOriginator", 1023, &sender) != kNoError || sender.find('@') == std::string::npos) {
      sender.clear();
    }
    std::vector<std::string> recipients = ListItem(p, note.get(), "Recipients");
    std::string message;
    std::string why;
    std::u16string scratch;
    for (char c : serverDirectory + "/run") scratch.push_back(static_cast<unsigned char>(c));
    RunningHandOver handOver{id, recipients.size()};
    if (recipients.empty()) {
      why = "no recipient";
    } else if (Status s = ExportMimeMessage(p, note.get(), scratch, &message); s != kNoError) {
      why = "cannot be written out: " + p->StatusText(s);
    } else if (!RecordHandOver(p, note.get(), id, state)) {
      break;  // said once; the record is tried again after a pause, never the hand-over alone
    } else if (StartHandOver(sendmail, sender, recipients, message, &handOver, &why)) {
      (void)note.close();  // closed before it is deleted
      running.push_back(handOver);
      if (running.size() < kParallelHandOvers) continue;
      if (!FinishHandOvers(p, box.get(), sendmail, &running, state)) break;
      continue;
    }
    NotRelayed(id, why, state);
  }
  if (!running.empty()) {
    (void)FinishHandOvers(p, box.get(), sendmail, &running, state);  // a refused removal is said and retried next pass
  }
  std::fflush(stdout);
  std::fflush(stderr);
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
  ChangeWatch watch({mailhook::DataDirectory(p, serverDirectory), serverDirectory + "/run/mq"});
  RelayState state;
  std::printf("%s (hook of %s served; zulctl quit stops it)\n", what.c_str(), task.c_str());
  std::fflush(stdout);
  while (!p->AddInShouldTerminate()) {
    serveHook();
    if (sendmail.empty()) {
      deliverLocally();
    } else {
      RelayReleased(p, serverDirectory, sendmail, &state);
    }
    watch.Wait();
  }
  (void)p->StatusLineDelete(line);
  return 0;
}

}  // namespace zulctl
