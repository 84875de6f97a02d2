#include "scanning/closed_containers.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

namespace zul {

namespace {

bool At(std::string_view bytes, size_t offset, std::string_view mark) {
  return bytes.size() >= offset + mark.size() && bytes.compare(offset, mark.size(), mark) == 0;
}

uint8_t Byte(std::string_view bytes, size_t at) { return static_cast<uint8_t>(bytes[at]); }
uint16_t Le16(std::string_view bytes, size_t at) { return static_cast<uint16_t>(Byte(bytes, at) | Byte(bytes, at + 1) << 8); }
uint32_t Le32(std::string_view bytes, size_t at) { return Le16(bytes, at) | static_cast<uint32_t>(Le16(bytes, at + 2)) << 16; }

bool HasBootSignature(std::string_view bytes) {
  return bytes.size() >= 512 && Byte(bytes, 510) == 0x55 && Byte(bytes, 511) == 0xAA;
}

// A master boot record whose first partition entry describes a partition.
bool IsPartitionedDisk(std::string_view bytes) {
  if (!HasBootSignature(bytes)) return false;
  uint8_t status = Byte(bytes, 446);
  uint8_t type = Byte(bytes, 446 + 4);
  uint32_t first = Le32(bytes, 446 + 8);
  uint32_t sectors = Le32(bytes, 446 + 12);
  return (status == 0x00 || status == 0x80) && type != 0 && first > 0 && sectors > 0;
}

bool IsExtFileSystem(std::string_view bytes) {
  constexpr size_t kSuper = 1024;
  if (bytes.size() < kSuper + 1024 || Le16(bytes, kSuper + 56) != 0xEF53) return false;
  uint32_t inodes = Le32(bytes, kSuper);
  uint32_t blockSizeLog = Le32(bytes, kSuper + 24);
  return inodes > 0 && blockSizeLog <= 6;
}

// The forms and their marks; the first that matches names the image.
std::string DiskImageForm(std::string_view bytes) {
  if (At(bytes, 3, "NTFS    ")) return "NTFS volume";
  if (At(bytes, 3, "EXFAT   ")) return "exFAT volume";
  if (HasBootSignature(bytes) && (At(bytes, 54, "FAT1") || At(bytes, 82, "FAT32"))) return "FAT volume";
  if (IsExtFileSystem(bytes)) return "ext2/3/4 file system";
  if (At(bytes, 0, "hsqs") || At(bytes, 0, "sqsh")) return "squashfs image";
  if (At(bytes, 0, "conectix") || (bytes.size() >= 512 && At(bytes, bytes.size() - 512, "conectix"))) return "VHD disk";
  if (At(bytes, 0, "vhdxfile")) return "VHDX disk";
  if (At(bytes, 0, "KDMV") || At(bytes, 0, "# Disk DescriptorFile")) return "VMDK disk";
  if (At(bytes, 0, "QFI\xfb")) return "QCOW disk";
  if (At(bytes, 0, std::string_view("MSWIM\0\0\0", 8)) || At(bytes, 0, std::string_view("WLPWM\0\0\0", 8))) return "WIM image";
  if (bytes.size() >= 512 && At(bytes, bytes.size() - 512, "koly")) return "Apple disk image";
  if (At(bytes, 512, "EFI PART")) return "GPT disk";
  if (At(bytes, 1024, "H+") || At(bytes, 1024, "HX")) return "HFS+ volume";
  if (At(bytes, 0, "XFSB")) return "XFS file system";
  if (At(bytes, 0x10040, "_BHRfS_M")) return "Btrfs file system";
  if (IsPartitionedDisk(bytes)) return "partitioned disk";
  return {};
}

constexpr uint8_t kArjGarbled = 0x01;
constexpr uint8_t kArjMainHeader = 2;

// Walks the headers of an ARJ archive: true when a member (or the whole
// archive) is garbled with a password. A header past the end stops the walk.
bool IsGarbledArj(std::string_view bytes) {
  if (!At(bytes, 0, "\x60\xea")) return false;
  size_t at = 0;
  for (int headers = 0; headers < 100000 && at + 4 <= bytes.size(); ++headers) {
    if (Byte(bytes, at) != 0x60 || Byte(bytes, at + 1) != 0xEA) return false;
    size_t size = Le16(bytes, at + 2);
    if (size == 0) return false;  // the end of the archive
    size_t header = at + 4;
    if (size < 16 || header + size > bytes.size()) return false;
    uint8_t flags = Byte(bytes, header + 4);
    uint8_t fileType = Byte(bytes, header + 6);
    if (flags & kArjGarbled) return true;
    size_t next = header + size + 4;  // the header's CRC
    for (int extended = 0; extended < 16 && next + 2 <= bytes.size(); ++extended) {
      size_t length = Le16(bytes, next);
      next += 2;
      if (length == 0) break;
      next += length + 4;
    }
    if (fileType != kArjMainHeader) next += Le32(bytes, header + 12);  // the member's compressed data
    if (next <= at) return false;
    at = next;
  }
  return false;
}

constexpr std::string_view kBinHexAlphabet = "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

// The six-bit characters between the colons, as bytes, and the run-length
// form undone.
bool DecodeBinHexData(std::string_view text, std::string* out) {
  std::array<int8_t, 256> values{};
  values.fill(-1);
  for (size_t i = 0; i < kBinHexAlphabet.size(); ++i) values[static_cast<uint8_t>(kBinHexAlphabet[i])] = static_cast<int8_t>(i);
  std::string packed;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == ':') break;
    int8_t value = values[static_cast<uint8_t>(c)];
    if (value < 0) {
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
      return false;
    }
    bits = bits << 6 | static_cast<uint32_t>(value);
    if ((count += 6) >= 8) {
      count -= 8;
      packed.push_back(static_cast<char>(bits >> count & 0xFF));
    }
  }
  out->clear();
  for (size_t i = 0; i < packed.size(); ++i) {
    uint8_t c = static_cast<uint8_t>(packed[i]);
    if (c != 0x90) {
      out->push_back(static_cast<char>(c));
      continue;
    }
    if (++i >= packed.size()) return false;
    uint8_t repeat = static_cast<uint8_t>(packed[i]);
    if (repeat == 0) {
      out->push_back(static_cast<char>(0x90));
    } else if (!out->empty()) {
      out->append(repeat - 1u, out->back());
    }
  }
  return true;
}

uint32_t Be32(std::string_view bytes, size_t at) {
  return static_cast<uint32_t>(Byte(bytes, at)) << 24 | static_cast<uint32_t>(Byte(bytes, at + 1)) << 16 |
         static_cast<uint32_t>(Byte(bytes, at + 2)) << 8 | Byte(bytes, at + 3);
}

}  // namespace

ClosedContainer ClassifyClosedContainer(std::string_view bytes, std::string* what) {
  if (IsGarbledArj(bytes)) {
    *what = "ARJ archive with a password";
    return ClosedContainer::kEncryptedArchive;
  }
  std::string form = DiskImageForm(bytes);
  if (form.empty()) return ClosedContainer::kNone;
  *what = form;
  return ClosedContainer::kDiskImage;
}

bool FindBinHex(std::string_view bytes, std::vector<std::string>* forks, bool* unreadable) {
  // Readers find the text by its first line, after whatever comes before.
  std::string lower = Lower(bytes.substr(0, std::min<size_t>(bytes.size(), 1 << 20)));
  size_t mark = lower.find("(this file must be converted");
  if (mark == std::string::npos) return false;
  size_t colon = bytes.find(':', bytes.find('\n', mark));
  *unreadable = true;
  forks->clear();
  std::string data;
  if (colon == std::string_view::npos || !DecodeBinHexData(bytes.substr(colon + 1), &data) || data.empty()) return true;
  size_t nameLength = static_cast<uint8_t>(data[0]);
  size_t header = 1 + nameLength + 1 + 4 + 4 + 2;  // name, version, type, creator, flags
  if (data.size() < header + 10) return true;
  uint64_t dataLength = Be32(data, header);
  uint64_t resourceLength = Be32(data, header + 4);
  size_t start = header + 10;  // the lengths and the header's CRC
  if (start + dataLength + 2 + resourceLength > data.size()) return true;
  forks->push_back(data.substr(start, dataLength));
  if (resourceLength > 0) forks->push_back(data.substr(start + dataLength + 2, resourceLength));
  *unreadable = false;
  return true;
}

}  // namespace zul
