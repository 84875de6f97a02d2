// Files that hold other files but that neither the scan engine nor the
// archive reader opens: disk images (a FAT or NTFS volume, ext2/3/4,
// squashfs, a VHD, VHDX, VMDK or QCOW disk, a WIM image, a partitioned
// disk) and ARJ archives whose members are garbled with a password. What
// they hold was never looked at, so they are never clean. BinHex, a text
// form that carries a file, is decoded here as well.
#ifndef SCANNING_CLOSED_CONTAINERS_H_
#define SCANNING_CLOSED_CONTAINERS_H_

#include <string>
#include <string_view>
#include <vector>

namespace zul {

enum class ClosedContainer { kNone, kDiskImage, kEncryptedArchive };

// What kind of closed container `bytes` are, by their own marks (never a
// name); `what` names the form for the report.
ClosedContainer ClassifyClosedContainer(std::string_view bytes, std::string* what);

// The files a BinHex 4.0 text carries (data and resource fork), wherever
// the text starts in `bytes` (after any lines of other text). False when
// there is no BinHex text; true with `unreadable` set when there is one
// that does not decode whole.
bool FindBinHex(std::string_view bytes, std::vector<std::string>* forks, bool* unreadable);

}  // namespace zul

#endif  // SCANNING_CLOSED_CONTAINERS_H_
