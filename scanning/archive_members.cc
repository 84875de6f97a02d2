#include "scanning/archive_members.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace zul {

namespace {

constexpr la_int64_t kSmallestInspected = 5;

struct ArchiveCloser {
  void operator()(archive* a) const { archive_read_free(a); }
};

}  // namespace

ArchiveListing ListArchiveMembers(std::string_view bytes) {
  ArchiveListing listing;
  std::unique_ptr<archive, ArchiveCloser> reader(archive_read_new());
  if (!reader) return listing;
  // The forms the engine unpacks itself; a listing of others would only
  // say that the engine never opens them.
  archive_read_support_format_zip_seekable(reader.get());  // sizes from the central directory
  archive_read_support_format_zip_streamable(reader.get());
  archive_read_support_format_tar(reader.get());
  archive_read_support_filter_none(reader.get());
  if (archive_read_open_memory(reader.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) return listing;
  archive_entry* entry = nullptr;
  for (;;) {
    int rc = archive_read_next_header(reader.get(), &entry);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN) break;  // damaged past here: what was listed stands
    listing.archive = true;
    bool regular = archive_entry_filetype(entry) == AE_IFREG;
    // The engine looks at no file of five bytes or less (no signature is
    // that short); a size the header does not give counts as content.
    bool content = !archive_entry_size_is_set(entry) || archive_entry_size(entry) > kSmallestInspected;
    if (regular && content) {
      if (listing.files++ == 0) {
        const char* name = archive_entry_pathname(entry);
        listing.firstName = name == nullptr ? "" : name;
      }
    }
    archive_read_data_skip(reader.get());
  }
  return listing;
}

}  // namespace zul
