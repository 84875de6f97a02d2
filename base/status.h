// The outcome of an operation above the platform: OK, or a code and a message
// that says what failed in words an administrator can act on. OK costs one
// null pointer; only a failure allocates.
//
// The platform's 16-bit statuses and the scan kernel's HRESULTs stay at their
// own boundaries, where the log texts show their values; a Status made from
// one carries that value (platformStatus(), hresult()) so the caller can log
// it as before.
#ifndef BASE_STATUS_H_
#define BASE_STATUS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/hresult.h"
#include "notesapi/status.h"

namespace zul {

class [[nodiscard]] Status {
 public:
  enum class Code : uint8_t {
    kOk = 0,
    kNotFound,         // a file, database, document or setting that is not there
    kInvalidArgument,  // input that does not parse or is not allowed
    kCorrupt,          // stored data that fails its check (a signature, a format)
    kPlatform,         // a platform call failed; platformStatus() says which
    kKernel,           // the scan kernel failed; hresult() says how
    kBusy,             // held by someone else (another instance, a lock)
    kUnavailable,      // cannot be done now; the same request may work later
    kFailed,           // any other failure, said by the message
  };

  Status() = default;
  Status(const Status& other) : state_(other.state_ ? std::make_unique<State>(*other.state_) : nullptr) {}
  Status& operator=(const Status& other) {
    if (this != &other) state_ = other.state_ ? std::make_unique<State>(*other.state_) : nullptr;
    return *this;
  }
  Status(Status&&) noexcept = default;
  Status& operator=(Status&&) noexcept = default;

  static Status OK() { return Status(); }
  static Status NotFound(std::string_view message) { return Status(Code::kNotFound, 0, message); }
  static Status InvalidArgument(std::string_view message) { return Status(Code::kInvalidArgument, 0, message); }
  static Status Corrupt(std::string_view message) { return Status(Code::kCorrupt, 0, message); }
  static Status Busy(std::string_view message) { return Status(Code::kBusy, 0, message); }
  static Status Unavailable(std::string_view message) { return Status(Code::kUnavailable, 0, message); }
  static Status Failed(std::string_view message) { return Status(Code::kFailed, 0, message); }
  // OK for kNoError; otherwise the platform's status with what was being done.
  static Status FromPlatform(notesapi::Status status, std::string_view message);
  // OK for S_OK; otherwise the kernel's HRESULT with what was being done.
  static Status FromKernel(HRESULT result, std::string_view message);

  bool ok() const { return state_ == nullptr; }
  Code code() const { return state_ ? state_->code : Code::kOk; }
  bool IsNotFound() const { return code() == Code::kNotFound; }
  // The message alone ("" when OK).
  const std::string& message() const;
  // The platform status carried (0 when none).
  notesapi::Status platformStatus() const;
  // The HRESULT carried: S_OK when OK, E_FAIL for a failure that carries none.
  HRESULT hresult() const;
  // "OK", or the message; a carried value follows in parentheses.
  std::string ToString() const;
  // The same code and value with `context` put before the message.
  Status Within(std::string_view context) const;

 private:
  struct State {
    Code code;
    int64_t value;  // the platform status or the HRESULT, by the code
    std::string message;
  };
  Status(Code code, int64_t value, std::string_view message)
      : state_(std::make_unique<State>(State{code, value, std::string(message)})) {}

  std::unique_ptr<State> state_;
};

}  // namespace zul

#endif  // BASE_STATUS_H_
