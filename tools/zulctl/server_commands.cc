#include "tools/zulctl/server_commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include "notesapi/host/host_admin.h"
#include "notesapi/host/host_platform.h"
#include "notesapi/scoped_handles.h"
#include "tools/zulctl/cli_support.h"

namespace zulctl {

using namespace notesapi;

namespace {

// The English message library comes with the programs, beside zulctl.
std::string BesideThisProgram(const std::string& file) {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? file : (self.parent_path() / file).string();
}

// Installs the message library of a language into the server's program
// folder and names it in notes.ini for the tasks.
Status ChooseLanguage(const std::string& directory, const std::string& language) {
  if (language == "ru") return Status::OK();  // the built-in texts
  std::string library = "zelklocale-" + language + ".dll";
  std::error_code error;
  std::filesystem::copy_file(BesideThisProgram(library), directory + "/program/" + library,
                             std::filesystem::copy_options::overwrite_existing, error);
  if (error) {
    return Status::NotFound("no message library for language " + language + " (" + BesideThisProgram(library) + ": " +
                            error.message() + ")");
  }
  HostOptions options;
  options.notesIni = directory + "/notes.ini";
  options.echoConsole = false;
  std::unique_ptr<Platform> platform;
  notesapi::Status s = NewHostPlatform(options, &platform);
  if (s == kNoError) s = platform->IniSetText("ZulMessageLibrary", library);
  if (s != kNoError) return Fail(platform.get(), "cannot name the message library in notes.ini", s);
  return Status::OK();
}

std::vector<TaskState> RunningTasks(const std::string& serverDirectory) {
  std::vector<TaskState> tasks;
  (void)ListTasks(serverDirectory, &tasks);  // an unreadable list reads as empty
  return tasks;
}
}  // namespace

Status ActAsServerOwner(const std::string& serverDirectory) {
  std::string owner;
  notesapi::Status s = AdoptServerOwner(serverDirectory, &owner);
  if (s == kServerOwnedByOther) {
    return Status::Busy("the server directory " + serverDirectory + " belongs to " + owner + ": run this as " + owner +
                        " (runuser -u " + owner + " -- zulctl ...) or as root");
  }
  if (s != kNoError) {
    return Status::Failed("cannot take the user " + owner + ", who owns " + serverDirectory +
                          " (a user the system does not know, or one in root's group, is never taken)");
  }
  return Status::OK();
}

Status Init(const InitArguments& init) {
  const std::string& directory = init.directory;
  std::string administrators;
  for (const std::string& address : init.administrators) administrators += (administrators.empty() ? "" : ";") + address;
  // Into a folder made ready for the service (owned by its user): made as that user.
  if (Status owner = ActAsServerOwner(directory); !owner.ok()) return owner;
  notesapi::Status s = InitServerDirectory(directory, init.server);
  if (s == kDatabaseExists) {
    return Status::Failed(directory + " already has a notes.ini; nothing changed");
  }
  if (s != kNoError) return Fail(nullptr, "cannot initialise " + directory, s);
  if (Status done = ChooseLanguage(directory, init.language); !done.ok()) return done;
  if (!administrators.empty()) {
    // Read by zulctl settings init as the administrators' addresses.
    std::ofstream ini(directory + "/notes.ini", std::ios::app);
    ini << "; The administrators' mail addresses (zulctl init --admin), used by zulctl settings init.\n"
        << "ZulAdministrators=" << administrators << "\n";
    if (!ini) return Fail(nullptr, "cannot write " + directory + "/notes.ini", kFileError);
  }
  std::cout << "server directory " << directory << " ready; use it with ZUL_NOTES_INI=" << directory << "/notes.ini\n";
  return Status::OK();
}

Status Tell(Platform* platform, const TellArguments& tell) {
  std::string command;
  for (const std::string& word : tell.words) command += (command.empty() ? "" : " ") + word;
  std::string queueName = "MQ$" + Upper(tell.task);
  ScopedQueue queue(platform);
  notesapi::Status s = platform->QueueOpen(queueName, kQueueOpenExisting, queue.put());
  if (IsError(s, kQueueNotFound)) {
    return Status::NotFound("no task reads " + queueName + " (it has never run here); nothing sent");
  }
  if (s != kNoError) return Fail(platform, "cannot open " + queueName, s);
  if (s = platform->QueuePut(queue.get(), 1, ToLmbcs(platform, command)); s != kNoError) {
    return Fail(platform, "cannot send to " + queueName, s);
  }
  std::cout << "sent to " << queueName << ": " << command << "\n";
  return Status::OK();
}


// Asks the running tasks to stop, waits (bounded) until they have ended,
// says which did and which did not, and clears the flag again, so that the
// next start runs normally.
Status Quit(const std::string& serverDirectory, const QuitArguments& quit) {
  if (quit.cancel) {
    if (notesapi::Status s = SetServerQuitting(serverDirectory, false); s != kNoError) return Fail(nullptr, "cannot clear quit", s);
    std::cout << "server no longer quitting\n";
    return Status::OK();
  }
  std::vector<TaskState> before = RunningTasks(serverDirectory);
  if (notesapi::Status s = SetServerQuitting(serverDirectory, true); s != kNoError) return Fail(nullptr, "cannot set quit", s);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(quit.waitSeconds);
  std::vector<TaskState> left = RunningTasks(serverDirectory);
  while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    left = RunningTasks(serverDirectory);
  }
  for (const TaskState& task : before) {
    bool running = std::any_of(left.begin(), left.end(), [&](const TaskState& t) { return t.pid == task.pid; });
    std::printf("%-20s (pid %u) %s\n", task.task.c_str(), task.pid, running ? "did not end in time" : "ended");
  }
  if (!left.empty()) {
    std::printf("%zu task(s) still running; the server stays quitting (zulctl quit --cancel clears it)\n", left.size());
    return Status::Failed("");
  }
  if (notesapi::Status s = SetServerQuitting(serverDirectory, false); s != kNoError) return Fail(nullptr, "cannot clear quit", s);
  std::printf("%s\n", before.empty() ? "no task was running" : "all tasks ended; the server takes new starts");
  return Status::OK();
}

Status Tasks(const std::string& serverDirectory) {
  std::vector<TaskState> tasks;
  if (notesapi::Status s = ListTasks(serverDirectory, &tasks); s != kNoError) return Fail(nullptr, "cannot read the task list", s);
  std::printf("%-8s %-20s %s\n", "PID", "TASK", "STATUS");
  for (const TaskState& task : tasks) std::printf("%-8u %-20s %s\n", task.pid, task.task.c_str(), task.text.c_str());
  if (tasks.empty()) std::printf("(no task running)\n");
  return Status::OK();
}

Status Queues(const std::string& serverDirectory) {
  std::vector<QueueState> queues;
  if (notesapi::Status s = ListQueues(serverDirectory, &queues); s != kNoError) return Fail(nullptr, "cannot read the queues", s);
  std::printf("%-40s %8s %12s\n", "QUEUE", "WAITING", "SET ASIDE");
  for (const QueueState& queue : queues) {
    std::printf("%-40s %8lld %12lld\n", queue.name.c_str(), static_cast<long long>(queue.waiting),
                static_cast<long long>(queue.deadLetters));
  }
  return Status::OK();
}

}  // namespace zulctl
