// MIME mail presented for a reader: a note stored as raw MIME parts, opened
// without asking to keep MIME raw, shows its text parts as a rich-text
// "Body" and every other part as a "$FILE" attachment, and last the whole
// message as sent, marked for the scanner. A reader never gets
// a MIME note presented raw when it asked for the converted form: when the
// view cannot be built, the open fails.
#ifndef NOTESAPI_HOST_INTERNAL_MIME_VIEW_ROLE_H_
#define NOTESAPI_HOST_INTERNAL_MIME_VIEW_ROLE_H_

#include <memory>
#include <vector>

#include "notesapi/host/internal/host_state.h"
#include "notesapi/host/internal/mime_write_back.h"
#include "notesapi/host/internal/spooled_file.h"

namespace notesapi::host {

class MimeViewRole {
 public:
  explicit MimeViewRole(HostState& state) : s_(state) {}
  // Converts the open note in place; a note without "MIME_Version" is left
  // as it is. kMimeViewFailed when the view cannot be built.
  [[nodiscard]] Status PresentConverted(NoteHandle handle);

 private:
  bool AppendAttachmentByName(NoteHandle handle, std::string_view name, std::string* data);
  bool AttachPresented(NoteHandle handle, std::string data, const std::string& name, BlockId* attached);
  // The message as sent, for the engine's own reading, after every file.
  bool AttachWholeMessage(NoteHandle handle, std::shared_ptr<const SpooledFile> whole,
                          const std::vector<std::string>& used, MimeOrigin* origin);
  static bool IsPartFile(const StoredItem& item, const std::vector<std::string>& partFiles);
  Status Rebuild(NoteHandle handle, std::string* message, std::vector<std::string>* partFiles);

  HostState& s_;
};

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_MIME_VIEW_ROLE_H_
