#include "tools/zulrouter/mail_router.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <vector>

#include "tools/zulrouter/local_delivery.h"
#include "tools/zulrouter/relay.h"
#include "tools/zulsubmit/mail_hook.h"

namespace zulrouter {

using namespace notesapi;
using zul::Status;

namespace {

constexpr char kRouterName[] = "ZulRouter";
constexpr int kWaitMillis = 1000;
// A change is seen when its log is written, which can be before its commit
// is visible: for a while after each change the router looks again often.
constexpr int kLookAgainMillis = 5;
constexpr auto kLookAgainFor = std::chrono::milliseconds(200);

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
    bool recent = std::chrono::steady_clock::now() - lastChange_ < kLookAgainFor;
    if (::poll(&waiting, 1, recent ? kLookAgainMillis : kWaitMillis) > 0) {
      char events[4096];
      while (::read(fd_, events, sizeof events) > 0) {
      }
      lastChange_ = std::chrono::steady_clock::now();
    }
  }

 private:
  int fd_;
  std::chrono::steady_clock::time_point lastChange_;
};

}  // namespace

Status TakeRouterInstance(Platform* p, const std::string& serverDirectory) {
  notesapi::Status s = p->AcquireInstance(kRouterName);
  if (s == kNoError) return Status::OK();
  if (IsError(s, kInstanceRunning)) {
    std::string holder;
    std::ifstream in(serverDirectory + "/run/zulrouter.instance");
    std::getline(in, holder);
    return Status::Busy("a router is already running on this server (process " + (holder.empty() ? "?" : holder) +
                        "); not started");
  }
  return Status::FromPlatform(s, "the router's instance lock cannot be taken: " + p->StatusText(s));
}

Status RunRouter(Platform* p, const RouterOptions& options) {
  ModuleHandle module = kNullHandle;
  StatusLineHandle line = kNullHandle;
  if (p->StatusLineCreate(kRouterName, &line) == kNoError) (void)p->StatusLineSetDefault(module, line);
  bool relay = !options.sendmail.empty();
  std::string what = relay ? "Relaying mail through " + options.sendmail : "Routing mail into mail/*.nsf";
  (void)p->StatusLineSetText(line, what);
  if (notesapi::Status s = p->AddInStart(); s != kNoError) {
    return Status::FromPlatform(s, "the router cannot start: " + p->StatusText(s));
  }
  const std::string& directory = options.serverDirectory;
  ChangeWatch watch({mailhook::DataDirectory(p, directory), directory + "/run/mq"});
  Relay relayer(p, directory, options.sendmail);
  std::printf("%s (hook of %s served; zulctl quit stops it)\n", what.c_str(), options.task.c_str());
  std::fflush(stdout);
  while (!p->AddInShouldTerminate()) {
    (void)mailhook::HookHolds(p, directory, options.task);  // serves the monitor's commands to the hook
    if (relay) {
      relayer.Pass();
    } else {
      DeliveryCounts counts;
      Status delivered = DeliverLocally(p, directory, &counts);
      // No mail.box: nothing arrived yet. Anything else is said each pass it lasts.
      if (!delivered.ok() && !IsError(delivered.platformStatus(), kDatabaseNotFound)) {
        std::fprintf(stderr, "%s\n", delivered.ToString().c_str());
      }
    }
    watch.Wait();
  }
  (void)p->StatusLineDelete(line);
  return Status::OK();
}

}  // namespace zulrouter
