#include "records/outbreak_monitor.h"

#include <array>
#include <cstdio>
#include <map>
#include <memory>

#include "notesapi/process_platform.h"
#include "base/task_log.h"
#include "settings/settings_records.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr int32_t kCategoryInfected = 1;
constexpr int32_t kCategoryProtected = 2;
constexpr int32_t kCategorySuspicious = 3;
constexpr int32_t kCategoryThreatName = 4;

int32_t CategoryOf(int32_t scanResult) {
  switch (scanResult) {
    case 1:
    case 2:
      return kCategoryInfected;
    case 4:
      return kCategoryProtected;
    case 3:
      return kCategorySuspicious;
    default:
      return 0;
  }
}

TimeDate Now() { return ProcessPlatform()->TimeNow(); }

// Whole seconds from `start` to `now`; a clock set back counts as 0.
uint32_t SecondsSince(const TimeDate& start, const TimeDate& now) {
  double seconds = ProcessPlatform()->TimeDifferenceSeconds(now, start);
  if (!(seconds > 0)) return 0;
  return seconds >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(seconds);
}

void GiveWarning(size_t rule, uint32_t elapsed, uint32_t count, std::string_view threatName) {
  std::string text = ExpandOutbreakWarning(OutbreakRules()[rule].warningText, elapsed, count, threatName);
  // The text is the message itself: a "%" in it is not expanded again.
  LogMessage(LOG_FILE | LOG_CONSOLE | LOG_JOURNAL | LOG_ADMIN, JournalError, "%s", 0, text.c_str());
}

class Counter {
 public:
  Counter(size_t rule, int32_t category) : rule_(rule), category_(category) {}
  virtual ~Counter() = default;

  void Configure() {
    const OutbreakRule& settings = OutbreakRules()[rule_];
    enabled_ = settings.enabled;
    threshold_ = static_cast<uint32_t>(settings.threshold);
    period_ = static_cast<uint32_t>(settings.periodSeconds);
    count_ = 0;
    elapsed_ = 0;
    warned_ = false;
    first_ = true;
    windowStart_ = Now();
  }
  bool Accepts(int32_t category) const { return enabled_ != 0 && category == category_; }
  virtual void Count(std::string_view description) {
    TimeDate now = Now();
    if (first_) {
      first_ = false;
      windowStart_ = now;
    }
    elapsed_ = SecondsSince(windowStart_, now);
    if (elapsed_ > period_) {
      elapsed_ = 0;
      count_ = 0;
      warned_ = false;
      windowStart_ = now;
    }
    ++count_;
    if (count_ >= threshold_ && !warned_) {
      GiveWarning(rule_, elapsed_, count_, {});
      warned_ = true;
    }
    (void)description;
  }

 protected:
  size_t rule_;
  int32_t category_;
  int32_t enabled_ = 0;
  uint32_t threshold_ = 0;
  uint32_t period_ = 0;
  bool warned_ = false;
  bool first_ = true;
  TimeDate windowStart_;
  uint32_t count_ = 0;
  uint32_t elapsed_ = 0;
};

class ThreatNameCounter final : public Counter {
 public:
  ThreatNameCounter() : Counter(3, kCategoryThreatName) {}
  bool AcceptsThreat(int32_t category) const { return enabled_ != 0 && category == kCategoryInfected; }

  void Count(std::string_view description) override {
    TimeDate now = Now();
    std::string name(description);
    auto it = table_.find(name);
    if (it == table_.end()) it = Insert(name, now);
    elapsed_ = SecondsSince(it->second.windowStart, now);
    if (elapsed_ > period_) {
      // One name's window running out starts every name afresh.
      table_.clear();
      it = Insert(name, now);
    }
    Entry& entry = it->second;
    ++entry.count;
    if (entry.count >= threshold_ && !entry.warned) {
      GiveWarning(rule_, elapsed_, entry.count, name);
      entry.warned = true;
    }
  }
  size_t size() const { return table_.size(); }

 private:
  struct Entry {
    bool warned = false;
    uint32_t count = 0;
    TimeDate windowStart;
  };

  std::map<std::string, Entry>::iterator Insert(const std::string& name, const TimeDate& now) {
    if (table_.size() >= kMaxThreatNames) Evict();
    return table_.emplace(name, Entry{false, 0, now}).first;
  }
  void Evict() {
    auto weakest = table_.begin();
    for (auto it = table_.begin(); it != table_.end(); ++it) {
      bool fewer = it->second.count < weakest->second.count;
      bool older = it->second.count == weakest->second.count &&
                   ProcessPlatform()->TimeCompare(it->second.windowStart, weakest->second.windowStart) < 0;
      if (fewer || older) weakest = it;
    }
    table_.erase(weakest);
  }

  std::map<std::string, Entry> table_;
};

struct OutbreakMonitorState {
  std::array<std::unique_ptr<Counter>, 3> counters;
  ThreatNameCounter threats;
  bool started = false;
};

OutbreakMonitorState& TheMonitor() {
  static OutbreakMonitorState monitor;
  return monitor;
}

}  // namespace

notesapi::Status StartOutbreakMonitor(int unused) {
  (void)unused;
  OutbreakMonitorState& m = TheMonitor();
  m.counters = {std::make_unique<Counter>(0, kCategoryInfected), std::make_unique<Counter>(1, kCategorySuspicious),
                std::make_unique<Counter>(2, kCategoryProtected)};
  m.threats = ThreatNameCounter();
  m.started = true;
  return ReconfigureOutbreakMonitor();
}

notesapi::Status ReconfigureOutbreakMonitor() {
  OutbreakMonitorState& m = TheMonitor();
  if (!m.started) return kNoError;
  for (auto& counter : m.counters) counter->Configure();
  m.threats.Configure();
  return kNoError;
}

void ReportScanEvent(int32_t scanResult, std::string_view description) {
  OutbreakMonitorState& m = TheMonitor();
  int32_t category = CategoryOf(scanResult);
  if (!m.started || category == 0) return;
  for (auto& counter : m.counters) {
    if (counter->Accepts(category)) counter->Count(description);
  }
  if (m.threats.AcceptsThreat(category)) m.threats.Count(description);
}

std::string ExpandOutbreakWarning(std::string_view warning, uint32_t elapsedSeconds, uint32_t count,
                                  std::string_view threatName) {
  std::string out;
  for (size_t i = 0; i < warning.size(); ++i) {
    if (warning[i] != '%') {
      out += warning[i];
      continue;
    }
    if (++i >= warning.size()) break;
    char field[32];
    switch (warning[i]) {
      case 'c':
        std::snprintf(field, sizeof field, "%u", count);
        out += field;
        break;
      case 'p':
        std::snprintf(field, sizeof field, "%02u:%02u:%02u", elapsedSeconds / 3600, elapsedSeconds / 60 % 60,
                      elapsedSeconds % 60);
        out += field;
        break;
      case 'v':
        out += threatName;
        break;
      default:
        break;
    }
  }
  if (out.size() > 1022) out.resize(1022);
  return out + "\n";
}

size_t ThreatNameCount() { return TheMonitor().threats.size(); }

}  // namespace zul
