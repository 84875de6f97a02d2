#include "settings/update_schedule.h"

#include "base/server_variables.h"
#include "notesapi/process_platform.h"
#include "base/message_text.h"
#include "base/task_log.h"
#include "settings/settings_reader.h"
#include "settings/settings_records.h"

namespace zul {

using namespace notesapi;

namespace {

void LogError(Msg message, notesapi::Status status, const char* argument = nullptr) {
  if (argument != nullptr) {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(message), status, argument);
  } else {
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, "%s", status, MessageText(message));
  }
}

// Copies the local time of day of `from` into `value`, keeping its date.
void SetTimeOfDay(Platform* p, TimeDate* value, const TimeDate& from) {
  LocalTime target;
  LocalTime source;
  target.gm = *value;
  source.gm = from;
  if (p->TimeGmToLocal(&target) != kNoError || p->TimeGmToLocal(&source) != kNoError) return;
  target.hour = source.hour;
  target.minute = source.minute;
  target.second = source.second;
  target.hundredth = source.hundredth;
  if (p->TimeLocalToGm(&target) == kNoError) *value = target.gm;
}

int32_t AtLeastOne(int32_t interval) { return interval > 0 ? interval : 1; }

TimeDate NextHourly(Platform* p, TimeDate next, const TimeDate& now, int32_t everyHours) {
  while (p->TimeCompare(next, now) <= 0) {
    if (p->TimeAdjust(&next, everyHours, 0) != kNoError) break;
  }
  return next;
}

TimeDate NextDailyOneTime(Platform* p, TimeDate next, const TimeDate& now, const UpdaterSettings& u, int32_t everyDays) {
  while (p->TimeCompare(next, now) <= 0) {
    TimeDate before = next;
    if (p->TimeAdjust(&next, 0, everyDays) != kNoError) break;
    SetTimeOfDay(p, &next, u.upTime1);
    // A slot more than the interval ahead of now is pulled back one day.
    double days = p->TimeDifferenceSeconds(next, now) * (1.0 / 86400);
    if (days > static_cast<double>(static_cast<uint32_t>(everyDays))) {
      LocalTime local;
      local.gm = next;
      if (p->TimeGmToLocal(&local) == kNoError) {
        local.day -= 1;
        if (p->TimeLocalToGm(&local) == kNoError) next = local.gm;
      }
    }
    if (p->TimeCompare(next, before) <= 0) break;  // the time of day moved it back: never loop for ever
  }
  return next;
}

TimeDate NextDailyTwoTimes(Platform* p, TimeDate next, const TimeDate& now, const UpdaterSettings& u, int32_t everyDays) {
  bool firstEarlier = p->TimeCompare(u.upTime1, u.upTime2) <= 0;
  const TimeDate& early = firstEarlier ? u.upTime1 : u.upTime2;
  const TimeDate& late = firstEarlier ? u.upTime2 : u.upTime1;
  if (p->TimeCompare(now, early) < 0) {
    SetTimeOfDay(p, &next, early);
  } else if (p->TimeCompare(now, late) < 0) {
    SetTimeOfDay(p, &next, late);
  } else {
    while (p->TimeCompare(next, now) <= 0) {
      TimeDate before = next;
      if (p->TimeAdjust(&next, 0, everyDays) != kNoError) break;
      SetTimeOfDay(p, &next, early);
      if (p->TimeCompare(next, before) <= 0) break;
    }
  }
  return next;
}

}  // namespace

notesapi::Status ComputeNextUpdate() {
  Platform* p = ProcessPlatform();
  const std::string& path = Variables().setupDatabase;
  notesapi::Status failed = kNoError;
  DbHandle db = kNullHandle;
  NoteHandle note = kNullHandle;
  if (notesapi::Status s = p->DbOpen(path, &db); s != kNoError) {
    LogError(Msg::ScheduleSetupOpenFailed, s, path.c_str());
    return s;
  }
  if (notesapi::Status s = p->NoteOpenByUnid(db, SettingsIds().updaterSettings, 0, &note); s != kNoError) {
    LogError(Msg::ScheduleProfileOpenFailed, s, "formUpdaterSettings");
    failed = s;
  } else if (Status read = ReadUpdaterSettings(db); !read.ok()) {
    LogError(Msg::SettingsReadFailed, read.platformStatus(), path.c_str());
    failed = read.platformStatus();
  } else {
    UpdaterSettings& u = Updater();
    TimeDate next = u.nextUpdate;
    TimeDate now = p->TimeNow();
    // No stored time at all: the schedule starts from now, not from the
    // first day of the calendar one step at a time.
    bool unset = next == TimeDate();
    if (unset) next = now;
    if (unset || p->TimeCompare(now, next) > 0) {
      if (!u.dailyMode) {
        next = NextHourly(p, next, now, AtLeastOne(u.everyHours));
      } else if (!u.time2Enabled) {
        next = NextDailyOneTime(p, next, now, u, AtLeastOne(u.everyDays));
      } else {
        next = NextDailyTwoTimes(p, next, now, u, AtLeastOne(u.everyDays));
      }
      u.nextUpdate = next;
      if (notesapi::Status s = p->ItemSetTime(note, "usNextUpdate", next); s != kNoError) {
        LogError(Msg::NextTimeStoreFailed, s);
        failed = s;
      } else if (notesapi::Status s2 = p->NoteUpdate(note, kUpdateForce); s2 != kNoError) {
        LogError(Msg::NextTimeSaveFailed, s2);
        failed = s2;
      }
    }
  }
  if (note != kNullHandle) {
    if (notesapi::Status s = p->NoteClose(note); s != kNoError) {
      LogError(Msg::ScheduleProfileCloseFailed, s);
      failed = s;
    }
  }
  if (notesapi::Status s = p->DbClose(db); s != kNoError) {
    LogError(Msg::ScheduleSetupCloseFailed, s);
    failed = s;
  }
  return failed;
}

}  // namespace zul
