// The quarantine database: for each scanned mail one document with the
// mail's addressing, a copy of every object its reaction sends there (as it
// was extracted, before any cure) and a list of their reports. Saved only
// when some object of the mail had the quarantine flag.
#ifndef RECORDS_QUARANTINE_H_
#define RECORDS_QUARANTINE_H_

#include "notesapi/platform.h"
#include "scanning/object_record.h"

namespace zul {

// With a mail box (`mailDb`) it also remembers the mail for a whole copy
// and starts an empty report list.
notesapi::Status OpenQuarantineDocument(notesapi::NoteHandle mail, notesapi::NoteId noteId, notesapi::DbHandle mailDb);
notesapi::Status AddToQuarantine(const ObjectRecord& record);
// Saves the document (a copy of the whole stored mail first when the
// settings ask for it) or discards it; closes what is open in every case.
notesapi::Status CloseQuarantineDocument(notesapi::NoteHandle mail, bool mime);

}  // namespace zul

#endif  // RECORDS_QUARANTINE_H_
