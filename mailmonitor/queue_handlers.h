// What the mail monitor does with each message of its four queues.
#ifndef MAILMONITOR_QUEUE_HANDLERS_H_
#define MAILMONITOR_QUEUE_HANDLERS_H_

#include <cstdint>
#include <string>

#include "notesapi/platform.h"
#include "mailmonitor/current_document.h"

namespace zul {

// What the main loop does after a message.
enum class QueueOutcome {
  kContinue,      // read the same queue again
  kStopDraining,  // go on to the next queue; the rest waits for the next pass
  kEndTask,       // return from the task at once, without the shut-down steps
};

QueueOutcome HandleHookRequest(const std::string& text);
// Gives the held document `current` back to the router: `note` (closed
// first) is reopened as stored and loses "RoutingState"; the caller saves it
// with kUpdateRelease and closes it.
notesapi::Status ReleaseDocument(const CurrentDocumentRecord& current, notesapi::NoteHandle* note);
QueueOutcome HandleUpdaterMessage(const std::string& text);
QueueOutcome HandleConsoleCommand(const std::string& text);
QueueOutcome HandleDatabaseMessage(const std::string& text);

}  // namespace zul

#endif  // MAILMONITOR_QUEUE_HANDLERS_H_
