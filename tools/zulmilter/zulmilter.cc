// zulmilter: scanning during SMTP. An MTA's milter interface hands it each
// message while the SMTP client waits for the reply to its end of data; the
// message is stored held for the mail monitor like any other, and the
// monitor's verdict becomes the reply: accepted as sent, accepted as the
// monitor cleaned it, refused (5xx) or "try again later" (4xx). A mail that
// was not scanned is never accepted.
#include <libmilter/mfapi.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "notesapi/host/host_platform.h"
#include "tools/common/guarded_main.h"
#include "tools/common/program_options.h"
#include "tools/zulmilter/gate_worker.h"
#include "tools/zulmilter/message_changes.h"

using namespace notesapi;

namespace {

constexpr char kProgram[] = "zulmilter";
constexpr char kMilterName[] = "ZulMilter";
constexpr int kDefaultTimeoutSeconds = 120;
constexpr size_t kBodyChunk = 65535;  // the most one body call of the protocol carries
constexpr auto kProgressEvery = std::chrono::seconds(5);

// Read by libmilter's connection threads, which may outlive smfi_main: the
// worker, once made, lives as long as the process.
std::atomic<zulmilter::GateWorker*> g_worker{nullptr};
std::atomic<bool> g_leadingSpace{false};  // header values come and go with their leading white space

// One SMTP connection's message in progress.
struct Connection {
  // Postfix counts its own Received field, which it does not show us, when
  // a field is inserted.
  bool unseenReceived = false;
  std::string sender;
  std::vector<std::string> recipients;
  std::string headers;  // as received, each field ended by CRLF
  std::string body;
  void Reset() {
    bool mta = unseenReceived;
    *this = Connection();
    unseenReceived = mta;
  }
};

Connection* Of(SMFICTX* ctx) { return static_cast<Connection*>(smfi_getpriv(ctx)); }

std::string Address(const char* argument) {
  std::string address = argument != nullptr ? argument : "";
  if (address.size() >= 2 && address.front() == '<' && address.back() == '>') address = address.substr(1, address.size() - 2);
  return address;
}

// Line ends inside a folded value become CRLF, as they were on the wire.
std::string WireValue(const char* value) {
  std::string out;
  for (const char* c = value; *c != '\0'; ++c) {
    if (*c == '\n' && (out.empty() || out.back() != '\r')) out += '\r';
    out += *c;
  }
  return out;
}

// A value as the MTA takes it back: its own line ends, and without the
// leading space it adds itself when the value came without one.
std::string MtaValue(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') continue;
    out += value[i];
  }
  if (!g_leadingSpace && !out.empty() && out[0] == ' ') out.erase(0, 1);
  return out;
}

// Reply texts go through a format of the library: no '%' may stay single.
std::string ReplyText(const std::string& reason) {
  std::string out;
  for (char c : reason) {
    if (c == '%') out += '%';
    out += (c == '\r' || c == '\n') ? ' ' : c;
  }
  return out;
}

sfsistat TempFail(SMFICTX* ctx, const std::string& reason) {
  (void)smfi_setreply(ctx, const_cast<char*>("451"), const_cast<char*>("4.7.1"), ReplyText(reason).data());
  return SMFIS_TEMPFAIL;
}

sfsistat Negotiate(SMFICTX*, unsigned long actions, unsigned long steps, unsigned long, unsigned long,
                   unsigned long* ourActions, unsigned long* ourSteps, unsigned long* pf2, unsigned long* pf3) {
  unsigned long wanted = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_CHGBODY;
  if ((actions & wanted) != wanted) return SMFIS_REJECT;  // an MTA that cannot take the cleaned mail
  *ourActions = wanted;
  g_leadingSpace = (steps & SMFIP_HDR_LEADSPC) != 0;  // the same for every connection of one MTA
  *ourSteps = g_leadingSpace ? SMFIP_HDR_LEADSPC : 0;
  *pf2 = 0;
  *pf3 = 0;
  return SMFIS_CONTINUE;
}

sfsistat OnConnect(SMFICTX* ctx, char*, _SOCK_ADDR*) {
  auto* connection = new (std::nothrow) Connection();
  if (connection == nullptr) return TempFail(ctx, zulmilter::kNotStored);
  const char* mta = smfi_getsymval(ctx, const_cast<char*>("v"));
  connection->unseenReceived = mta != nullptr && std::strncmp(mta, "Postfix", 7) == 0;
  (void)smfi_setpriv(ctx, connection);
  return SMFIS_CONTINUE;
}

sfsistat OnSender(SMFICTX* ctx, char** argv) {
  Connection* c = Of(ctx);
  if (c == nullptr) return TempFail(ctx, zulmilter::kNotStored);
  c->Reset();
  c->sender = Address(argv[0]);
  return SMFIS_CONTINUE;
}

sfsistat OnRecipient(SMFICTX* ctx, char** argv) {
  Connection* c = Of(ctx);
  if (c == nullptr) return TempFail(ctx, zulmilter::kNotStored);
  c->recipients.push_back(Address(argv[0]));
  return SMFIS_CONTINUE;
}

sfsistat OnHeader(SMFICTX* ctx, char* name, char* value) {
  Connection* c = Of(ctx);
  if (c == nullptr) return TempFail(ctx, zulmilter::kNotStored);
  c->headers += std::string(name) + ":" + (g_leadingSpace ? "" : " ") + WireValue(value) + "\r\n";
  return SMFIS_CONTINUE;
}

sfsistat OnBody(SMFICTX* ctx, unsigned char* chunk, size_t length) {
  Connection* c = Of(ctx);
  if (c == nullptr) return TempFail(ctx, zulmilter::kNotStored);
  c->body.append(reinterpret_cast<const char*>(chunk), length);
  return SMFIS_CONTINUE;
}

// The monitor's changes, made through the milter calls.
bool ApplyChanges(SMFICTX* ctx, const std::string& sent, const std::string& released, int insertOffset) {
  zulmilter::MessageChanges changes = zulmilter::ChangesBetween(sent, released);
  for (const zulmilter::HeaderChange& change : changes.headers) {
    std::string name = change.name;
    std::string value = MtaValue(change.value);
    int done = MI_FAILURE;
    switch (change.kind) {
      case zulmilter::HeaderChange::Kind::kChange:
        done = smfi_chgheader(ctx, name.data(), change.index, value.data());
        break;
      case zulmilter::HeaderChange::Kind::kRemove:
        done = smfi_chgheader(ctx, name.data(), change.index, nullptr);
        break;
      case zulmilter::HeaderChange::Kind::kInsert:
        done = smfi_insheader(ctx, change.index + insertOffset, name.data(), value.data());
        break;
    }
    if (done != MI_SUCCESS) return false;
  }
  if (!changes.bodyChanged) return true;
  if (changes.body.empty()) {
    unsigned char none = 0;
    return smfi_replacebody(ctx, &none, 0) == MI_SUCCESS;
  }
  for (size_t at = 0; at < changes.body.size(); at += kBodyChunk) {
    size_t length = std::min(kBodyChunk, changes.body.size() - at);
    if (smfi_replacebody(ctx, reinterpret_cast<unsigned char*>(changes.body.data() + at), static_cast<int>(length)) !=
        MI_SUCCESS) {
      return false;
    }
  }
  return true;
}

sfsistat OnEndOfMessage(SMFICTX* ctx) {
  Connection* c = Of(ctx);
  zulmilter::GateWorker* worker = g_worker.load();
  if (c == nullptr || worker == nullptr) return TempFail(ctx, zulmilter::kNotRunning);
  std::string message = std::move(c->headers);
  message += "\r\n";
  message += c->body;
  MessageEnvelope envelope{c->sender, c->recipients};
  int insertOffset = c->unseenReceived ? 1 : 0;
  c->Reset();  // the next message of the connection starts afresh; one copy of this one is kept
  std::shared_ptr<zulmilter::GateWorker::Pending> pending = worker->Ask(std::move(message), std::move(envelope));
  // The MTA waits as long as it hears from us.
  while (pending->verdict().wait_for(kProgressEvery) != std::future_status::ready) {
    if (smfi_progress(ctx) != MI_SUCCESS) {
      pending->Forget();
      return SMFIS_TEMPFAIL;  // the MTA is gone; its message is removed once answered
    }
  }
  zulmilter::MilterVerdict verdict = pending->verdict().get();
  switch (verdict.kind) {
    case zulmilter::MilterVerdict::Kind::kAccept:
      return SMFIS_ACCEPT;
    case zulmilter::MilterVerdict::Kind::kAcceptChanged:
      if (!ApplyChanges(ctx, pending->message(), verdict.message, insertOffset)) {
        return TempFail(ctx, zulmilter::kNotStored);
      }
      return SMFIS_ACCEPT;
    case zulmilter::MilterVerdict::Kind::kReject: {
      bool virus = verdict.reason.rfind("virus", 0) == 0;
      (void)smfi_setreply(ctx, const_cast<char*>(virus ? "550" : "554"), const_cast<char*>(virus ? "5.7.1" : "5.6.0"),
                          ReplyText(verdict.reason).data());
      return SMFIS_REJECT;
    }
    case zulmilter::MilterVerdict::Kind::kTempFail:
      break;
  }
  return TempFail(ctx, verdict.reason);
}

sfsistat OnAbort(SMFICTX* ctx) {
  if (Connection* c = Of(ctx)) c->Reset();  // nothing was stored before the end of the message
  return SMFIS_CONTINUE;
}

sfsistat OnClose(SMFICTX* ctx) {
  delete Of(ctx);
  (void)smfi_setpriv(ctx, nullptr);
  return SMFIS_CONTINUE;
}

struct smfiDesc Description() {
  struct smfiDesc d {};
  d.xxfi_name = const_cast<char*>(kMilterName);
  d.xxfi_version = SMFI_VERSION;
  d.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_CHGBODY;
  d.xxfi_connect = OnConnect;
  d.xxfi_envfrom = OnSender;
  d.xxfi_envrcpt = OnRecipient;
  d.xxfi_header = OnHeader;
  d.xxfi_body = OnBody;
  d.xxfi_eom = OnEndOfMessage;
  d.xxfi_abort = OnAbort;
  d.xxfi_close = OnClose;
  d.xxfi_negotiate = Negotiate;
  return d;
}

// A Unix socket the MTA's group may use, and nobody else.
bool OpenSocket(const std::string& listen, const std::string& group) {
  if (smfi_setconn(const_cast<char*>(listen.c_str())) != MI_SUCCESS || smfi_opensocket(true) != MI_SUCCESS) {
    std::cerr << kProgram << ": cannot listen on " << listen << "\n";
    return false;
  }
  if (listen.rfind("unix:", 0) != 0 && listen.rfind("local:", 0) != 0) return true;
  std::string path = listen.substr(listen.find(':') + 1);
  if (!group.empty()) {
    struct group* found = ::getgrnam(group.c_str());
    if (found == nullptr || ::chown(path.c_str(), static_cast<uid_t>(-1), found->gr_gid) != 0) {
      std::cerr << kProgram << ": cannot give " << path << " to the group " << group << "\n";
      return false;
    }
  }
  if (::chmod(path.c_str(), 0660) != 0) {
    std::cerr << kProgram << ": cannot set the mode of " << path << "\n";
    return false;
  }
  return true;
}

// The server, its milter lock taken and its settings read; none when it
// cannot be the milter of this server, with a line that says why.
std::unique_ptr<Platform> OpenServer(const std::string& notesIni, const std::string& listen,
                                     zulmilter::GateOptions* options) {
  HostOptions host;
  host.notesIni = notesIni;
  std::unique_ptr<Platform> platform;
  if (notesapi::Status s = NewHostPlatform(host, &platform); s != kNoError) {
    std::cerr << kProgram << ": cannot open the server " << notesIni << ": " << HostStatusText(s) << "\n";
    return nullptr;
  }
  // One milter per server: two would answer for the same mail.
  if (notesapi::Status s = platform->AcquireInstance(kMilterName); s != kNoError) {
    std::string holder;
    std::ifstream(options->serverDirectory + "/run/zulmilter.instance") >> holder;
    std::cerr << kProgram << ": "
              << (IsError(s, kInstanceRunning) ? "a milter is already running on this server (process " +
                                                     (holder.empty() ? "?" : holder) + "); not started"
                                               : "the milter's instance lock cannot be taken: " + platform->StatusText(s))
              << "\n";
    return nullptr;
  }
  int32_t timeout = platform->IniGetNumber("ZulMilterTimeout");
  options->timeoutSeconds = timeout > 0 ? timeout : kDefaultTimeoutSeconds;
  options->reject = platform->IniGetNumber("ZulMilterReject") == 1;
  StatusLineHandle line = kNullHandle;
  if (platform->StatusLineCreate(kMilterName, &line) == kNoError) {
    (void)platform->StatusLineSetDefault(kNullHandle, line);
    (void)platform->StatusLineSetText(line, "Milter on " + listen);
  }
  if (notesapi::Status s = platform->AddInStart(); s != kNoError) {
    std::cerr << kProgram << ": cannot start: " << platform->StatusText(s) << "\n";
    return nullptr;
  }
  return platform;
}

int Run(int argc, char** argv) {
  std::string listen;
  std::string group;
  zulmilter::GateOptions options;
  CLI::App app{"Scanning during SMTP: the milter of an MTA (Postfix's smtpd_milters, Sendmail's INPUT_MAIL_FILTER).\n"
               "Each message is stored held for the mail monitor while the SMTP client waits; the monitor's verdict\n"
               "is the reply: accepted as sent or as the monitor cleaned it, 550 for a virus with notes.ini\n"
               "ZulMilterReject=1, 451 (try again later) when it cannot be scanned now or within notes.ini\n"
               "ZulMilterTimeout seconds (default 120). One milter runs per server; a second is refused.\n"
               "The server is found from an argument =path/to/notes.ini, else ZUL_NOTES_INI, else ./notes.ini.",
               kProgram};
  app.add_option("--listen", listen, "unix:PATH or inet:PORT@127.0.0.1 (default unix:<server>/run/zulmilter.sock)");
  app.add_option("--group", group, "the group that may use the Unix socket (the MTA's)");
  app.add_option("--task", options.task, "the mail task whose hook this is")->capture_default_str();
  if (std::optional<int> ended = tools::ParseOptions(app, argc, argv)) return *ended;
  std::string notesIni;
  if (LocateNotesIni(argc, argv, &notesIni) != kNoError) {
    std::cerr << kProgram << ": no notes.ini found (give =path/to/notes.ini or set ZUL_NOTES_INI)\n";
    return 1;
  }
  options.serverDirectory = ServerDirectoryOf(notesIni);
  if (listen.empty()) listen = "unix:" + options.serverDirectory + "/run/zulmilter.sock";
  std::unique_ptr<Platform> platform = OpenServer(notesIni, listen, &options);
  if (platform == nullptr) return 1;
  struct smfiDesc description = Description();
  if (smfi_register(description) != MI_SUCCESS || !OpenSocket(listen, group)) return 1;
  std::cout << "Milter on " << listen << " for the hook of " << options.task << " (time-out "
            << options.timeoutSeconds << " s, infected mail " << (options.reject ? "refused" : "cleaned")
            << "; zulctl quit stops it)" << std::endl;
  // Never freed: a connection thread may still ask it after smfi_main
  // returned, and is then answered 4xx.
  static zulmilter::GateWorker* worker =
      new zulmilter::GateWorker(std::move(platform), options, [] { (void)smfi_stop(); });
  g_worker = worker;
  int ran = smfi_main();
  worker->Stop();
  return ran == MI_SUCCESS ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) { return tools::GuardedMain(kProgram, Run, argc, argv, 1); }
