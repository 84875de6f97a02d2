// Local delivery of the router: every released message of mail.box is
// copied into the mail file of each recipient (mail/<name>.nsf) and then
// removed from mail.box. Which recipients a message was already copied to
// is kept in the message itself, so a delivery stopped half way (a full
// disk, a crash) goes on with the others and copies to nobody twice.
#ifndef TOOLS_ZULROUTER_LOCAL_DELIVERY_H_
#define TOOLS_ZULROUTER_LOCAL_DELIVERY_H_

#include <string>

#include "base/status.h"
#include "notesapi/platform.h"

namespace zulrouter {

// Recipients a message was already copied to.
inline constexpr char kDeliveredToItem[] = "$ZulDeliveredTo";

struct DeliveryCounts {
  int delivered = 0;  // removed from mail.box, every recipient served
  int held = 0;       // still waiting for the monitor
};

// One pass over mail.box. Each delivery is said on standard output; a
// message that cannot go (no recipient, no room, a mail file that refuses)
// stays in mail.box for the next pass. Fails only when mail.box cannot be
// read.
zul::Status DeliverLocally(notesapi::Platform* p, const std::string& serverDirectory, DeliveryCounts* counts);

// The mail file of an address: mail/<local part>.nsf, lower-cased, with
// every character but letters, digits, '.', '_' and '-' made '_'.
std::string MailFileOf(const std::string& address);

}  // namespace zulrouter

#endif  // TOOLS_ZULROUTER_LOCAL_DELIVERY_H_
