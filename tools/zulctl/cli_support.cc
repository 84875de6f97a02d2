#include "tools/zulctl/cli_support.h"

#include <cstdlib>
#include <iostream>

#include "notesapi/host/host_platform.h"

namespace zulctl {

using namespace notesapi;

int ExitCodeOf(const Status& outcome) {
  if (outcome.ok()) return 0;
  if (!outcome.message().empty()) std::cerr << "zulctl: " << outcome.ToString() << "\n";
  return outcome.code() == Status::Code::kInvalidArgument ? 2 : 1;
}

Status Say(const Status& failure) {
  if (failure.ok()) return failure;
  std::cerr << "zulctl: " << failure.ToString() << "\n";
  return failure.code() == Status::Code::kInvalidArgument ? Status::InvalidArgument("") : Status::Failed("");
}

Status Fail(Platform* platform, const std::string& what, notesapi::Status status) {
  std::string text = platform != nullptr ? platform->StatusText(status) : HostStatusText(status);
  return Status::FromPlatform(status == kNoError ? kBadArgument : status, what + ": " + text);
}

Status ParseNoteId(const std::string& text, NoteId* id) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || value == 0 || value > 0xFFFFFFFFUL) {
    return Status::InvalidArgument("not a note ID: " + text + " (write it as 0x8F8 or 2296)");
  }
  *id = static_cast<NoteId>(value);
  return Status::OK();
}

std::string ToLmbcs(Platform* platform, const std::string& utf8) {
  std::string lmbcs;
  if (platform->Translate(kTranslateUtf8ToLmbcs, utf8, &lmbcs) != kNoError) return utf8;
  return lmbcs;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace zulctl
