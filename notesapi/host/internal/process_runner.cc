#include "notesapi/host/internal/process_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>

namespace notesapi::host {

namespace {

bool IsExecutable(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string Resolve(const std::string& program, const std::vector<std::string>& searchFolders) {
  std::vector<std::string> names{program};
  constexpr std::string_view kExe = ".exe";
  if (program.size() > kExe.size() && program.compare(program.size() - kExe.size(), kExe.size(), kExe) == 0) {
    names.push_back(program.substr(0, program.size() - kExe.size()));
  }
  for (const std::string& name : names) {
    if (name.find('/') != std::string::npos) {
      if (IsExecutable(name)) return name;
      continue;
    }
    std::vector<std::string> folders = searchFolders;
    if (const char* path = std::getenv("PATH")) {
      std::string_view rest(path);
      while (!rest.empty()) {
        size_t colon = rest.find(':');
        folders.emplace_back(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
      }
    }
    for (const std::string& folder : folders) {
      if (folder.empty()) continue;
      std::string candidate = folder + "/" + name;
      if (IsExecutable(candidate)) return candidate;
    }
  }
  return {};
}

// Waits for the child; false when it had to be ended after the timeout.
bool WaitForChild(pid_t pid, uint32_t timeoutSeconds, int* status) {
  if (timeoutSeconds == 0) {
    while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    return true;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    pid_t done = ::waitpid(pid, status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) return true;
    if (std::chrono::steady_clock::now() >= deadline) break;
    ::usleep(20000);
  }
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid, status, WNOHANG) == pid) return false;
    ::usleep(20000);
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
  return false;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string word;
    bool quoted = false;
    for (; i < line.size(); ++i) {
      char c = line[i];
      if (!quoted && (c == ' ' || c == '\t')) break;
      if (c == '\\') {
        size_t run = 0;
        while (i < line.size() && line[i] == '\\') {
          ++run;
          ++i;
        }
        if (i < line.size() && line[i] == '"') {
          word.append(run / 2, '\\');
          if (run % 2 == 1) {
            word.push_back('"');
            continue;
          }
          --i;  // the quote is handled by the next turn
        } else {
          word.append(run, '\\');
          --i;
        }
        continue;
      }
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      word.push_back(c);
    }
    words.push_back(std::move(word));
  }
  return words;
}

Status RunChild(const std::string& program, const std::vector<std::string>& arguments, const std::string& output,
                const std::vector<std::string>& searchFolders, uint32_t timeoutSeconds, int* exitCode) {
  std::string path = Resolve(program, searchFolders);
  int outputFd = ::open(output.empty() ? "/dev/null" : output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (outputFd < 0) return kProcessOutputFailed;
  if (path.empty()) {
    ::close(outputFd);
    return kProcessNotStarted;
  }
  // The child reports a failed exec through a pipe that closes on success.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    ::close(outputFd);
    return kProcessNotStarted;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outputFd, STDOUT_FILENO);
    ::dup2(outputFd, STDERR_FILENO);
    ::execv(path.c_str(), argv.data());
    int error = errno;
    (void)!::write(report[1], &error, sizeof error);
    ::_exit(127);
  }
  ::close(outputFd);
  ::close(report[1]);
  if (pid < 0) {
    ::close(report[0]);
    return kProcessNotStarted;
  }
  int error = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  int status = 0;
  if (got > 0) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return kProcessNotStarted;
  }
  if (!WaitForChild(pid, timeoutSeconds, &status)) return kProcessTimedOut;
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return kNoError;
}

}  // namespace notesapi::host
