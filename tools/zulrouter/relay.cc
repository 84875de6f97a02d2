#include "tools/zulrouter/relay.h"

#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/held_mail_items.h"
#include "notesapi/host/mime_import.h"
#include "notesapi/scoped_handles.h"
#include "tools/common/note_items.h"

namespace zulrouter {

using namespace notesapi;

namespace {

constexpr char kMailBox[] = "mail.box";
constexpr int kMaxBackoffSeconds = 300;

// How many hand-overs run at once: the MTA's submission programs cost more
// than everything else of a message here, and they need not wait in line.
constexpr size_t kParallelHandOvers = 4;

using tools::HasItem;
using tools::TextListItem;

}  // namespace

struct Relay::Running {
  NoteId id = 0;
  size_t recipients = 0;
  pid_t child = -1;
  int input = -1;  // shares its offset with the child's: how far sendmail read
  size_t size = 0;
};

namespace {

// Starts `sendmail -G -i -f SENDER -- RCPT...` reading the message from a
// file in memory, so several can run at once without feeding pipes.
bool StartHandOver(const std::string& sendmail, const std::string& sender, const std::vector<std::string>& recipients,
                   const std::string& message, pid_t* child, int* input, std::string* why) {
  int memory = ::memfd_create("hand-over", MFD_CLOEXEC);
  size_t written = 0;
  while (memory >= 0 && written < message.size()) {
    ssize_t n = ::write(memory, message.data() + written, message.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  if (memory < 0 || written < message.size() || ::lseek(memory, 0, SEEK_SET) != 0) {
    if (memory >= 0) ::close(memory);
    *why = "no memory for the message";
    return false;
  }
  std::vector<std::string> words = {sendmail, "-G", "-i", "-f", sender, "--"};
  words.insert(words.end(), recipients.begin(), recipients.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // Spawned, not forked: a copy of the router's pages per message costs
  // more than the hand-over itself.
  posix_spawn_file_actions_t actions;
  pid_t started = -1;
  int spawned = posix_spawn_file_actions_init(&actions);
  if (spawned == 0) spawned = posix_spawn_file_actions_adddup2(&actions, memory, 0);  // clears close-on-exec
  if (spawned == 0) spawned = posix_spawn(&started, sendmail.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ::close(memory);
    *why = "cannot start " + sendmail + ": " + std::strerror(spawned);
    return false;
  }
  *child = started;
  *input = memory;
  return true;
}

// True only when sendmail read the whole message and took it (exit code 0).
bool FinishHandOver(pid_t child, int input, size_t size, const std::string& sendmail, std::string* why) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  off_t read = ::lseek(input, 0, SEEK_CUR);
  ::close(input);
  // Its exit code says more than a message it did not read to the end.
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *why = sendmail + " exited with " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return false;
  }
  if (read < 0 || static_cast<size_t>(read) < size) {
    *why = sendmail + " did not read the whole message";
    return false;
  }
  return true;
}

}  // namespace

Relay::Relay(Platform* p, std::string serverDirectory, std::string sendmail)
    : p_(p), serverDirectory_(std::move(serverDirectory)), sendmail_(std::move(sendmail)) {
  if (sendmail_.rfind(kSmtpScheme, 0) == 0) smtp_ = std::make_unique<SmtpTransport>(sendmail_);
  // The process, the time and the count of relays it made: no two runs alike.
  static unsigned made = 0;
  TimeDate started = p_->TimeNow();
  char id[64];
  std::snprintf(id, sizeof id, "%u@%08X%08X#%u", static_cast<unsigned>(p_->ProcessId()), started.innards[1],
                started.innards[0], ++made);
  runId_ = id;
}

void Relay::BackOff(Retry* r) {
  ++r->failures;
  r->next = Clock::now() + std::chrono::seconds(std::min(kMaxBackoffSeconds, 1 << std::min(r->failures, 9)));
}

void Relay::Relayed(NoteId id, size_t recipients) {
  std::printf("0x%X relayed to %zu recipient(s) through %s\n", id, recipients, sendmail_.c_str());
  retries_.erase(id);
}

void Relay::NotRelayed(NoteId id, const std::string& why) {
  Retry& r = retries_[id];
  BackOff(&r);
  int seconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(r.next - Clock::now()).count() + 1);
  std::printf("0x%X not relayed (%s); kept in mail.box, next try in %d s\n", id, why.c_str(), seconds);
}

// A message sendmail took goes from mail.box; when mail.box refuses, the
// message is marked taken so that no pass, of this run or a later one,
// hands it over again. False while it stays.
bool Relay::RemoveTaken(DbHandle box, NoteId id) {
  notesapi::Status s = p_->NoteDelete(box, id);
  if (s == kNoError || IsError(s, kNoteNotFound)) {
    takenUnmarked_.erase(id);
    return true;
  }
  std::fprintf(stderr, "0x%X was handed over but cannot be removed from mail.box: %s; not handed over again\n", id,
               p_->StatusText(s).c_str());
  if (takenUnmarked_.count(id)) return false;
  ScopedNote note(p_);
  notesapi::Status marked = p_->NoteOpen(box, id, kOpenRawMime, note.put());
  if (marked == kNoError && !HasItem(p_, note.get(), kTakenItem)) {
    marked = p_->ItemSetText(note.get(), kTakenItem, "1");
    if (marked == kNoError) marked = p_->NoteUpdate(note.get(), kUpdateForce);
  }
  if (marked != kNoError) {
    // The last resort: this run remembers it.
    std::fprintf(stderr, "0x%X cannot be marked as handed over either (%s); a restarted router would hand it over again\n",
                 id, p_->StatusText(marked).c_str());
    takenUnmarked_.insert(id);
  }
  return false;
}

// Records that the hand-over of `note` begins, before sendmail sees it.
bool Relay::RecordHandOver(NoteHandle note, NoteId id) {
  std::string mark;
  if (p_->ItemGetText(note, kHandOverItem, 255, &mark) == kNoError) {
    if (mark == runId_) return true;  // recorded by this run already (a retry)
    std::printf("0x%X was being handed over when an earlier relay stopped; handing it over again\n", id);
  }
  notesapi::Status s = p_->ItemSetText(note, kHandOverItem, runId_);
  if (s == kNoError) s = p_->NoteUpdate(note, kUpdateForce);
  if (s != kNoError) {
    if (!recordFailing_) {
      std::fprintf(stderr, "cannot record a hand-over in mail.box (%s); nothing is handed over until it can\n",
                   p_->StatusText(s).c_str());
    }
    recordFailing_ = true;
    BackOff(&recordRetry_);
    return false;
  }
  if (recordFailing_) std::printf("hand-overs are recorded again; relaying goes on\n");
  recordFailing_ = false;
  recordRetry_ = Retry();
  return true;
}

// Waits for the running hand-overs and removes what sendmail took; false
// while mail.box refuses a removal.
bool Relay::FinishAll(DbHandle box, std::vector<Running>* running) {
  bool removed = true;
  for (const Running& r : *running) {
    std::string why;
    if (!FinishHandOver(r.child, r.input, r.size, sendmail_, &why)) {
      NotRelayed(r.id, why);
      continue;
    }
    Relayed(r.id, r.recipients);
    removed = RemoveTaken(box, r.id) && removed;
  }
  running->clear();
  return removed;
}

// What to do with one message of mail.box.
Relay::Found Relay::Inspect(DbHandle box, NoteId id, NoteHandle note) {
  if (HasItem(p_, note, zul::kMilterOwnerItem)) return Found::kSkip;  // the milter answers for it
  if (takenUnmarked_.count(id) || HasItem(p_, note, kTakenItem)) {
    return RemoveTaken(box, id) ? Found::kSkip : Found::kStopPass;
  }
  if (HasItem(p_, note, "RoutingState")) return Found::kSkip;  // held
  auto retry = retries_.find(id);
  if (retry != retries_.end() && Clock::now() < retry->second.next) return Found::kSkip;
  return Found::kHandOver;
}

void Relay::Pass() {
  if (recordFailing_ && Clock::now() < recordRetry_.next) return;
  ScopedDb box(p_);
  if (p_->DbOpen(kMailBox, box.put()) != kNoError) return;  // nothing arrived yet
  std::vector<NoteId> ids;
  if (p_->DbNoteIds(box.get(), &ids) != kNoError) return;
  std::u16string scratch;
  for (char c : serverDirectory_ + "/run") scratch.push_back(static_cast<unsigned char>(c));
  std::vector<Running> running;
  for (NoteId id : ids) {
    ScopedNote note(p_);
    if (p_->NoteOpen(box.get(), id, kOpenRawMime, note.put()) != kNoError) continue;
    Found found = Inspect(box.get(), id, note.get());
    if (found == Found::kStopPass) break;
    if (found == Found::kSkip) continue;
    // Mail from outside carries its envelope sender; a memo of the server
    // has none and goes with the null sender, as notices do, so nothing
    // bounces back to it.
    std::string sender;
    if (p_->ItemGetText(note.get(), "SMTPOriginator", 1023, &sender) != kNoError || sender.find('@') == std::string::npos) {
      sender.clear();
    }
    std::vector<std::string> recipients = TextListItem(p_, note.get(), "Recipients");
    std::string message;
    std::string why;
    Running handOver{id, recipients.size()};
    handOver.size = 0;
    if (recipients.empty()) {
      why = "no recipient";
    } else if (notesapi::Status s = ExportMimeMessage(p_, note.get(), scratch, &message); s != kNoError) {
      why = "cannot be written out: " + p_->StatusText(s);
    } else if (!RecordHandOver(note.get(), id)) {
      break;  // said once; the record is tried again after a pause, never the hand-over alone
    } else if (smtp_) {
      if (!smtp_->Send(sender, recipients, message, &why)) {
        NotRelayed(id, why);
        continue;
      }
      (void)note.close();  // closed before it is deleted
      Relayed(id, recipients.size());
      if (!RemoveTaken(box.get(), id)) break;
      continue;
    } else if (StartHandOver(sendmail_, sender, recipients, message, &handOver.child, &handOver.input, &why)) {
      handOver.size = message.size();
      (void)note.close();  // closed before it is deleted
      running.push_back(handOver);
      if (running.size() < kParallelHandOvers) continue;
      if (!FinishAll(box.get(), &running)) break;
      continue;
    }
    NotRelayed(id, why);
  }
  if (!running.empty()) (void)FinishAll(box.get(), &running);  // a refused removal is said and retried next pass
  std::fflush(stdout);
  std::fflush(stderr);
}

}  // namespace zulrouter
