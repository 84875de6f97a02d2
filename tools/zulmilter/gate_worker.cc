#include "tools/zulmilter/gate_worker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <set>

#include "tools/zulsubmit/mail_hook.h"

namespace zulmilter {

using namespace notesapi;
using Clock = std::chrono::steady_clock;

namespace {

// How often waiting mail is looked at when nothing announced a change: a
// change of mail.box can be seen before it is committed.
constexpr int kLookMillis = 5;
constexpr int kIdleMillis = 250;
constexpr auto kSweepEvery = std::chrono::minutes(5);

}  // namespace

GateWorker::GateWorker(std::unique_ptr<Platform> platform, GateOptions options, std::function<void()> onQuit)
    : platform_(std::move(platform)), gate_(platform_.get(), std::move(options)), onQuit_(std::move(onQuit)) {
  jobsReady_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  changes_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (changes_ >= 0) {
    std::string data = mailhook::DataDirectory(platform_.get(), gate_.options().serverDirectory);
    (void)::inotify_add_watch(changes_, data.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO);
  }
  thread_ = std::thread([this] { Run(); });
}

void GateWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  uint64_t one = 1;
  if (jobsReady_ >= 0) (void)!::write(jobsReady_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
}

GateWorker::~GateWorker() {
  Stop();
  if (jobsReady_ >= 0) ::close(jobsReady_);
  if (changes_ >= 0) ::close(changes_);
}

std::shared_ptr<GateWorker::Pending> GateWorker::Ask(std::string message, MessageEnvelope envelope) {
  auto job = std::make_shared<Job>();
  job->message_ = std::move(message);
  job->envelope_ = std::move(envelope);
  bool stopping = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping = stopping_;
    if (!stopping) incoming_.push_back(job);
  }
  if (stopping) {
    job->promise_.set_value({MilterVerdict::Kind::kTempFail, kNotRunning, {}});
    return job;
  }
  uint64_t one = 1;
  (void)!::write(jobsReady_, &one, sizeof one);
  return job;
}

void GateWorker::TakeNewJobs(std::deque<std::shared_ptr<Job>>* waiting) {
  std::deque<std::shared_ptr<Job>> jobs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs.swap(incoming_);
  }
  for (std::shared_ptr<Job>& job : jobs) {
    if (job->forgotten_) continue;  // gone before anything was stored
    std::optional<MilterVerdict> now = gate_.Submit(job->message_, job->envelope_, &job->noteId_);
    if (now) {
      job->promise_.set_value(std::move(*now));
      continue;
    }
    job->deadline_ = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(gate_.options().timeoutSeconds * 1000));
    waiting->push_back(std::move(job));
  }
}

void GateWorker::AnswerReleased(std::deque<std::shared_ptr<Job>>* waiting) {
  for (auto it = waiting->begin(); it != waiting->end();) {
    Job& job = **it;
    std::optional<MilterVerdict> verdict = gate_.Look(job.noteId_, job.message_);
    if (!verdict && Clock::now() >= job.deadline_) {
      std::printf("0x%X not released in time: the sender's MTA is told to try again\n", job.noteId_);
      verdict = MilterVerdict{MilterVerdict::Kind::kTempFail, kNotInTime, {}};
    }
    if (!verdict) {
      ++it;
      continue;
    }
    // The SMTP client hears first: the removal's sync is not its to wait
    // for, and what a stop leaves in between the sweep removes.
    job.promise_.set_value(std::move(*verdict));
    gate_.Drop(job.noteId_);
    it = waiting->erase(it);
  }
  std::fflush(stdout);
}

void GateWorker::Wait(bool anyWaiting) {
  pollfd fds[2] = {{jobsReady_, POLLIN, 0}, {changes_, POLLIN, 0}};
  int count = changes_ >= 0 ? 2 : 1;
  if (::poll(fds, count, anyWaiting ? kLookMillis : kIdleMillis) <= 0) return;
  char drain[4096];
  if (fds[0].revents & POLLIN) (void)!::read(jobsReady_, drain, sizeof(uint64_t));
  if (count == 2 && (fds[1].revents & POLLIN)) {
    while (::read(changes_, drain, sizeof drain) > 0) {
    }
  }
}

void GateWorker::Run() {
  std::deque<std::shared_ptr<Job>> waiting;
  auto swept = Clock::now() - kSweepEvery;  // once at start
  bool quitSaid = false;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
    }
    if (!quitSaid && platform_->AddInShouldTerminate()) {
      quitSaid = true;
      if (onQuit_) onQuit_();
    }
    TakeNewJobs(&waiting);
    AnswerReleased(&waiting);
    if (Clock::now() - swept >= kSweepEvery) {
      std::set<NoteId> ids;
      for (const auto& job : waiting) ids.insert(job->noteId_);
      (void)gate_.Sweep(ids);
      swept = Clock::now();
    }
    Wait(!waiting.empty());
  }
  // Stopping: nothing waits for ever, and nothing stays behind.
  std::deque<std::shared_ptr<Job>> unstored;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unstored.swap(incoming_);
  }
  for (const auto& job : unstored) job->promise_.set_value({MilterVerdict::Kind::kTempFail, kNotRunning, {}});
  for (const auto& job : waiting) {
    gate_.Drop(job->noteId_);
    job->promise_.set_value({MilterVerdict::Kind::kTempFail, kNotRunning, {}});
  }
}

}  // namespace zulmilter
