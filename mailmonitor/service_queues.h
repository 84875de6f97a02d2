// Names and texts of the mail monitor's message queues.
#ifndef MAILMONITOR_SERVICE_QUEUES_H_
#define MAILMONITOR_SERVICE_QUEUES_H_

namespace zul {

inline constexpr char kDatabaseQueue[] = "MQ$DATABASE2MAIL";
inline constexpr char kConsoleQueue[] = "MQ$ZULMAILMONITOR";
inline constexpr char kHookQueue[] = "MQ$HOOK2MAIL";
inline constexpr char kUpdaterQueue[] = "MQ$UPDATE2MAIL";
inline constexpr char kHookCommandQueuePrefix[] = "MQ$ZULMAILHOOK";

inline constexpr char kConfigUpdated[] = "CONFIG|UPDATED";
inline constexpr char kOutbreakUpdated[] = "OUTBREAK|UPDATED";
inline constexpr char kUpdaterComplete[] = "UPDATER|COMPLETE";

// A queue read asks for at most this many bytes.
inline constexpr size_t kMaxQueueMessage = 255;

}  // namespace zul

#endif  // MAILMONITOR_SERVICE_QUEUES_H_
