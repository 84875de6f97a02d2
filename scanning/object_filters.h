// What keeps an object from the scan kernel: its size (attachments and OLE
// objects), its true file type and its name (attachments only). The type is
// told by the first bytes of the written copy, never by the name.
#ifndef SCANNING_OBJECT_FILTERS_H_
#define SCANNING_OBJECT_FILTERS_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace zul {

inline constexpr uint16_t kUnknownTypeGroup = 0xFFFF;

// Type id of the file's first matching signature, or 0. `path` is a
// platform path (UTF-16).
int DetectFileType(std::u16string_view path);
// Group bit of a type id (0x01 executables, 0x02 images, 0x04 audio and
// video, 0x08 archives, 0x10 documents), or kUnknownTypeGroup.
uint16_t FileTypeGroupOf(int typeId);
uint16_t FileTypeGroup(std::u16string_view path);
bool IsExcludedByType(std::u16string_view path, uint16_t typeFilter);

// The wildcard match: "*" and "?" with the character after a star matched
// literally (or as "?").
bool MatchMask(std::string_view text, std::string_view mask);
// Masks separated by ";", not trimmed; the name's ASCII letters upper-cased.
// The name is also tried as a client may take it: cut at a zero byte, and
// without an NTFS stream suffix (":stream", "::$DATA").
bool MatchesNameFilter(std::string_view fileName, std::string_view filter);

// With the limit on: larger than `sizeLimitKiB` x 1024 (in 32 bits).
bool IsTooLarge(uint32_t size, bool limitEnabled, int32_t sizeLimitKiB);

}  // namespace zul

#endif  // SCANNING_OBJECT_FILTERS_H_
