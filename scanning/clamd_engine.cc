// The remote engine: a clamd daemon over a Unix or TCP socket, spoken to in
// its "z"-command protocol (commands and answers end in a zero byte). Every
// connect, write and read has a time-out, so a daemon that is down, refuses
// or hangs gives a failure, never an endless wait.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <utility>

#include "scanning/scan_engine.h"
#include "scanning/scan_result.h"

namespace zul {

namespace {

constexpr int kConnectTimeoutMillis = 5000;
constexpr int kDefaultReplyTimeoutMillis = 30000;
constexpr size_t kChunkSize = 64 * 1024;
constexpr size_t kMaxReply = 4096;

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

bool WaitFor(int fd, short events, int timeoutMillis) {
  struct pollfd wait {fd, events, 0};
  for (;;) {
    int ready = ::poll(&wait, 1, timeoutMillis);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

HRESULT ConnectWithTimeout(int fd, const sockaddr* address, socklen_t length) {
  if (::connect(fd, address, length) == 0) return S_OK;
  if (errno != EINPROGRESS) return ZUL_E_REMOTE_UNAVAILABLE;
  if (!WaitFor(fd, POLLOUT, kConnectTimeoutMillis)) return ZUL_E_REMOTE_TIMEOUT;
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return ZUL_E_REMOTE_UNAVAILABLE;
  return S_OK;
}

class ClamdEngine final : public ScanEngine {
 public:
  explicit ClamdEngine(std::string address) : address_(std::move(address)) {}

  HRESULT Configure(const EngineSettings& settings) override {
    // The daemon applies its own scan limits; an answer that takes twice the
    // configured engine time-out (and a second) is not coming.
    replyTimeoutMillis_ = settings.timeoutMillis > 0 ? static_cast<int>(std::min<uint32_t>(settings.timeoutMillis, 3600000)) * 2 + 1000
                                                     : kDefaultReplyTimeoutMillis;
    return S_OK;
  }
  HRESULT Start() override {
    std::string reply;
    if (HRESULT hr = Command("zPING", &reply); hr != S_OK) return hr;
    return reply == "PONG" ? S_OK : ZUL_E_REMOTE_PROTOCOL;
  }
  HRESULT Reload() override {
    std::string reply;
    if (HRESULT hr = Command("zRELOAD", &reply); hr != S_OK) return hr;
    return reply == "RELOADING" ? S_OK : ZUL_E_REMOTE_PROTOCOL;
  }
  void Stop() override {}

  HRESULT Scan(std::string_view bytes, int32_t* verdict, std::string* threatName) override {
    Socket socket;
    if (HRESULT hr = Connect(&socket); hr != S_OK) return hr;
    if (HRESULT hr = Send(socket.get(), std::string_view("zINSTREAM", 10)); hr != S_OK) return hr;
    for (size_t at = 0; at < bytes.size(); at += kChunkSize) {
      std::string_view chunk = bytes.substr(at, kChunkSize);
      uint32_t length = htonl(static_cast<uint32_t>(chunk.size()));
      if (HRESULT hr = Send(socket.get(), std::string_view(reinterpret_cast<char*>(&length), 4)); hr != S_OK) {
        // clamd closes the stream early when it exceeds its size limit; its
        // answer says so.
        break;
      }
      if (Send(socket.get(), chunk) != S_OK) break;
    }
    uint32_t end = 0;
    (void)Send(socket.get(), std::string_view(reinterpret_cast<char*>(&end), 4));  // the answer tells
    std::string reply;
    if (HRESULT hr = Receive(socket.get(), &reply); hr != S_OK) return hr;
    return ParseScanReply(reply, verdict, threatName);
  }

  HRESULT Info(uint64_t* recordCount, std::string* version) override {
    std::string reply;
    if (HRESULT hr = Command("zVERSION", &reply); hr != S_OK) return hr;
    // "ClamAV 1.4.6/27500/Mon Dec  7 08:00:00 2026": the bases version is the
    // second field. clamd does not tell how many signatures it loaded.
    // Bases without a version (local signature files only) give "ClamAV 1.4.6".
    if (reply.rfind("ClamAV ", 0) != 0) return ZUL_E_REMOTE_PROTOCOL;
    size_t first = reply.find('/');
    size_t second = first == std::string::npos ? first : reply.find('/', first + 1);
    *version = first == std::string::npos ? std::string("local")
                                          : reply.substr(first + 1, second == std::string::npos ? second : second - first - 1);
    *recordCount = 0;
    return S_OK;
  }

  // The daemon's bases cannot be given a signature of ours; EICAR is the
  // object every set a site runs clamd with detects.
  std::string SelfTestObject() const override { return std::string(EicarTestObject()); }
  bool LoadsBasesFolder() const override { return false; }

 private:
  // Only "OK" is clean and only "<name> FOUND" a detection; a size limit the
  // daemon reached is an incomplete scan, and every other answer a failure.
  static HRESULT ParseScanReply(const std::string& reply, int32_t* verdict, std::string* threatName) {
    constexpr std::string_view kPrefix = "stream: ";
    if (reply.rfind(kPrefix, 0) != 0) {
      if (reply.find("size limit exceeded") != std::string::npos) {
        *verdict = VerdictIncomplete;
        *threatName = "Heuristics.Limits.Exceeded.StreamMaxLength";
        return S_OK;
      }
      return ZUL_E_REMOTE_PROTOCOL;
    }
    std::string rest = reply.substr(kPrefix.size());
    auto endsWith = [&](std::string_view tail) {
      return rest.size() >= tail.size() && rest.compare(rest.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (rest == "OK") {
      *verdict = VerdictClean;
    } else if (endsWith(" FOUND")) {
      *threatName = rest.substr(0, rest.size() - 6);
      *verdict = VerdictOfDetection(*threatName);
    } else if (endsWith(" ERROR")) {
      *threatName = rest.substr(0, rest.size() - 6);
      *verdict = threatName->find("size limit exceeded") != std::string::npos ? VerdictIncomplete : VerdictError;
    } else {
      return ZUL_E_REMOTE_PROTOCOL;
    }
    return S_OK;
  }

  HRESULT Connect(Socket* out) {
    if (address_.rfind("unix:", 0) == 0) {
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::string path = address_.substr(5);
      if (path.empty() || path.size() >= sizeof address.sun_path) return ZUL_E_BAD_ADDRESS;
      std::memcpy(address.sun_path, path.data(), path.size());
      int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) return ZUL_E_REMOTE_UNAVAILABLE;
      Socket socket(fd);
      if (HRESULT hr = ConnectWithTimeout(fd, reinterpret_cast<sockaddr*>(&address), sizeof address); hr != S_OK) {
        return hr;
      }
      out->reset(socket.release());
      return S_OK;
    }
    if (address_.rfind("tcp:", 0) == 0) {
      std::string hostPort = address_.substr(4);
      size_t colon = hostPort.rfind(':');
      if (colon == std::string::npos || colon == 0 || colon + 1 == hostPort.size()) return ZUL_E_BAD_ADDRESS;
      addrinfo hints{};
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* found = nullptr;
      if (::getaddrinfo(hostPort.substr(0, colon).c_str(), hostPort.substr(colon + 1).c_str(), &hints, &found) != 0) {
        return ZUL_E_BAD_ADDRESS;
      }
      std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
      int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) return ZUL_E_REMOTE_UNAVAILABLE;
      Socket socket(fd);
      if (HRESULT hr = ConnectWithTimeout(fd, found->ai_addr, found->ai_addrlen); hr != S_OK) return hr;
      out->reset(socket.release());
      return S_OK;
    }
    return ZUL_E_BAD_ADDRESS;
  }

  HRESULT Send(int fd, std::string_view data) {
    size_t done = 0;
    while (done < data.size()) {
      if (!WaitFor(fd, POLLOUT, replyTimeoutMillis_)) return ZUL_E_REMOTE_TIMEOUT;
      ssize_t sent = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (sent <= 0) return ZUL_E_REMOTE_UNAVAILABLE;
      done += static_cast<size_t>(sent);
    }
    return S_OK;
  }

  // Reads one answer up to its zero byte (or the end of the connection).
  HRESULT Receive(int fd, std::string* reply) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(replyTimeoutMillis_);
    std::string data;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !WaitFor(fd, POLLIN, static_cast<int>(left.count()))) return ZUL_E_REMOTE_TIMEOUT;
      char buffer[512];
      ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got < 0) return ZUL_E_REMOTE_UNAVAILABLE;
      if (got == 0) break;
      data.append(buffer, static_cast<size_t>(got));
      if (data.find('\0') != std::string::npos) break;
      if (data.size() > kMaxReply) return ZUL_E_REMOTE_PROTOCOL;
    }
    size_t end = data.find('\0');
    if (end == std::string::npos) {
      if (data.empty()) return ZUL_E_REMOTE_PROTOCOL;
      end = data.size();
    }
    *reply = data.substr(0, end);  // exactly as sent: "stream: OK\n" is not the clean answer
    return S_OK;
  }

  HRESULT Command(const char* command, std::string* reply) {
    Socket socket;
    if (HRESULT hr = Connect(&socket); hr != S_OK) return hr;
    if (HRESULT hr = Send(socket.get(), std::string_view(command, std::strlen(command) + 1)); hr != S_OK) return hr;
    return Receive(socket.get(), reply);
  }

  std::string address_;
  int replyTimeoutMillis_ = kDefaultReplyTimeoutMillis;
};

}  // namespace

std::unique_ptr<ScanEngine> NewClamdEngine(const std::string& address) {
  return std::make_unique<ClamdEngine>(address);
}

}  // namespace zul
