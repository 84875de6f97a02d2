// zulctl mail report: what the recipient of one mail got, as a person reads
// it: subject and sender, the scan report the monitor put into the body, and
// every attachment with its size, the placeholders of removed objects marked.
#ifndef TOOLS_ZULCTL_MAIL_REPORT_H_
#define TOOLS_ZULCTL_MAIL_REPORT_H_

#include <string>

#include "notesapi/platform.h"
#include "tools/zulctl/cli_support.h"

namespace zulctl {

// Returns the exit code.
Status MailReport(notesapi::Platform* platform, const std::string& serverDirectory, const std::string& database,
               const std::string& noteIdText);

}  // namespace zulctl

#endif  // TOOLS_ZULCTL_MAIL_REPORT_H_
