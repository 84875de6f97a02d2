#include "scanning/archive_members.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>

#include "scanning/closed_containers.h"

namespace zul {

namespace {

constexpr la_int64_t kSmallestInspected = 5;

struct ArchiveCloser {
  void operator()(archive* a) const { archive_read_free(a); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveCloser>;

// Archives and compressed files that a mail client or its desktop opens with
// a double click: what the engine does not open of them is content it never
// saw. A compressed stream of one file is read as one member. Decoders in
// the library only: none that runs another program.
ArchiveReader OpenArchive(std::string_view bytes) {
  ArchiveReader reader(archive_read_new());
  if (!reader) return nullptr;
  archive* a = reader.get();
  archive_read_support_format_iso9660(a);
  archive_read_support_format_zip_seekable(a);  // sizes from the central directory
  archive_read_support_format_zip_streamable(a);
  archive_read_support_format_tar(a);
  archive_read_support_format_7zip(a);
  archive_read_support_format_rar(a);
  archive_read_support_format_rar5(a);
  archive_read_support_format_cab(a);
  archive_read_support_format_cpio(a);
  archive_read_support_format_raw(a);
  archive_read_support_filter_gzip(a);
  archive_read_support_filter_bzip2(a);
  archive_read_support_filter_xz(a);
  archive_read_support_filter_lzma(a);
  archive_read_support_filter_lzip(a);
  archive_read_support_filter_zstd(a);
  archive_read_support_filter_lz4(a);
  archive_read_support_filter_compress(a);
  if (archive_read_open_memory(a, bytes.data(), bytes.size()) != ARCHIVE_OK) return nullptr;
  return reader;
}

// The raw form takes any bytes at all: they are one compressed file only
// when a decoder recognised them and their start really decodes (a guess
// on a few bytes of other data does not).
bool IsCompressedStream(archive* reader) {
  if (archive_filter_code(reader, 0) == ARCHIVE_FILTER_NONE) return false;
  char start[4096];
  return archive_read_data(reader, start, sizeof start) > 0;
}

// The current member's data, whole, within the budget.
MembersRead ReadMember(archive* reader, MemberBudget* budget, std::string* data) {
  char buffer[65536];
  for (;;) {
    la_ssize_t got = archive_read_data(reader, buffer, sizeof buffer);
    if (got == 0) return MembersRead::kAll;
    if (got < 0) return MembersRead::kUnreadable;
    uint64_t size = data->size() + static_cast<uint64_t>(got);
    if (size > budget->largestMember || size > budget->bytesLeft) return MembersRead::kOverBudget;
    data->append(buffer, static_cast<size_t>(got));
  }
}

// A member's header was read. A header the reader skipped as damaged
// (ARCHIVE_RETRY) hides a member as surely as a fatal one: other readers
// may take it.
bool HeaderRead(int rc) { return rc == ARCHIVE_OK || rc == ARCHIVE_WARN; }

}  // namespace

ArchiveListing ListArchiveMembers(std::string_view bytes) {
  ArchiveListing listing;
  ArchiveReader reader = OpenArchive(bytes);
  if (!reader) return listing;
  archive_entry* entry = nullptr;
  for (;;) {
    int rc = archive_read_next_header(reader.get(), &entry);
    if (rc == ARCHIVE_EOF) break;
    if (!HeaderRead(rc)) break;  // damaged past here: what was listed stands
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

namespace {

// Enough of a member to tell an archive, a disk image or BinHex text by its
// marks; a member larger than this is read whole only when it is an archive.
constexpr size_t kPeekBytes = size_t{128} << 10;

// Reads at most `limit` bytes of the current member into `data`; false when
// the reader fails.
bool ReadMemberStart(archive* reader, size_t limit, std::string* data) {
  char buffer[65536];
  while (data->size() < limit) {
    la_ssize_t got = archive_read_data(reader, buffer, std::min(sizeof buffer, limit - data->size()));
    if (got == 0) return true;
    if (got < 0) return false;
    data->append(buffer, static_cast<size_t>(got));
  }
  return true;
}

}  // namespace

void SurveyArchive(std::string_view bytes, MemberBudget* budget, uint32_t depthLeft, ArchiveSurvey* survey) {
  ArchiveReader reader = OpenArchive(bytes);
  if (!reader || depthLeft == 0) {
    survey->unread = true;
    return;
  }
  archive_entry* entry = nullptr;
  for (;;) {
    int rc = archive_read_next_header(reader.get(), &entry);
    if (rc == ARCHIVE_EOF) return;
    if (!HeaderRead(rc) || archive_entry_is_encrypted(entry) || budget->membersLeft == 0 ||
        std::chrono::steady_clock::now() > budget->deadline) {
      survey->unread = true;
      return;
    }
    if (archive_entry_filetype(entry) != AE_IFREG) continue;
    --budget->membersLeft;
    // The size the header gives stands for the member unless it must be
    // read to be known (a compressed stream) or to be looked inside.
    bool sized = archive_entry_size_is_set(entry) && archive_format(reader.get()) != ARCHIVE_FORMAT_RAW;
    std::string data;
    if (!ReadMemberStart(reader.get(), sized ? kPeekBytes : budget->largestMember + 1, &data)) {
      survey->unread = true;
      return;
    }
    uint64_t size = sized ? static_cast<uint64_t>(archive_entry_size(entry)) : data.size();
    std::string form;
    std::vector<std::string> forks;
    bool unreadable = false;
    if (size > budget->largestMember || ClassifyClosedContainer(data, &form) != ClosedContainer::kNone ||
        FindBinHex(data, &forks, &unreadable)) {
      survey->unread = true;  // only a scan of its own opens it
      return;
    }
    if (size > static_cast<uint64_t>(kSmallestInspected)) survey->sizes.push_back(size);
    if (!ListArchiveMembers(data).archive) continue;
    if (sized && data.size() < size && !ReadMemberStart(reader.get(), size, &data)) {
      survey->unread = true;
      return;
    }
    if (data.size() > budget->bytesLeft) {
      survey->unread = true;
      return;
    }
    budget->bytesLeft -= data.size();
    SurveyArchive(data, budget, depthLeft - 1, survey);
    if (survey->unread) return;
  }
}

MembersRead ReadArchiveMembers(std::string_view bytes, MemberBudget* budget,
                               const std::function<bool(const std::string& name, std::string_view data)>& take) {
  ArchiveReader reader = OpenArchive(bytes);
  if (!reader) return MembersRead::kUnreadable;
  archive_entry* entry = nullptr;
  for (;;) {
    int rc = archive_read_next_header(reader.get(), &entry);
    if (rc == ARCHIVE_EOF) return MembersRead::kAll;
    // A header the reader cannot take hides the members after it.
    if (!HeaderRead(rc)) return MembersRead::kUnreadable;
    if (archive_entry_filetype(entry) != AE_IFREG) continue;
    if (archive_entry_is_encrypted(entry)) return MembersRead::kEncrypted;
    if (budget->membersLeft == 0 || std::chrono::steady_clock::now() > budget->deadline) return MembersRead::kOverBudget;
    --budget->membersLeft;
    std::string data;
    if (MembersRead read = ReadMember(reader.get(), budget, &data); read != MembersRead::kAll) {
      return read == MembersRead::kUnreadable && archive_read_has_encrypted_entries(reader.get()) > 0
                 ? MembersRead::kEncrypted
                 : read;
    }
    budget->bytesLeft -= data.size();
    const char* name = archive_entry_pathname(entry);
    if (!take(name == nullptr ? std::string() : std::string(name), data)) return MembersRead::kStopped;
  }
}

}  // namespace zul
