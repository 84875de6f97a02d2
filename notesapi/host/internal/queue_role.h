// The server's message queues as a task sees them: open handles on the
// durable queue store that every process of the server shares.
#ifndef NOTESAPI_HOST_INTERNAL_QUEUE_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_QUEUE_ROLE_H_

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class QueueRole {
 public:
  explicit QueueRole(HostState& state) : s_(state) {}
  Status QueueOpen(std::string_view name, uint16_t options, QueueHandle* queue);
  Status QueuePut(QueueHandle queue, uint16_t priority, std::string_view message);
  Status QueueGet(QueueHandle queue, size_t maxLength, std::string* message);
  Status QueueClose(QueueHandle queue);

 private:
  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_QUEUE_ROLE_H_
