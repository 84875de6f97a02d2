// addin_echo: the smallest add-in task built on the platform's task frame.
// It owns a status line, reads its console queue "MQ$ADDINECHO", echoes each
// command on the console, saves "NOTE text" as a note in the database given
// with --db, and stops on SIGTERM, SIGINT or `zulctl quit`. It is there to
// try out a server directory and to show the frame the real tasks use.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "notesapi/host/host_platform.h"
#include "notesapi/scoped_handles.h"

using namespace notesapi;

namespace {

constexpr const char* kTaskName = "AddinEcho";
constexpr const char* kQueueName = "MQ$ADDINECHO";

constexpr const char* kUsage =
    "usage: addin_echo [=path/to/notes.ini] [--db PATH]\n"
    "Runs a small add-in task on the server directory of notes.ini (found as the\n"
    "tasks find it: the =path argument, else ZUL_NOTES_INI, else ./notes.ini).\n"
    "Commands arrive with `zulctl tell addinecho COMMAND`:\n"
    "  NOTE text   saves a note with the text in the database PATH (created if missing)\n"
    "  anything    is echoed on the console and in the server log\n"
    "It stops on SIGTERM, SIGINT or `zulctl quit`.\n";

void Console(Platform* p, const std::string& utf8) {
  std::string lmbcs;
  if (p->Translate(kTranslateUtf8ToLmbcs, std::string(kTaskName) + ": " + utf8, &lmbcs) == kNoError) {
    p->ConsoleLine(lmbcs);
  }
}

void SaveNote(Platform* p, const std::string& dbPath, const std::string& lmbcsText) {
  if (dbPath.empty()) return Console(p, "no --db given; note not saved");
  notesapi::Status s = p->DbCreate(dbPath, "Echo notes");
  if (s != kNoError && s != kDatabaseExists) return Console(p, "cannot create " + dbPath + ": " + p->StatusText(s));
  ScopedDb db(p);
  ScopedNote note(p);
  if ((s = p->DbOpen(dbPath, db.put())) == kNoError && (s = p->NoteCreate(db.get(), note.put())) == kNoError &&
      (s = p->ItemSetText(note.get(), "Form", "Echo")) == kNoError &&
      (s = p->ItemSetText(note.get(), "Subject", lmbcsText)) == kNoError &&
      (s = p->ItemSetTime(note.get(), "PostedDate", p->TimeNow())) == kNoError &&
      (s = p->NoteUpdate(note.get(), kUpdateForce)) == kNoError) {
    NoteInfo info;
    if (p->NoteGetInfo(note.get(), &info) == kNoError) {
      char id[16];
      std::snprintf(id, sizeof id, "0x%X", info.noteId);
      return Console(p, std::string("saved note ") + id + " in " + dbPath);
    }
  }
  Console(p, "cannot save the note: " + p->StatusText(s));
}

int Run(Platform* p, const std::string& dbPath) {
  ModuleHandle module = kNullHandle;
  StatusLineHandle line = kNullHandle;
  if (p->AddInStart() != kNoError || p->StatusLineQueryDefault(&module, &line) != kNoError ||
      p->StatusLineCreate(kTaskName, &line) != kNoError || p->StatusLineSetDefault(module, line) != kNoError) {
    std::cerr << "addin_echo: cannot start the task frame\n";
    return 1;
  }
  ScopedQueue queue(p);
  if (notesapi::Status s = p->QueueOpen(kQueueName, kQueueCreate, queue.put()); s != kNoError) {
    std::cerr << "addin_echo: cannot open " << kQueueName << ": " << p->StatusText(s) << "\n";
    return 1;
  }
  (void)p->StatusLineSetDefaultText("Idle task");  // the list shows the task either way
  Console(p, "started");
  while (!p->AddInIdle()) {
    std::string message;
    notesapi::Status s;
    while ((s = p->QueueGet(queue.get(), 255, &message)) == kNoError) {
      std::string utf8;
      (void)p->Translate(kTranslateLmbcsToUtf8, message, &utf8);  // on failure the echo is empty
      Console(p, "received '" + utf8 + "'");
      if (message.rfind("NOTE ", 0) == 0) SaveNote(p, dbPath, message.substr(5));
    }
    if (IsError(s, kQueueQuitting)) break;
  }
  Console(p, "stopping");
  (void)p->StatusLineDelete(line);  // the line goes with the process anyway
  return p->AddInEnd(kNoError);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dbPath;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << kUsage;
      return 0;
    }
    if (std::strcmp(argv[i], "--db") == 0 && i + 1 < argc) {
      dbPath = argv[++i];
    } else if (argv[i][0] != '=') {
      std::cerr << kUsage;
      return 2;
    }
  }
  HostOptions options;
  if (LocateNotesIni(argc, argv, &options.notesIni) != kNoError) {
    std::cerr << "addin_echo: no notes.ini found (give =path/to/notes.ini or set ZUL_NOTES_INI)\n";
    return 1;
  }
  std::unique_ptr<Platform> platform;
  if (notesapi::Status s = NewHostPlatform(options, &platform); s != kNoError) {
    std::cerr << "addin_echo: cannot open the server (status 0x" << std::hex << s << ")\n";
    return 1;
  }
  return Run(platform.get(), dbPath);
}
