// The mail document being handled: set by the hook-request handler before
// it opens the document, read when the document is released and when the
// scan driver has to reopen it as the caller had it.
#ifndef SCANNING_CURRENT_DOCUMENT_H_
#define SCANNING_CURRENT_DOCUMENT_H_

#include "notesapi/types.h"

namespace zul {

struct CurrentDocumentRecord {
  notesapi::DbHandle db = notesapi::kNullHandle;
  notesapi::NoteId noteId = 0;
};

inline CurrentDocumentRecord& CurrentDocument() {
  static CurrentDocumentRecord record;
  return record;
}

}  // namespace zul

#endif  // SCANNING_CURRENT_DOCUMENT_H_
