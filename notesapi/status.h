// Status values of the platform layer.
//
// Every platform service returns a 16-bit status: 0 is success. Only the low
// 16 bits count; a particular status is compared after masking with 0x3FFF
// (ErrorOf), because bit 0x8000 marks a status whose text the platform has
// already shown and bit 0x4000 is reserved for the same kind of flags.
#ifndef NOTESAPI_STATUS_H_
#define NOTESAPI_STATUS_H_

#include <cstdint>

namespace notesapi {

using Status = uint16_t;

inline constexpr Status kNoError = 0;
inline constexpr Status kStatusShownBit = 0x8000;

constexpr Status ErrorOf(Status status) { return status & 0x3FFF; }
constexpr bool IsError(Status status, Status code) { return ErrorOf(status) == ErrorOf(code); }

// Statuses that callers test for by value.
inline constexpr Status kItemNotFound = 0x222;
inline constexpr Status kAttachmentEncrypted = 0x264;
inline constexpr Status kQueueEmpty = 1119;
inline constexpr Status kQueueTimeout = 1124;
inline constexpr Status kQueueQuitting = 1126;

// The host's own failures. Each has a text from StatusText().
inline constexpr Status kInvalidHandle = 0x3A01;
inline constexpr Status kNoteNotFound = 0x3A02;
inline constexpr Status kDatabaseNotFound = 0x3A03;
inline constexpr Status kDatabaseLocked = 0x3A04;
inline constexpr Status kDatabaseCorrupt = 0x3A05;
inline constexpr Status kPathOutsideDataDirectory = 0x3A06;
inline constexpr Status kValueTooShort = 0x3A07;
inline constexpr Status kWrongItemType = 0x3A08;
inline constexpr Status kQueueNotFound = 0x3A09;
inline constexpr Status kQueueNameTooLong = 0x3A0A;
inline constexpr Status kQueueMessageTooLarge = 0x3A0B;
inline constexpr Status kQueueBufferTooSmall = 0x3A0C;
inline constexpr Status kNoteConflict = 0x3A0D;
inline constexpr Status kDatabaseError = 0x3A0E;
inline constexpr Status kFileNotFound = 0x3A0F;
inline constexpr Status kFileError = 0x3A10;
inline constexpr Status kBadArgument = 0x3A11;
inline constexpr Status kCharsetError = 0x3A12;
inline constexpr Status kLibraryNotFound = 0x3A13;
inline constexpr Status kLibraryStringNotFound = 0x3A14;
inline constexpr Status kLibraryBadFormat = 0x3A15;
inline constexpr Status kProcessOutputFailed = 0x3A16;
inline constexpr Status kProcessNotStarted = 0x3A17;
inline constexpr Status kDatabaseExists = 0x3A18;
inline constexpr Status kProfileNameInvalid = 0x3A19;
inline constexpr Status kItemTooLarge = 0x3A1A;
inline constexpr Status kNotesIniMissing = 0x3A1B;
inline constexpr Status kInjectedFault = 0x3A1C;
inline constexpr Status kClassNotRegistered = 0x3A1D;
inline constexpr Status kInstanceRunning = 0x3A1E;
inline constexpr Status kProcessTimedOut = 0x3A1F;
inline constexpr Status kNotAMessage = 0x3A20;
inline constexpr Status kMimeViewFailed = 0x3A21;
inline constexpr Status kFolderNotPrivate = 0x3A22;
inline constexpr Status kTooManyRecipients = 0x3A23;
inline constexpr Status kFileExists = 0x3A24;
inline constexpr Status kServerOwnedByOther = 0x3A25;

}  // namespace notesapi

#endif  // NOTESAPI_STATUS_H_
