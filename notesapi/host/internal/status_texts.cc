#include "notesapi/host/internal/status_texts.h"

#include <cstdio>

namespace notesapi::host {

namespace {

struct StatusTextEntry {
  Status status;
  const char* text;
};

constexpr StatusTextEntry kTexts[] = {
    {kItemNotFound, "Note item not found"},
    {kAttachmentEncrypted, "The attachment is encrypted and cannot be extracted"},
    {kTooManyRecipients, "The message has more recipients than a mail document can carry"},
    {kFolderNotPrivate, "The folder belongs to another user or others may write into it"},
    {kQueueEmpty, "No message in the queue"},
    {kQueueTimeout, "No message arrived in the queue in time"},
    {kQueueQuitting, "The queue is shutting down: the server is quitting"},
    {kInvalidHandle, "Invalid or closed handle"},
    {kNoteNotFound, "Note not found in the database"},
    {kDatabaseNotFound, "Database file does not exist"},
    {kDatabaseLocked, "Database is locked by another process"},
    {kDatabaseCorrupt, "Database file is damaged or is not a database"},
    {kPathOutsideDataDirectory, "Database path leaves the data directory"},
    {kValueTooShort, "Stored value is shorter than its structure"},
    {kWrongItemType, "Item has another data type"},
    {kQueueNotFound, "Message queue does not exist"},
    {kQueueNameTooLong, "Message queue name is too long"},
    {kQueueMessageTooLarge, "Message is too large for a queue"},
    {kQueueBufferTooSmall, "Message was longer than the reader's buffer and was set aside"},
    {kNoteConflict, "Note was changed by another writer since it was opened"},
    {kDatabaseError, "Database operation failed"},
    {kFileNotFound, "File not found"},
    {kFileError, "File operation failed"},
    {kBadArgument, "Invalid argument"},
    {kCharsetError, "Character set conversion failed"},
    {kLibraryNotFound, "Resource library not found"},
    {kLibraryStringNotFound, "String not found in the resource library"},
    {kLibraryBadFormat, "Resource library is damaged or not a resource file"},
    {kProcessOutputFailed, "Output file of the child process could not be created"},
    {kProcessNotStarted, "Child process could not be started"},
    {kDatabaseExists, "Database already exists"},
    {kProfileNameInvalid, "Invalid profile name"},
    {kItemTooLarge, "Item value is too large"},
    {kNotesIniMissing, "notes.ini not found"},
    {kInjectedFault, "Injected fault"},
    {kClassNotRegistered, "Class is not registered"},
    {kInstanceRunning, "Another instance of the program is running"},
    {kProcessTimedOut, "Child process did not end in time and was stopped"},
    {kNotAMessage, "Not a mail message"},
    {kMimeViewFailed, "The MIME message cannot be presented converted"},
    {kFileExists, "A file of that name exists already"},
    {kServerOwnedByOther, "The server directory belongs to another user"},
};

}  // namespace

std::string TextOfStatus(Status status) {
  Status code = ErrorOf(status);
  for (const StatusTextEntry& entry : kTexts) {
    if (ErrorOf(entry.status) == code) return entry.text;
  }
  char text[64];
  std::snprintf(text, sizeof text, "Unknown status 0x%04X", static_cast<unsigned>(code));
  return text;
}

}  // namespace notesapi::host
