#include "tools/zulctl/stats_commands.h"
#include "tools/zulctl/cli_support.h"

#include <cstdio>
#include <iostream>
#include <map>
#include <tuple>

#include "notesapi/scoped_handles.h"
#include "tools/zulctl/record_dates.h"
#include "tools/zulctl/value_format.h"

namespace zulctl {

using namespace notesapi;

namespace {

struct Counts {
  std::map<int, long> detectionsByType;
  std::map<std::string, long> detectionsByThreat;
  std::map<std::pair<int, std::string>, long> journalByTypeAndTask;
  std::map<std::string, std::pair<long, long>> perDay;  // detections, journal records
};

std::string Text(Platform* p, NoteHandle note, const char* item) {
  std::string text;
  if (p->ItemGetText(note, item, 1023, &text) != kNoError) return {};
  return ToUtf8(p, text);
}

// A label value of the text format: backslash, double quote and line feed escaped.
std::string Label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

void PrintPrometheus(const Counts& counts) {
  std::printf("# HELP tervala_detections_total Objects the mail monitor recorded, by statistics code.\n"
              "# TYPE tervala_detections_total counter\n");
  for (const auto& [type, n] : counts.detectionsByType) std::printf("tervala_detections_total{type=\"%d\"} %ld\n", type, n);
  std::printf("# HELP tervala_threats_total Recorded objects by what was found (or the object's name).\n"
              "# TYPE tervala_threats_total counter\n");
  for (const auto& [name, n] : counts.detectionsByThreat) {
    std::printf("tervala_threats_total{name=\"%s\"} %ld\n", Label(name).c_str(), n);
  }
  std::printf("# HELP tervala_journal_records_total Journal records of the tasks, by journal type and task.\n"
              "# TYPE tervala_journal_records_total counter\n");
  for (const auto& [key, n] : counts.journalByTypeAndTask) {
    std::printf("tervala_journal_records_total{type=\"%d\",task=\"%s\"} %ld\n", key.first, Label(key.second).c_str(), n);
  }
}

void PrintTables(const Counts& counts) {
  std::printf("Detections by type\n");
  for (const auto& [type, n] : counts.detectionsByType) std::printf("  %6d  %ld\n", type, n);
  std::printf("Detections by threat\n");
  for (const auto& [name, n] : counts.detectionsByThreat) std::printf("  %-50s %ld\n", name.c_str(), n);
  std::printf("Journal by type and task\n");
  for (const auto& [key, n] : counts.journalByTypeAndTask) {
    std::printf("  %6d  %-20s %ld\n", key.first, key.second.c_str(), n);
  }
  std::printf("Per day          DETECTIONS  JOURNAL\n");
  for (const auto& [day, n] : counts.perDay) std::printf("  %-14s %10ld  %7ld\n", day.c_str(), n.first, n.second);
}

}  // namespace

Status StatsCommand(Platform* p, const StatsArguments& stats) {
  bool prometheus = stats.prometheus;
  TimeDate since{};
  bool haveSince = !stats.since.empty();
  if (haveSince && !ParseDay(p, stats.since, &since)) {
    return Status::InvalidArgument(std::string("not a date: ") + stats.since + " (write it as 2026-12-31)");
  }
  std::string path;
  if (!p->IniGetText("ZULStatDatabase", 1024, &path) || path.empty()) path = "zulstat.nsf";
  ScopedDb db(p);
  if (notesapi::Status s = p->DbOpen(path, db.put()); s != kNoError) {
    return Status::FromPlatform(s, path + ": " + p->StatusText(s));
  }
  std::vector<NoteId> ids;
  if (notesapi::Status s = p->DbNoteIds(db.get(), &ids); s != kNoError) {
    return Status::FromPlatform(s, path + ": " + p->StatusText(s));
  }
  Counts counts;
  for (NoteId id : ids) {
    ScopedNote note(p);
    if (p->NoteOpen(db.get(), id, kOpenRawMime, note.put()) != kNoError) continue;
    std::string form = Text(p, note.get(), "Form");
    bool virus = form == "form_Virus";
    if (!virus && form != "form_Journal") continue;
    TimeDate when{};
    if (!p->ItemGetTime(note.get(), virus ? "VirusDate" : "JournalDate", &when)) continue;
    if (haveSince && p->TimeCompare(when, since) < 0) continue;
    int type = static_cast<int>(p->ItemGetNumber(note.get(), virus ? "VirusType" : "JournalType", 0));
    auto& day = counts.perDay[DayOf(p, when)];
    if (virus) {
      ++counts.detectionsByType[type];
      ++counts.detectionsByThreat[Text(p, note.get(), "VirusDescription")];
      ++day.first;
    } else {
      ++counts.journalByTypeAndTask[{type, Text(p, note.get(), "JournalTask")}];
      ++day.second;
    }
  }
  if (prometheus) {
    PrintPrometheus(counts);
  } else {
    PrintTables(counts);
  }
  return Status::OK();
}

}  // namespace zulctl
