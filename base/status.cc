#include "base/status.h"

#include <cstdio>

namespace zul {

Status Status::FromPlatform(notesapi::Status status, std::string_view message) {
  if (status == notesapi::kNoError) return OK();
  return Status(Code::kPlatform, status, message);
}

Status Status::FromKernel(HRESULT result, std::string_view message) {
  if (result == S_OK) return OK();
  return Status(Code::kKernel, result, message);
}

const std::string& Status::message() const {
  static const std::string kNone;
  return state_ ? state_->message : kNone;
}

notesapi::Status Status::platformStatus() const {
  return code() == Code::kPlatform ? static_cast<notesapi::Status>(state_->value) : notesapi::kNoError;
}

HRESULT Status::hresult() const {
  if (ok()) return S_OK;
  return code() == Code::kKernel ? static_cast<HRESULT>(state_->value) : E_FAIL;
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  char value[32] = "";
  if (code() == Code::kPlatform) {
    std::snprintf(value, sizeof value, " (status 0x%X)", notesapi::ErrorOf(platformStatus()));
  } else if (code() == Code::kKernel) {
    std::snprintf(value, sizeof value, " (0x%08X)", static_cast<uint32_t>(hresult()));
  }
  return state_->message + value;
}

Status Status::Within(std::string_view context) const {
  if (ok()) return OK();
  std::string message(context);
  if (!state_->message.empty()) message += ": " + state_->message;
  return Status(state_->code, state_->value, message);
}

}  // namespace zul
