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

// The raw form takes any bytes at all: they are one compressed file only
// when a decoder recognised them and their start really decodes (a guess
// on a few bytes of other data does not).
bool IsCompressedStream(archive* reader) {
  if (archive_filter_code(reader, 0) == ARCHIVE_FILTER_NONE) return false;
  char start[4096];
  return archive_read_data(reader, start, sizeof start) > 0;
}

}  // namespace

ArchiveListing ListArchiveMembers(std::string_view bytes) {
  ArchiveListing listing;
  std::unique_ptr<archive, ArchiveCloser> reader(archive_read_new());
  if (!reader) return listing;
  // Archives and compressed files that a mail client or its desktop opens
  // with a double click: what the engine does not open of them is content
  // it never saw. A compressed stream of one file is read as one member.
  archive_read_support_format_zip_seekable(reader.get());  // sizes from the central directory
  archive_read_support_format_zip_streamable(reader.get());
  archive_read_support_format_tar(reader.get());
  archive_read_support_format_7zip(reader.get());
  archive_read_support_format_rar(reader.get());
  archive_read_support_format_rar5(reader.get());
  archive_read_support_format_cab(reader.get());
  archive_read_support_format_cpio(reader.get());
  archive_read_support_format_raw(reader.get());
  // Decoders in the library only: none that runs another program.
  archive_read_support_filter_gzip(reader.get());
  archive_read_support_filter_bzip2(reader.get());
  archive_read_support_filter_xz(reader.get());
  archive_read_support_filter_lzma(reader.get());
  archive_read_support_filter_lzip(reader.get());
  archive_read_support_filter_zstd(reader.get());
  archive_read_support_filter_lz4(reader.get());
  archive_read_support_filter_compress(reader.get());
  if (archive_read_open_memory(reader.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) return listing;
  archive_entry* entry = nullptr;
  for (;;) {
    int rc = archive_read_next_header(reader.get(), &entry);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN) break;  // damaged past here: what was listed stands
    if (archive_format(reader.get()) == ARCHIVE_FORMAT_RAW) {
      if (!IsCompressedStream(reader.get())) return listing;
      listing.archive = true;
      listing.files = 1;
      listing.firstName = "(the compressed file)";
      return listing;
    }
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
