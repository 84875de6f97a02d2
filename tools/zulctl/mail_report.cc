#include "tools/zulctl/mail_report.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"
#include "tools/zulctl/cli_support.h"
#include "tools/zulctl/value_format.h"

namespace zulctl {

using namespace notesapi;

namespace {

constexpr char kReportTitle[] = "Tervala Anti-Virus Report";

std::string BodyText(Platform* p, NoteHandle note) {
  std::string text;
  ItemInfo item;
  for (notesapi::Status s = p->ItemInfoByName(note, "Body", &item); s == kNoError;
       s = p->ItemInfoNext(note, item.item, "Body", &item)) {
    if (item.type != TYPE_COMPOSITE) continue;
    MemHandle block = kNullHandle;
    uint32_t length = 0;
    if (p->ConvertRichTextToText(item.value, "\n", 0, &block, &length) != kNoError) continue;
    ScopedMem owner(p, block);
    text.append(reinterpret_cast<const char*>(p->MemLock(block)), length);
    p->MemUnlock(block);
  }
  return ToUtf8(p, text);
}

// The lines of the report block: after the title's separator, up to the next.
std::vector<std::string> ReportLines(const std::string& body) {
  std::vector<std::string> lines;
  size_t title = body.find(kReportTitle);
  if (title == std::string::npos) return lines;
  size_t at = body.find('\n', body.find('\n', title) + 1);
  while (at != std::string::npos && at + 1 < body.size()) {
    size_t end = body.find('\n', at + 1);
    std::string line = body.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    if (line.rfind("-----", 0) == 0) break;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) lines.push_back(line);
    at = end;
  }
  return lines;
}

std::string ReadWhole(Platform* p, const std::u16string& path) {
  std::string data;
  (void)p->FileRead(path, &data);  // an unreadable file reads as empty
  return data;
}

}  // namespace

Status MailReport(Platform* p, const std::string& serverDirectory, const std::string& database, const std::string& noteIdText) {
  NoteId id = 0;
  if (Status parsed = ParseNoteId(noteIdText, &id); !parsed.ok()) return parsed;
  ScopedDb db(p);
  ScopedNote note(p);
  notesapi::Status s = p->DbOpen(database, db.put());
  if (s == kNoError) s = p->NoteOpen(db.get(), id, 0, note.put());
  if (s != kNoError) return Fail(p, database + " " + noteIdText, s);
  std::string program;
  (void)p->IniGetText("NotesProgram", 1024, &program);
  std::string placeholder = ReadWhole(p, WideUtf8(p, program + "/zuldummy.txt"));
  std::string text;
  (void)p->ItemGetText(note.get(), "Subject", 255, &text);
  std::printf("Subject:     %s\n", ToUtf8(p, text).c_str());
  text.clear();
  (void)p->ItemGetText(note.get(), "From", 255, &text);
  std::printf("From:        %s\n", ToUtf8(p, text).c_str());
  std::string body = BodyText(p, note.get());
  std::vector<std::string> report = ReportLines(body);
  std::printf("Scan report: %s\n", report.empty() ? "none (the mail was not changed)" : "");
  for (const std::string& line : report) std::printf("  %s\n", line.c_str());
  if (report.empty()) {
    // A memo of the monitor carries its report as the body itself.
    std::printf("Body:\n");
    size_t start = 0;
    for (int shown = 0; shown < 8 && start < body.size(); ++shown) {
      size_t end = body.find('\n', start);
      std::string line = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (!line.empty()) std::printf("  %s\n", line.c_str());
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  std::printf("Attachments:%s\n", "");
  int files = 0;
  ItemInfo item;
  std::u16string scratch = WideUtf8(p, serverDirectory + "/run/report-extract.tmp");
  for (notesapi::Status f = p->ItemInfoByName(note.get(), "$FILE", &item); f == kNoError;
       f = p->ItemInfoNext(note.get(), item.item, "$FILE", &item)) {
    std::string value;
    FileObject object;
    std::string_view stored;
    if (p->ItemValue(item.value, &value) != kNoError || AttachmentName(value, &object, &stored) != kNoError) {
      std::printf("  (a damaged attachment item)\n");
      continue;
    }
    std::string name = ToUtf8(p, std::string(stored));
    std::string data;
    if (p->ExtractFile(note.get(), item.item, scratch) == kNoError) data = ReadWhole(p, scratch);
    (void)p->FileDelete(scratch);
    bool replaced = !placeholder.empty() && data == placeholder;
    std::printf("  %-28s %9zu bytes%s\n", name.c_str(), data.size(), replaced ? "  (removed: the placeholder)" : "");
    ++files;
  }
  if (files == 0) std::printf("  none\n");
  return Status::OK();
}

}  // namespace zulctl
