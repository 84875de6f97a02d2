// The mail document being handled: made by the hook-request handler before
// it opens the document and handed to the release step; the scan driver is
// given the same database and note ID.
#ifndef MAILMONITOR_CURRENT_DOCUMENT_H_
#define MAILMONITOR_CURRENT_DOCUMENT_H_

#include "notesapi/types.h"

namespace zul {

struct CurrentDocumentRecord {
  notesapi::DbHandle db = notesapi::kNullHandle;
  notesapi::NoteId noteId = 0;
};

}  // namespace zul

#endif  // MAILMONITOR_CURRENT_DOCUMENT_H_
