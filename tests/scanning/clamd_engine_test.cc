// The remote engine against a real clamd started on a Unix socket of the
// test's own folder, and against peers that misbehave.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "scanning/scan_engine.h"
#include "scanning/scan_kernel.h"
#include "tests/scanning/zip_builder.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// A Unix socket peer that answers every connection with `answer` (or, when
// empty, never answers) until it is destroyed; a ping gets `pong` when given.
class FakeDaemon {
 public:
  FakeDaemon(const std::string& path, std::string answer, std::string pong = "")
      : answer_(std::move(answer)), pong_(std::move(pong)) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    (void)::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    (void)::listen(fd_, 4);
    thread_ = std::thread([this] {
      for (;;) {
        int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0 || stop_) {
          if (client >= 0) ::close(client);
          return;
        }
        char buffer[4096];
        ssize_t got = ::read(client, buffer, sizeof buffer);
        bool ping = got >= 5 && std::string(buffer, 5) == "zPING";
        const std::string& answer = ping && !pong_.empty() ? pong_ : answer_;
        if (!answer.empty()) (void)!::write(client, answer.data(), answer.size());
        clients_.push_back(client);  // kept open: a silent daemon never closes
      }
    });
  }
  ~FakeDaemon() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
    for (int client : clients_) ::close(client);
  }

 private:
  int fd_ = -1;
  std::string answer_;
  std::string pong_;
  std::atomic<bool> stop_{false};
  std::vector<int> clients_;
  std::thread thread_;
};

class ClamdEngineTest : public TaskTest {
 protected:
  void SetUp() override {
    // Unix socket paths are short: the test's own folder under /tmp.
    folder_ = server_.directory() + "/c";
    std::filesystem::create_directories(folder_);
    socket_ = folder_ + "/clamd.sock";
  }
  void TearDown() override {
    if (daemon_ > 0) {
      ::kill(daemon_, SIGTERM);
      int status = 0;
      ::waitpid(daemon_, &status, 0);
    }
  }

  // Starts clamd on the demo bases; false when clamd is not installed.
  bool StartClamd() {
    if (::access("/usr/sbin/clamd", X_OK) != 0) return false;
    std::ofstream(folder_ + "/clamd.conf") << "LocalSocket " << socket_ << "\nDatabaseDirectory " << DEMO_BASES_DIR
                                           << "\nTemporaryDirectory " << folder_ << "\nForeground yes\n"
                                           << "LogFile " << folder_ << "/clamd.log\nUser root\n"
                                           << "AlertEncrypted yes\nAlertExceedsMax yes\n";
    daemon_ = ::fork();
    if (daemon_ == 0) {
      int quiet = ::open("/dev/null", O_WRONLY);
      ::dup2(quiet, STDOUT_FILENO);
      ::dup2(quiet, STDERR_FILENO);
      ::execl("/usr/sbin/clamd", "clamd", "-c", (folder_ + "/clamd.conf").c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    engine_ = NewClamdEngine("unix:" + socket_);
    EngineSettings settings;
    settings.timeoutMillis = 5000;
    (void)engine_->Configure(settings);
    // Ready once it answers; loading the demo bases takes a moment.
    for (int attempt = 0; attempt < 600; ++attempt) {
      if (engine_->Start() == S_OK) return true;
      int status = 0;
      if (::waitpid(daemon_, &status, WNOHANG) == daemon_) {
        daemon_ = 0;
        return false;
      }
      ::usleep(50000);
    }
    return false;
  }

  std::string folder_;
  std::string socket_;
  pid_t daemon_ = 0;
  std::unique_ptr<ScanEngine> engine_;
};

TEST_F(ClamdEngineTest, GivesTheSameVerdictsAsTheLibrary) {
  if (!StartClamd()) GTEST_SKIP() << "clamd is not installed or did not start";
  std::unique_ptr<ScanEngine> library = NewClamavEngine();
  EngineSettings settings;
  settings.basesFolder = DEMO_BASES_DIR;
  settings.scanFlags = 0x7E;
  ASSERT_EQ(library->Configure(settings), S_OK);
  ASSERT_EQ(library->Start(), S_OK);
  std::vector<std::string> samples = {kEicar, "clean text\n", BuildZip({{"a.txt", "clean"}}),
                                      BuildZip({{"secret.doc", "hidden"}}, true)};
  for (const auto& entry : std::filesystem::directory_iterator("/usr/share/clamav-testfiles")) {
    std::ifstream in(entry.path(), std::ios::binary);
    samples.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  for (size_t i = 0; i < samples.size(); ++i) {
    int32_t remoteVerdict = -1;
    int32_t localVerdict = -1;
    std::string remoteName;
    std::string localName;
    ASSERT_EQ(engine_->Scan(samples[i], &remoteVerdict, &remoteName), S_OK) << i;
    ASSERT_EQ(library->Scan(samples[i], &localVerdict, &localName), S_OK) << i;
    EXPECT_EQ(remoteVerdict, localVerdict) << i << " " << remoteName << " / " << localName;
  }
  uint64_t count = 1;
  std::string version;
  ASSERT_EQ(engine_->Info(&count, &version), S_OK);
  EXPECT_EQ(count, 0u) << "clamd does not tell its signature count";
  EXPECT_FALSE(version.empty());
  EXPECT_EQ(engine_->Reload(), S_OK);
}

TEST_F(ClamdEngineTest, KernelSelfTestGoesThroughTheDaemon) {
  std::string work = folder_ + "/work";
  std::filesystem::create_directories(work + "/ftemp");
  KernelSettingsRecord settings;
  settings.tempFolder = std::u16string(work.begin(), work.end()) + u"/ftemp";
  settings.engineTimeout = 200;
  std::unique_ptr<ScanKernel> kernel;
  {
    // A daemon that answers, but finds nothing in anything.
    FakeDaemon blind(socket_, std::string("stream: OK\0", 11), std::string("PONG\0", 5));
    EXPECT_EQ(ScanKernel::Open({"clamd:unix:" + socket_, settings}, host_.get(), &kernel).hresult(), ZUL_E_SELF_TEST);
    EXPECT_EQ(kernel, nullptr);
  }
  ::unlink(socket_.c_str());
  if (!StartClamd()) GTEST_SKIP() << "clamd is not installed or did not start";
  ASSERT_TRUE(ScanKernel::Open({"clamd:unix:" + socket_, settings}, host_.get(), &kernel).ok())
      << "the real daemon detects EICAR";
  EXPECT_TRUE(kernel->Reload().ok());
}

TEST_F(ClamdEngineTest, OnlyTheExactCleanAnswerIsClean) {
  EngineSettings settings;
  settings.timeoutMillis = 200;
  for (const char* reply : {"stream: OK ", "stream: ok", "stream:OK", " stream: OK", "stream: OK\n", "OK",
                            "stream: ", "stream: OKAY", "stream: something else"}) {
    FakeDaemon daemon(socket_, std::string(reply) + '\0');
    std::unique_ptr<ScanEngine> engine = NewClamdEngine("unix:" + socket_);
    ASSERT_EQ(engine->Configure(settings), S_OK);
    int32_t verdict = -1;
    std::string name;
    HRESULT hr = engine->Scan("clean bytes", &verdict, &name);
    EXPECT_FALSE(hr == S_OK && verdict == VerdictClean) << "'" << reply << "' taken as clean";
    ::unlink(socket_.c_str());
  }
  FakeDaemon daemon(socket_, std::string("stream: OK\0", 11));
  std::unique_ptr<ScanEngine> engine = NewClamdEngine("unix:" + socket_);
  ASSERT_EQ(engine->Configure(settings), S_OK);
  int32_t verdict = -1;
  std::string name;
  EXPECT_EQ(engine->Scan("clean bytes", &verdict, &name), S_OK);
  EXPECT_EQ(verdict, VerdictClean) << "the exact answer is clean";
}

TEST_F(ClamdEngineTest, MisbehavingDaemonsGiveFailuresNotHangs) {
  EngineSettings settings;
  settings.timeoutMillis = 200;  // answers are given up after 1.4 s
  int32_t verdict = -1;
  std::string name;
  {
    FakeDaemon garbage(socket_, std::string("hello there\0", 12));
    std::unique_ptr<ScanEngine> engine = NewClamdEngine("unix:" + socket_);
    ASSERT_EQ(engine->Configure(settings), S_OK);
    EXPECT_EQ(engine->Start(), ZUL_E_REMOTE_PROTOCOL);
    EXPECT_EQ(engine->Scan(kEicar, &verdict, &name), ZUL_E_REMOTE_PROTOCOL);
  }
  ::unlink(socket_.c_str());
  {
    FakeDaemon silent(socket_, "");
    std::unique_ptr<ScanEngine> engine = NewClamdEngine("unix:" + socket_);
    ASSERT_EQ(engine->Configure(settings), S_OK);
    EXPECT_EQ(engine->Scan(kEicar, &verdict, &name), ZUL_E_REMOTE_TIMEOUT);
  }
  ::unlink(socket_.c_str());
  std::unique_ptr<ScanEngine> down = NewClamdEngine("unix:" + socket_);
  EXPECT_EQ(down->Scan(kEicar, &verdict, &name), ZUL_E_REMOTE_UNAVAILABLE);
  EXPECT_EQ(NewClamdEngine("tcp:127.0.0.1")->Start(), ZUL_E_BAD_ADDRESS);
  EXPECT_EQ(NewClamdEngine("unix:")->Start(), ZUL_E_BAD_ADDRESS);
  EXPECT_EQ(NewClamdEngine("tcp:127.0.0.1:1")->Start(), ZUL_E_REMOTE_UNAVAILABLE) << "refused";
}

}  // namespace
}  // namespace zul::testing
