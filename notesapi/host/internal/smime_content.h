// The content of an S/MIME message part ("application/pkcs7-mime"): a
// client that gets an opaque-signed message shows the MIME message inside
// it, so the view shows it too; an encrypted one nobody but its recipient
// reads. No signature is checked: what is inside is scanned either way.
#ifndef NOTESAPI_HOST_INTERNAL_SMIME_CONTENT_H_
#define NOTESAPI_HOST_INTERNAL_SMIME_CONTENT_H_

#include <string>
#include <string_view>

namespace notesapi::host {

enum class SmimeContent {
  kNone,        // not a CMS structure, or one without content of its own
  kSigned,      // signed (or compressed) data: `inner` is the message it holds
  kEncrypted,   // enveloped or encrypted data
  kUnreadable,  // a CMS structure whose content could not be taken out
};

// Reads DER bytes (the decoded content of the part).
SmimeContent ReadSmimeContent(std::string_view der, std::string* inner);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_SMIME_CONTENT_H_
