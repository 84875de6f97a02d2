// The one thread that owns the milter's platform. The SMTP connections'
// threads hand it their messages and wait for its verdicts; it stores
// each message, looks at every waiting one whenever mail.box changes (and
// every few milliseconds), answers each the moment the monitor released it
// or its time ran out, and sweeps away what a stopped milter left.
#ifndef TOOLS_ZULMILTER_GATE_WORKER_H_
#define TOOLS_ZULMILTER_GATE_WORKER_H_

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "notesapi/host/mime_import.h"
#include "notesapi/platform.h"
#include "tools/zulmilter/milter_gate.h"

namespace zulmilter {

class GateWorker {
 public:
  // Starts the thread, which alone uses `platform` from now on. `onQuit` is
  // called on that thread once the server quits.
  GateWorker(std::unique_ptr<notesapi::Platform> platform, GateOptions options, std::function<void()> onQuit);
  // Answers what still waits with 4xx and ends the thread; later messages
  // are answered 4xx at once. Safe to call more than once.
  void Stop();
  ~GateWorker();
  GateWorker(const GateWorker&) = delete;
  GateWorker& operator=(const GateWorker&) = delete;

  // A message waiting for its verdict. `Forget` when the SMTP client went
  // away: the message is then removed once the monitor is done with it.
  class Pending {
   public:
    std::future<MilterVerdict>& verdict() { return verdict_; }
    // The message as it was asked about.
    const std::string& message() const { return message_; }
    void Forget() { forgotten_ = true; }

   private:
    friend class GateWorker;
    std::string message_;
    notesapi::MessageEnvelope envelope_;
    std::promise<MilterVerdict> promise_;
    std::future<MilterVerdict> verdict_ = promise_.get_future();
    std::atomic<bool> forgotten_{false};
    notesapi::NoteId noteId_ = 0;
    std::chrono::steady_clock::time_point deadline_;
  };

  // One message to scan; the verdict comes when the monitor released it or
  // the time-out passed. Safe from any thread.
  std::shared_ptr<Pending> Ask(std::string message, notesapi::MessageEnvelope envelope);

 private:
  using Job = Pending;
  void Run();
  void TakeNewJobs(std::deque<std::shared_ptr<Job>>* waiting);
  void AnswerReleased(std::deque<std::shared_ptr<Job>>* waiting);
  void Wait(bool anyWaiting);

  std::unique_ptr<notesapi::Platform> platform_;
  MilterGate gate_;
  std::function<void()> onQuit_;
  std::mutex mutex_;
  std::deque<std::shared_ptr<Job>> incoming_;  // under mutex_
  bool stopping_ = false;                      // under mutex_
  int jobsReady_ = -1;                         // an eventfd: new jobs or the stop
  int changes_ = -1;                           // inotify on the data folder; the worker's alone
  std::thread thread_;
};

}  // namespace zulmilter

#endif  // TOOLS_ZULMILTER_GATE_WORKER_H_
