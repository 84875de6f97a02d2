// One scanner per kind of object: each writes its item out to the record's
// scan copy, applies the filters that belong to the kind, has the kernel scan
// the copy and leaves a result and a description in the record. A copy that
// cannot be written is result 5 ("not processed"), never clean.
#ifndef SCANNING_OBJECT_SCANNERS_H_
#define SCANNING_OBJECT_SCANNERS_H_

#include <string>
#include <string_view>

#include "notesapi/status.h"
#include "scanning/object_record.h"

namespace zul {

// 0 when the whole buffer is in the file (created or replaced), -1 otherwise.
int WriteBufferToFile(std::u16string_view path, std::string_view data);

// What a scanner made of its item. A failed extraction also leaves a result
// in the record (5, or the encrypted-attachment result).
enum class ScannerOutcome {
  kResult,      // the record holds a result and a description
  kSkipObject,  // the item holds no file this scanner handles (attachments
                // only): dropped without a report
};

ScannerOutcome ScanRichTextItem(ObjectRecord* record);
ScannerOutcome ScanOleObject(ObjectRecord* record);
// A file the view marks as the body's source is scanned as the body (no
// filter; the record says bodySource); one it marks encrypted is protected
// content.
ScannerOutcome ScanAttachment(ObjectRecord* record);
// The stored part is scanned as it is and, when its transfer encoding
// hides the content, decoded as well; a detection in either counts.
ScannerOutcome ScanMimePart(ObjectRecord* record);
ScannerOutcome ScanScriptObject(ObjectRecord* record);

// What content sent encrypted is reported as, like an encrypted archive.
inline constexpr char kEncryptedContentName[] = "Heuristics.Encrypted.SMIME";

// The kernel call the scanners make; tests may put a double in its place
// (nullptr restores the kernel).
using KernelScanFunction = ScanResult (*)(std::u16string_view scanCopy, std::string* description);
void SetKernelScanFunction(KernelScanFunction scan);

}  // namespace zul

#endif  // SCANNING_OBJECT_SCANNERS_H_
