// What an archive holds, by a reader other than the scan engine's: the
// engine skips some members without a word (ZIP64 entries, members past
// its size limits), so the kernel compares what it was given to scan with
// what the engine looked at.
#ifndef SCANNING_ARCHIVE_MEMBERS_H_
#define SCANNING_ARCHIVE_MEMBERS_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace zul {

struct ArchiveListing {
  bool archive = false;  // the bytes are a ZIP or tar archive
  size_t files = 0;      // members with content
  std::string firstName;  // of a member with content, for the report
};

// Lists the members of a ZIP or tar archive held in `bytes`; anything else
// is no archive here.
ArchiveListing ListArchiveMembers(std::string_view bytes);

}  // namespace zul

#endif  // SCANNING_ARCHIVE_MEMBERS_H_
