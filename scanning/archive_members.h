// What an archive holds, by a reader other than the scan engine's: the
// engine skips some members without a word (ZIP64 entries, ZIP members
// compressed with LZMA, members past its size limits, LZMA-alone and
// Zstandard files it does not decode at all), so the kernel compares what
// it was given to scan with what the engine looked at.
#ifndef SCANNING_ARCHIVE_MEMBERS_H_
#define SCANNING_ARCHIVE_MEMBERS_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace zul {

struct ArchiveListing {
  bool archive = false;  // the bytes are an archive or a compressed file
  size_t files = 0;      // members with content
  std::string firstName;  // of a member with content, for the report
};

// Lists the members of a ZIP, tar, 7-Zip, RAR, cabinet or cpio archive (also
// compressed) held in `bytes`, or the one file a compressed stream holds;
// anything else is no archive here.
ArchiveListing ListArchiveMembers(std::string_view bytes);

}  // namespace zul

#endif  // SCANNING_ARCHIVE_MEMBERS_H_
