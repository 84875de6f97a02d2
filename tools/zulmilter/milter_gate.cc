#include "tools/zulmilter/milter_gate.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "base/held_mail_items.h"
#include "notesapi/host/host_admin.h"
#include "notesapi/scoped_handles.h"
#include "tools/common/note_items.h"
#include "tools/zulsubmit/mail_hook.h"

namespace zulmilter {

using namespace notesapi;
using zul::Status;

namespace {

constexpr char kMailBox[] = "mail.box";
constexpr char kMonitorTask[] = "ZulMailMonitor";
// Left-behind mail is swept only well after its wait would have ended.
constexpr double kSweepMarginSeconds = 60;

using tools::HasItem;
using tools::TextListItem;

MilterVerdict TempFail(const char* reason) { return {MilterVerdict::Kind::kTempFail, reason, {}}; }

}  // namespace

MilterGate::MilterGate(Platform* p, GateOptions options) : p_(p), options_(std::move(options)) {
  TimeDate started = p_->TimeNow();
  char owner[64];
  std::snprintf(owner, sizeof owner, "%u@%08X%08X", static_cast<unsigned>(p_->ProcessId()), started.innards[1],
                started.innards[0]);
  owner_ = owner;
}

bool MilterGate::MonitorRunning() {
  // Only a running monitor is taken on trust for a second: one that was
  // down is looked for again with the next message.
  auto now = std::chrono::steady_clock::now();
  if (monitorRunning_ && now - monitorCheckedAt_ < std::chrono::seconds(1)) return true;
  std::vector<TaskState> tasks;
  monitorRunning_ = false;
  if (ListTasks(options_.serverDirectory, &tasks) == kNoError) {
    for (const TaskState& task : tasks) monitorRunning_ = monitorRunning_ || task.task == kMonitorTask;
  }
  monitorCheckedAt_ = now;
  return monitorRunning_;
}

std::optional<MilterVerdict> MilterGate::Submit(const std::string& message, const MessageEnvelope& envelope,
                                                NoteId* id) {
  // A mail stored for a monitor that does not run would wait out its time.
  if (!MonitorRunning()) return TempFail(kNotRunning);
  mailhook::ItemMark mark{zul::kMilterOwnerItem, owner_};
  mailhook::StoredMessage stored;
  Status s = mailhook::StoreForScan(p_, options_.serverDirectory, options_.task, message, &envelope, &mark, &stored);
  if (s.code() == Status::Code::kInvalidArgument) return MilterVerdict{MilterVerdict::Kind::kReject, s.message(), {}};
  if (!s.ok()) {
    std::fprintf(stderr, "a message from <%s>: %s\n", envelope.sender.c_str(), s.ToString().c_str());
    return TempFail(kNotStored);
  }
  if (!stored.held) {
    std::printf("the hook of %s is paused: a message from <%s> passes unscanned\n", options_.task.c_str(),
                envelope.sender.c_str());
    return MilterVerdict{MilterVerdict::Kind::kAccept, {}, {}};
  }
  *id = stored.noteId;
  return std::nullopt;
}

std::optional<MilterVerdict> MilterGate::Look(NoteId id, const std::string& sent) {
  ScopedDb box(p_);
  ScopedNote note(p_);
  if (p_->DbOpen(kMailBox, box.put()) != kNoError) return std::nullopt;  // busy now: asked again shortly
  notesapi::Status s = p_->NoteOpen(box.get(), id, kOpenRawMime, note.put());
  if (IsError(s, kNoteNotFound)) return TempFail(kRemoved);
  if (s != kNoError || HasItem(p_, note.get(), "RoutingState")) return std::nullopt;
  std::vector<std::string> threats = TextListItem(p_, note.get(), zul::kMilterThreatsItem);
  if (options_.reject && !threats.empty()) {
    std::string names;
    for (const std::string& threat : threats) names += (names.empty() ? "" : ", ") + threat;
    return MilterVerdict{MilterVerdict::Kind::kReject, "virus found: " + names, {}};
  }
  std::string released;
  std::u16string scratch;
  for (char c : options_.serverDirectory + "/run") scratch.push_back(static_cast<unsigned char>(c));
  if (s = ExportMimeMessage(p_, note.get(), scratch, &released); s != kNoError) {
    std::fprintf(stderr, "0x%X released but cannot be read back: %s\n", id, p_->StatusText(s).c_str());
    return TempFail(kNotStored);
  }
  if (released == sent) return MilterVerdict{MilterVerdict::Kind::kAccept, {}, {}};
  return MilterVerdict{MilterVerdict::Kind::kAcceptChanged, {}, std::move(released)};
}

void MilterGate::Drop(NoteId id) {
  ScopedDb box(p_);
  notesapi::Status s = p_->DbOpen(kMailBox, box.put());
  if (s == kNoError) s = p_->NoteDelete(box.get(), id);
  // The sweep takes what cannot go now.
  if (s != kNoError && !IsError(s, kNoteNotFound)) {
    std::fprintf(stderr, "0x%X answered but not removed from mail.box: %s; the sweep removes it later\n", id,
                 p_->StatusText(s).c_str());
  }
}

int MilterGate::Sweep(const std::set<NoteId>& waiting) {
  ScopedDb box(p_);
  std::vector<NoteId> ids;
  if (p_->DbOpen(kMailBox, box.put()) != kNoError || p_->DbNoteIds(box.get(), &ids) != kNoError) return 0;
  TimeDate now = p_->TimeNow();
  int removed = 0;
  for (NoteId id : ids) {
    if (waiting.count(id)) continue;
    NoteInfo info;
    {
      ScopedNote note(p_);
      if (p_->NoteOpen(box.get(), id, kOpenRawMime, note.put()) != kNoError) continue;
      if (!HasItem(p_, note.get(), zul::kMilterOwnerItem) || p_->NoteGetInfo(note.get(), &info) != kNoError) continue;
    }
    if (p_->TimeDifferenceSeconds(now, info.created) < options_.timeoutSeconds + kSweepMarginSeconds) continue;
    if (p_->NoteDelete(box.get(), id) != kNoError) continue;
    std::printf("0x%X removed: a milter stopped waiting for it, and its sender's MTA tries again\n", id);
    ++removed;
  }
  std::fflush(stdout);
  return removed;
}

}  // namespace zulmilter
