#include "tools/zulrouter/smtp_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>

namespace zulrouter {

namespace {

constexpr long kConnectSeconds = 10;
constexpr long kTransferSeconds = 300;  // a large message to a slow MTA

struct Upload {
  const std::string* data;
  size_t at = 0;
};

size_t ReadUpload(char* buffer, size_t size, size_t count, void* context) {
  Upload* upload = static_cast<Upload*>(context);
  size_t length = std::min(size * count, upload->data->size() - upload->at);
  std::memcpy(buffer, upload->data->data() + upload->at, length);
  upload->at += length;
  return length;
}

struct RecipientList {
  curl_slist* list = nullptr;
  ~RecipientList() { curl_slist_free_all(list); }
};

}  // namespace

struct SmtpTransport::Handle {
  CURL* curl = nullptr;
  ~Handle() {
    if (curl != nullptr) curl_easy_cleanup(curl);
  }
};

SmtpTransport::SmtpTransport(std::string url) : url_(std::move(url)), handle_(std::make_unique<Handle>()) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
}

SmtpTransport::~SmtpTransport() = default;

std::string WithCrlf(const std::string& message) {
  std::string out;
  out.reserve(message.size() + message.size() / 32);
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '\n' && (i == 0 || message[i - 1] != '\r')) out += '\r';
    out += message[i];
  }
  if (!out.empty() && (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0)) out += "\r\n";
  return out;
}

bool SmtpTransport::Send(const std::string& sender, const std::vector<std::string>& recipients,
                         const std::string& message, std::string* why) {
  bool kept = handle_->curl != nullptr;
  long reply = 0;
  if (SendOnce(sender, recipients, message, &reply, why)) return true;
  // A kept connection the MTA closed while it was idle answers 421 to the
  // next command: nothing was taken, and a new connection goes at once.
  if (!kept || reply != 421) return false;
  return SendOnce(sender, recipients, message, &reply, why);
}

bool SmtpTransport::SendOnce(const std::string& sender, const std::vector<std::string>& recipients,
                             const std::string& message, long* reply, std::string* why) {
  // The handle, and with it the connection, lives from message to message.
  if (handle_->curl == nullptr) handle_->curl = curl_easy_init();
  CURL* curl = handle_->curl;
  if (curl == nullptr) {
    *why = "no SMTP client";
    return false;
  }
  RecipientList to;
  for (const std::string& recipient : recipients) {
    curl_slist* grown = curl_slist_append(to.list, ("<" + recipient + ">").c_str());
    if (grown == nullptr) {
      *why = "no memory for the recipients";
      return false;
    }
    to.list = grown;
  }
  std::string data = WithCrlf(message);
  Upload upload{&data};
  std::string from = "<" + sender + ">";
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, to.list);
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
  curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
  curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(data.size()));
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTransferSeconds);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  CURLcode done = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);  // the list goes now
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  *reply = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, reply);
  if (done == CURLE_OK && *reply == 250) return true;
  *why = url_ + ": " + (error[0] != '\0' ? error : curl_easy_strerror(done));
  // A connection in an unknown state is not used again.
  curl_easy_cleanup(curl);
  handle_->curl = nullptr;
  return false;
}

}  // namespace zulrouter
