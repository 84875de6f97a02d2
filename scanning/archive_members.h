// What an archive holds, by a reader other than the scan engine's: the
// engine skips some members without a word (ZIP64 entries, ZIP members
// compressed with LZMA, members past its size limits, LZMA-alone and
// Zstandard files it does not decode at all), so the kernel compares what
// it was given to scan with what the engine looked at, and reads the
// members itself when the engine did not.
#ifndef SCANNING_ARCHIVE_MEMBERS_H_
#define SCANNING_ARCHIVE_MEMBERS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

// What reading members out of archives may take, all of them together (an
// archive inside an archive takes from the same budget).
struct MemberBudget {
  uint64_t largestMember = 0;  // bytes
  uint64_t bytesLeft = 0;
  size_t membersLeft = 0;
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

enum class MembersRead {
  kAll,         // every member was read and taken
  kStopped,     // `take` said stop
  kEncrypted,   // a member is encrypted
  kUnreadable,  // a member the reader cannot decode, or a damaged archive
  kOverBudget,  // a member larger than allowed, or more bytes, members or time than the budget holds
};

// Every file an archive holds, at any depth, by the size the reader decodes
// it to; `unread` when some member could not be read within the budget, or
// is itself a container no reader here opens (a disk image, a garbled ARJ,
// BinHex text), so a comparison with the engine's files cannot hold.
struct ArchiveSurvey {
  std::vector<uint64_t> sizes;
  bool unread = false;
};
void SurveyArchive(std::string_view bytes, MemberBudget* budget, uint32_t depthLeft, ArchiveSurvey* survey);

// Reads the members of the archive in `bytes` (the formats and decoders of
// ListArchiveMembers) one at a time and gives each, whole, to `take`, which
// returns false to stop. A compressed file of one file is one member.
MembersRead ReadArchiveMembers(std::string_view bytes, MemberBudget* budget,
                               const std::function<bool(const std::string& name, std::string_view data)>& take);

}  // namespace zul

#endif  // SCANNING_ARCHIVE_MEMBERS_H_
