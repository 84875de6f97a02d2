// Mail services: canonical names, memos created in a mail database, and the
// hand-over of a message to the router through "mail.box".
#ifndef NOTESAPI_HOST_INTERNAL_MAIL_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_MAIL_ROLE_H_

#include "notesapi/host/internal/host_state.h"

namespace notesapi::host {

class MailRole {
 public:
  explicit MailRole(HostState& state) : s_(state) {}
  Status CanonicalizeName(std::string_view name, std::string* canonical);
  Status MailCreateMessage(DbHandle mailDb, NoteHandle* message);
  Status MailTransferMessage(NoteHandle message);
  Status ServerName(std::string* name);

 private:
  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_MAIL_ROLE_H_
