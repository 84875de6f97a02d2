// Hands a message to an MTA over SMTP, on one connection kept from message
// to message (libcurl's SMTP client): Postfix's second smtpd for filtered
// mail, which takes it back without filtering it again.
#ifndef TOOLS_ZULROUTER_SMTP_TRANSPORT_H_
#define TOOLS_ZULROUTER_SMTP_TRANSPORT_H_

#include <memory>
#include <string>
#include <vector>

namespace zulrouter {

class SmtpTransport {
 public:
  // `url` as smtp://HOST:PORT.
  explicit SmtpTransport(std::string url);
  ~SmtpTransport();
  SmtpTransport(const SmtpTransport&) = delete;
  SmtpTransport& operator=(const SmtpTransport&) = delete;

  // True only when the MTA took the message for every recipient (its 250
  // to the end of data). Any refusal, of the sender, of one recipient or of
  // the data, or a dropped connection: false and why; no recipient took it
  // then, so it can be sent again whole. An empty sender is the null one.
  bool Send(const std::string& sender, const std::vector<std::string>& recipients, const std::string& message,
            std::string* why);

  const std::string& url() const { return url_; }

 private:
  bool SendOnce(const std::string& sender, const std::vector<std::string>& recipients, const std::string& message,
                long* reply, std::string* why);

  struct Handle;
  std::string url_;
  std::unique_ptr<Handle> handle_;
};

// The message with every line ended by CRLF, as SMTP carries it.
std::string WithCrlf(const std::string& message);

}  // namespace zulrouter

#endif  // TOOLS_ZULROUTER_SMTP_TRANSPORT_H_
