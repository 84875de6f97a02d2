// Names and texts of the mail monitor's message queues, and the hook
// request written and read on one of them.
#ifndef MAILMONITOR_SERVICE_QUEUES_H_
#define MAILMONITOR_SERVICE_QUEUES_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace zul {

inline constexpr char kDatabaseQueue[] = "MQ$DATABASE2MAIL";
inline constexpr char kConsoleQueue[] = "MQ$ZULMAILMONITOR";
inline constexpr char kHookQueue[] = "MQ$HOOK2MAIL";
inline constexpr char kUpdaterQueue[] = "MQ$UPDATE2MAIL";
inline constexpr char kHookCommandQueuePrefix[] = "MQ$ZULMAILHOOK";

inline constexpr char kConfigUpdated[] = "CONFIG|UPDATED";
inline constexpr char kOutbreakUpdated[] = "OUTBREAK|UPDATED";
inline constexpr char kUpdaterComplete[] = "UPDATER|COMPLETE";

inline constexpr char kMailBoxPath[] = "mail.box";

// The request the hook puts on kHookQueue for a held document:
// "%08x|%08x|%08x|%s" with the note ID second and the mail box path last.
inline std::string FormatHookRequest(uint32_t noteId, const char* mailBox = kMailBoxPath) {
  char text[300];
  std::snprintf(text, sizeof text, "%08x|%08x|%08x|%.255s", 0u, noteId, 0u, mailBox);
  return text;
}

// A hook request as read: the second number is the note ID of the held
// document, the text the database path up to the first white space.
struct HookRequest {
  uint32_t first = 0;
  uint32_t noteId = 0;
  uint32_t third = 0;
  std::string path;
};
// False (and `request` unchanged) when the text does not have the form
// FormatHookRequest writes.
bool ParseHookRequest(const std::string& text, HookRequest* request);

// A queue read asks for at most this many bytes.
inline constexpr size_t kMaxQueueMessage = 255;

}  // namespace zul

#endif  // MAILMONITOR_SERVICE_QUEUES_H_
