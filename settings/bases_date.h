// The date of the anti-virus bases, from the signed bases index "master.xml"
// in the bases folder. The index is an XML document followed by signature
// blocks of 64 bytes:
//   bytes 0-3    "\r\n; "  (the block reads as a comment line)
//   bytes 4-25   key identifier (22 bytes)
//   bytes 26-61  signature: HMAC-SHA-256 of the signed content with the key,
//                first 29 bytes, written as 36 digits of base 94 ('!'..'~'),
//                most significant first
//   bytes 62-63  0xAD 0xAD
// Blocks are recognised from the end of the file backwards (at most 20);
// everything before the earliest block is the signed content.
#ifndef SETTINGS_BASES_DATE_H_
#define SETTINGS_BASES_DATE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace zul {

inline constexpr int32_t kNoSignatureForKey = -1014;
inline constexpr int32_t kSignatureMismatch = -1001;
inline constexpr int32_t kSignatureOutOfMemory = -1003;
inline constexpr int32_t kSignatureInvalidArguments = -1006;

inline constexpr size_t kSignatureBlockSize = 64;
inline constexpr size_t kKeyIdSize = 22;
inline constexpr size_t kMaxSignatureBlocks = 20;

struct BasesKey {
  std::string keyId;   // exactly 22 bytes
  std::string secret;  // any length
};

// The key built into the program, and a site's own key from the file named
// by the notes.ini variable ZulBasesKeyFile (lines "KeyId=..." and
// "Secret=<hex>"), when there is one.
BasesKey BuiltInBasesKey();
// The keys that verify an index: the site's key alone when ZulBasesKeyFile
// names one, else the built-in key. A key file that cannot be read or parsed
// gives no key at all, never the built-in one; it is logged, and `problem`
// says why in English for the command line.
std::vector<BasesKey> VerificationKeys(std::string* problem);
// False when the file cannot be read or lacks either line.
bool ReadBasesKeyFile(std::u16string_view path, BasesKey* key);
bool ParseBasesKey(std::string_view text, BasesKey* key);
// The length of `content` without the signature blocks at its end.
size_t UnsignedLength(std::string_view content);

// The 64-byte block that signs `content` with `key`.
std::string MakeSignatureBlock(std::string_view content, const BasesKey& key);

// 0 and the length of the signed content, or one of the codes above. The
// blocks are checked against VerificationKeys(); an unusable key file is
// logged and verifies nothing (kNoSignatureForKey).
int32_t VerifySignedContent(std::string_view content, size_t* signedLength);

// Reads, verifies and parses the index; the date of its root element
// "UpdateFiles" (attribute "UpdateDate", "DDMMYYYY HHMM") as a Windows file
// time. NotFound without an index; Corrupt when it is unsigned, altered or
// not XML; InvalidArgument for a date that does not parse.
Status ReadBasesDate(std::u16string_view indexPath, uint64_t* fileTime);

// A date as the information document takes it: year since 1900, month 0-11.
struct BasesDate {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 0;  // 0 Sunday
};

// Calendar conversions of Windows file times (no time zone involved).
bool FileTimeOfCivil(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, uint64_t* fileTime);
BasesDate BasesDateOfFileTime(uint64_t fileTime);

}  // namespace zul

#endif  // SETTINGS_BASES_DATE_H_
