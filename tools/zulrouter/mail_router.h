// The router of a server: it serves the mail hook's commands, and gives
// every released message of mail.box to its recipients, into their local
// mail files or through an MTA's sendmail. One runs per server; the state
// it needs to hand each message over once lives in mail.box (relay.h,
// local_delivery.h), so a router that stops and starts again goes on where
// it was.
#ifndef TOOLS_ZULROUTER_MAIL_ROUTER_H_
#define TOOLS_ZULROUTER_MAIL_ROUTER_H_

#include <string>

#include "base/status.h"
#include "notesapi/platform.h"

namespace zulrouter {

struct RouterOptions {
  std::string serverDirectory;
  std::string task = "SMTP";  // the mail task whose hook commands it serves
  std::string sendmail;       // the MTA's sendmail; empty: local delivery
};

// Takes the server's one router slot, held until the process ends. Busy,
// naming the process that holds it, when another router runs.
zul::Status TakeRouterInstance(notesapi::Platform* p, const std::string& serverDirectory);

// Runs until the server quits (zulctl quit, SIGTERM): serves the hook,
// routes what was released, and waits for the next change of mail.box or
// the queues. Needs the router slot.
zul::Status RunRouter(notesapi::Platform* p, const RouterOptions& options);

}  // namespace zulrouter

#endif  // TOOLS_ZULROUTER_MAIL_ROUTER_H_
