// Whether a bases folder may be loaded into a scan kernel. The engine loads
// every signature file it finds in the folder, and a single file can switch
// detections off (an allow list, an ignore list, a configuration), so a
// folder is taken only when each file in it is vouched for:
//  - with an index "master.xml": the index verifies (bases_date.h), every
//    other entry of the folder is a regular file it lists, with the listed
//    size and SHA-256, and no listed file is missing;
//  - without one: every file the engine would load is one of ClamAV's own
//    signed containers (.cvd, .cld), whose signatures the engine checks as
//    it loads them; files it never loads (freshclam's state) do not count;
//  - notes.ini ZulBasesUnsigned=1: anything, by the administrator's choice.
// Links, folders and devices are never taken where a file is loaded.
// Called by the scan kernel before every load and by the updater before it
// announces a set.
#ifndef SCANNING_BASES_PROOF_H_
#define SCANNING_BASES_PROOF_H_

#include <string>
#include <string_view>

#include "base/status.h"
#include "notesapi/status.h"

namespace zul {

enum class BasesProof { kSignedIndex, kClamavContainers, kUnsignedAllowed };

// OK and how the folder was proven; else the kernel's ZUL_E_BASES_NOT_PROVEN
// with the first reason found as its message (a catalogue text in the native
// code page, naming the file). Logs nothing: the caller says what the
// refusal means.
// `fingerprint` (when given) receives what the folder held when the proof
// began: which file each name held and when it last changed.
Status ProveBasesFolder(std::u16string_view folder, BasesProof* proof, std::string* fingerprint = nullptr);
// The engine reads the folder again by its names after the proof: OK when
// the folder still holds exactly what the proof saw (`fingerprint`, empty
// when nothing was proven), else ZUL_E_BASES_NOT_PROVEN and why. A file
// swapped or written to in between changes its stamp, which no one can set
// back.
Status ConfirmBasesUnchanged(std::u16string_view folder, const std::string& fingerprint);

// The catalogue line that says how a folder was proven (native code page).
std::string ProofLine(std::u16string_view folder, BasesProof proof);
// The catalogue line that says why a folder was refused.
std::string RefusalLine(std::u16string_view folder, const std::string& why);

// SHA-256 of a file through the platform, read a part at a time, as 64
// lower-case hex digits.
notesapi::Status FileSha256(std::u16string_view path, std::string* digest);

// True when the engine loads a file of this name from a bases folder (by
// its extension, in any case).
bool EngineLoadsFile(std::u16string_view name);

}  // namespace zul

#endif  // SCANNING_BASES_PROOF_H_
