#include "notesapi/host/internal/task_frame_role.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <vector>

namespace notesapi::host {

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int) { g_stopSignal = 1; }

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a waiting poll wakes up at once
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace

TaskFrameRole::TaskFrameRole(HostState& state) : s_(state), startMicros_(state.options.clock->NowMicros()) {}

TaskFrameRole::~TaskFrameRole() {
  if (inotifyFd_ >= 0) ::close(inotifyFd_);
  for (const auto& [name, fd] : instanceLocks_) ::close(fd);
}

Status TaskFrameRole::AddInStart() {
  InstallStopSignals();
  startMicros_ = s_.options.clock->NowMicros();
  lastFoldMicros_ = startMicros_;
  intervals_.clear();
  bool quitting = false;
  if (s_.queues.Quitting(&quitting) == kNoError && quitting) {
    // Otherwise the task would end at once without a word.
    s_.platform->ConsoleLine("the server is quitting: this task ends at once (zulctl quit --cancel clears that)");
  }
  return kNoError;
}

Status TaskFrameRole::StatusLineQueryDefault(ModuleHandle* module, StatusLineHandle* line) {
  *module = kHostModule;
  *line = defaultLine_;
  return kNoError;
}

Status TaskFrameRole::StatusLineDelete(StatusLineHandle line) {
  if (line == kNullHandle) return kNoError;
  auto it = statusLines_.find(line);
  if (it == statusLines_.end()) return kInvalidHandle;
  Status st = s_.tasks.Delete(it->second);
  statusLines_.erase(it);
  if (defaultLine_ == line) defaultLine_ = kNullHandle;
  return st;
}

Status TaskFrameRole::StatusLineCreate(std::string_view taskName, StatusLineHandle* line) {
  int64_t id = 0;
  if (Status st = s_.tasks.Create(s_.platform->ProcessId(), taskName, &id); st != kNoError) return st;
  StatusLineHandle handle = s_.NewHandle();
  statusLines_[handle] = id;
  *line = handle;
  return kNoError;
}

Status TaskFrameRole::StatusLineSetDefault(ModuleHandle module, StatusLineHandle line) {
  if (module != kHostModule || !statusLines_.contains(line)) return kInvalidHandle;
  defaultLine_ = line;
  return kNoError;
}

Status TaskFrameRole::StatusLineSetText(StatusLineHandle line, std::string_view text) {
  auto it = statusLines_.find(line);
  if (it == statusLines_.end()) return kInvalidHandle;
  return s_.tasks.SetText(it->second, text);
}

Status TaskFrameRole::StatusLineSetDefaultText(std::string_view text) {
  if (defaultLine_ == kNullHandle) return kInvalidHandle;
  return StatusLineSetText(defaultLine_, text);
}

bool TaskFrameRole::AddInShouldTerminate() {
  if (g_stopSignal != 0) return true;
  bool quitting = false;
  return s_.queues.Quitting(&quitting) == kNoError && quitting;
}

bool TaskFrameRole::AddInIdle() {
  if (AddInShouldTerminate()) return true;
  if (!WaitForQueueActivity()) FoldDatabaseLogsWhenDue();
  return AddInShouldTerminate();
}

// A task keeps its databases open, so their logs are folded in only as they
// grow; while it is idle it folds them into the files now and then: the
// files alone then hold every saved note (a copy of them is a backup) and a
// log does not grow for long.
void TaskFrameRole::FoldDatabaseLogsWhenDue() {
  constexpr int64_t kFoldEveryMicros = 10 * 1000000;
  int64_t now = s_.options.clock->NowMicros();
  if (now - lastFoldMicros_ < kFoldEveryMicros) return;
  lastFoldMicros_ = now;
  for (auto& [file, kept] : s_.keptDatabases) {
    (void)kept.store->FoldLog();  // another process busy with it: folded next time, or by SQLite as the log grows
  }
}

bool TaskFrameRole::AddInIntervalElapsed(uint32_t seconds) {
  int64_t now = s_.options.clock->NowMicros();
  auto [it, inserted] = intervals_.try_emplace(seconds, startMicros_);
  if (now - it->second < static_cast<int64_t>(seconds) * 1000000) return false;
  it->second = now;
  return true;
}

Status TaskFrameRole::AcquireInstance(std::string_view program) {
  std::string name(program);
  if (name.empty() || name.find_first_of("/\\") != std::string::npos) return kBadArgument;
  if (instanceLocks_.contains(name)) return kInstanceRunning;
  // A lock the kernel drops when the process dies, however it dies.
  std::string path = s_.serverDirectory + "/run/" + Lower(name) + ".instance";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return kFileError;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return errno == EWOULDBLOCK ? kInstanceRunning : kFileError;
  }
  // Who holds it, for whoever finds it taken.
  std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    ::close(fd);
    return kFileError;
  }
  instanceLocks_[name] = fd;
  return kNoError;
}

Status TaskFrameRole::ReleaseInstance(std::string_view program) {
  auto it = instanceLocks_.find(std::string(program));
  if (it == instanceLocks_.end()) return kInvalidHandle;
  ::close(it->second);
  instanceLocks_.erase(it);
  return kNoError;
}

// Sleeps until a queue that this instance has open holds a message, or the
// pause runs out. Queue writers change the queue folder, which inotify
// reports, so the wait needs no polling of the store.
bool TaskFrameRole::WaitForQueueActivity() {
  if (s_.options.idleWaitMillis <= 0) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s_.options.idleWaitMillis);
  if (inotifyFd_ < 0) {
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd_ >= 0) {
      std::string folder = QueueStore::FolderOf(s_.serverDirectory);
      ::inotify_add_watch(inotifyFd_, folder.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO);
    }
  }
  std::vector<std::string> names;
  for (const auto& [handle, name] : s_.openQueues) names.push_back(name);
  // A writer's file change can be seen a moment before its commit is:
  // after each change the store is looked at again a few times, shortly.
  constexpr int kRecheckMillis[] = {1, 4, 16};
  size_t rechecks = std::size(kRecheckMillis);
  while (g_stopSignal == 0) {
    bool waiting = false;
    if (!names.empty() && s_.queues.AnyWaiting(names, &waiting) == kNoError && waiting) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (inotifyFd_ < 0) {
      ::usleep(static_cast<useconds_t>(left.count()) * 1000);
      return false;
    }
    int timeout = static_cast<int>(left.count());
    if (rechecks < std::size(kRecheckMillis)) timeout = std::min(timeout, kRecheckMillis[rechecks++]);
    struct pollfd wait {inotifyFd_, POLLIN, 0};
    int ready = ::poll(&wait, 1, timeout);
    if (ready < 0) return false;  // a signal: the caller checks for a stop
    if (ready == 0) continue;
    char events[4096];
    while (::read(inotifyFd_, events, sizeof events) > 0) {
    }
    rechecks = 0;
  }
  return false;
}

}  // namespace notesapi::host
