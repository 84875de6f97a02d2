#include "scanning/object_filters.h"

#include <array>
#include <cstring>
#include <vector>

#include "notesapi/process_platform.h"

namespace zul {

namespace {

struct FileTypeSignature {
  std::string_view bytes;
  int typeId;
};

using namespace std::string_view_literals;

// Checked in this order; the first match decides.
constexpr std::array<FileTypeSignature, 15> kFileTypeTable = {{
    {"MZ"sv, 6},
    {"GIF89a"sv, 1},
    {"\xFF\xD8\xFF"sv, 3},
    {"BM"sv, 2},
    {"\x89PNG"sv, 4},
    {"RIFF"sv, 11},
    {"\x00\x00\x01"sv, 14},
    {"\x30\x26\xB2"sv, 15},
    {"CWS"sv, 13},
    {"%PDF"sv, 5},
    {"\xA6\xA6"sv, 7},
    {"\xD0\xCF\x11"sv, 16},
    {"PK"sv, 8},
    {"Rar"sv, 9},
    {"MSCF"sv, 10},
}};

constexpr size_t kSignatureBytes = 10;

}  // namespace

int DetectFileType(std::u16string_view path) {
  std::array<char, kSignatureBytes> head{};  // a short or unreadable file leaves zeros
  std::string data;
  if (notesapi::ProcessPlatform()->FileRead(path, &data) == notesapi::kNoError) {
    std::memcpy(head.data(), data.data(), std::min(data.size(), head.size()));
  }
  std::string_view buffer(head.data(), head.size());
  for (const FileTypeSignature& row : kFileTypeTable) {
    if (buffer.substr(0, row.bytes.size()) == row.bytes) return row.typeId;
  }
  return 0;
}

uint16_t FileTypeGroupOf(int typeId) {
  if (typeId >= 1 && typeId <= 4) return 0x02;
  if (typeId == 5 || typeId == 7 || typeId == 16) return 0x10;
  if (typeId == 6) return 0x01;
  if (typeId >= 8 && typeId <= 10) return 0x08;
  if (typeId >= 11 && typeId <= 15) return 0x04;
  return kUnknownTypeGroup;
}

uint16_t FileTypeGroup(std::u16string_view path) { return FileTypeGroupOf(DetectFileType(path)); }

bool IsExcludedByType(std::u16string_view path, uint16_t typeFilter) {
  uint16_t group = FileTypeGroup(path);
  return (group & typeFilter) == group;
}

namespace {

// The match of text[t..] against mask[m..]. Names come from mail, so a
// hostile name must not make the stars try every split again and again:
// each pair of positions is decided once.
class MaskMatcher {
 public:
  MaskMatcher(std::string_view text, std::string_view mask)
      : text_(text), mask_(mask), known_((text.size() + 1) * (mask.size() + 1), kUnknown) {}

  bool Matches(size_t t, size_t m) {
    int8_t& known = known_[t * (mask_.size() + 1) + m];
    if (known == kUnknown) known = Decide(t, m) ? 1 : 0;
    return known == 1;
  }

 private:
  static constexpr int8_t kUnknown = -1;

  bool Decide(size_t t, size_t m) {
    if (m == mask_.size()) return t == text_.size();
    if (mask_[m] == '*') {
      if (m + 1 == mask_.size()) return true;
      char next = mask_[m + 1];
      for (size_t i = t; i < text_.size(); ++i) {
        if ((text_[i] == next || next == '?') && Matches(i + 1, m + 2)) return true;
      }
      return false;
    }
    if (t == text_.size()) return false;
    if (mask_[m] != '?' && mask_[m] != text_[t]) return false;
    return Matches(t + 1, m + 1);
  }

  std::string_view text_;
  std::string_view mask_;
  std::vector<int8_t> known_;
};

}  // namespace

bool MatchMask(std::string_view text, std::string_view mask) { return MaskMatcher(text, mask).Matches(0, 0); }

namespace {

bool MatchesOneName(std::string_view fileName, std::string_view filter) {
  // Windows drops trailing dots and spaces when it opens or runs a file:
  // "evil.exe. " is evil.exe.
  while (!fileName.empty() && (fileName.back() == '.' || fileName.back() == ' ')) fileName.remove_suffix(1);
  std::string name(fileName);
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  size_t start = 0;
  while (start <= filter.size()) {
    size_t end = filter.find(';', start);
    if (end == std::string_view::npos) end = filter.size();
    std::string_view mask = filter.substr(start, end - start);
    if (!mask.empty() && MatchMask(name, mask)) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool MatchesNameFilter(std::string_view fileName, std::string_view filter) {
  if (MatchesOneName(fileName, filter)) return true;
  // A client that keeps a name in a C string cuts it at a zero byte, and
  // Windows opens "evil.exe::$DATA" (or any ":stream") as evil.exe.
  for (char cut : {'\0', ':'}) {
    size_t at = fileName.find(cut);
    if (at != std::string_view::npos && MatchesOneName(fileName.substr(0, at), filter)) return true;
  }
  return false;
}

bool IsTooLarge(uint32_t size, bool limitEnabled, int32_t sizeLimitKiB) {
  if (!limitEnabled) return false;
  uint32_t limit = static_cast<uint32_t>(sizeLimitKiB) << 10;
  return size > limit;
}

}  // namespace zul
