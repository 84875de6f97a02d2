#include "notesapi/host/internal/queue_role.h"

namespace notesapi::host {

Status QueueRole::QueueOpen(std::string_view name, uint16_t options, QueueHandle* queue) {
  if (name.empty()) return kBadArgument;
  if (name.size() > kMaxQueueNameLength) return kQueueNameTooLong;
  std::string queueName(name);
  if (options & kQueueCreate) {
    if (Status st = s_.queues.Create(queueName); st != kNoError) return st;
  } else {
    bool exists = false;
    if (Status st = s_.queues.Exists(queueName, &exists); st != kNoError) return st;
    if (!exists) return kQueueNotFound;
  }
  QueueHandle handle = s_.NewHandle();
  s_.openQueues[handle] = queueName;
  *queue = handle;
  return kNoError;
}

Status QueueRole::QueuePut(QueueHandle queue, uint16_t priority, std::string_view message) {
  auto it = s_.openQueues.find(queue);
  if (it == s_.openQueues.end()) return kInvalidHandle;
  if (message.size() > kMaxQueueMessageSize) return kQueueMessageTooLarge;
  bool quitting = false;
  if (Status st = s_.queues.Quitting(&quitting); st != kNoError) return st;
  if (quitting) return kQueueQuitting;
  return s_.queues.Put(it->second, priority, message, s_.options.clock->NowMicros());
}

Status QueueRole::QueueGet(QueueHandle queue, size_t maxLength, std::string* message) {
  auto it = s_.openQueues.find(queue);
  if (it == s_.openQueues.end()) return kInvalidHandle;
  return s_.queues.Get(it->second, maxLength, message);
}

Status QueueRole::QueueClose(QueueHandle queue) { return s_.openQueues.erase(queue) ? kNoError : kInvalidHandle; }

}  // namespace notesapi::host
