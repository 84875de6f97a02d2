#include "notesapi/host/internal/pe_string_table.h"

namespace notesapi::host {

namespace {
constexpr uint32_t kResourceTypeString = 6;
constexpr uint32_t kSubdirectoryBit = 0x80000000;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kStringsPerBlock = 16;
}  // namespace

bool PeStringTable::Read16(uint64_t offset, uint16_t* value) const {
  if (offset + 2 > image_.size()) return false;
  auto byte = [&](uint64_t i) { return static_cast<uint16_t>(static_cast<uint8_t>(image_[i])); };
  *value = static_cast<uint16_t>(byte(offset) | (byte(offset + 1) << 8));
  return true;
}

bool PeStringTable::Read32(uint64_t offset, uint32_t* value) const {
  uint16_t low = 0;
  uint16_t high = 0;
  if (!Read16(offset, &low) || !Read16(offset + 2, &high)) return false;
  *value = static_cast<uint32_t>(low) | (static_cast<uint32_t>(high) << 16);
  return true;
}

Status PeStringTable::Load(std::string image) {
  image_ = std::move(image);
  uint32_t peOffset = 0;
  uint32_t signature = 0;
  if (image_.size() < 64 || image_[0] != 'M' || image_[1] != 'Z') return kLibraryBadFormat;
  if (!Read32(0x3C, &peOffset) || !Read32(peOffset, &signature) || signature != 0x00004550) return kLibraryBadFormat;
  uint64_t coff = static_cast<uint64_t>(peOffset) + 4;
  uint16_t optionalSize = 0;
  uint16_t magic = 0;
  if (!Read16(coff + 2, &sectionCount_) || !Read16(coff + 16, &optionalSize)) return kLibraryBadFormat;
  uint64_t optional = coff + 20;
  if (!Read16(optional, &magic)) return kLibraryBadFormat;
  uint64_t directories = 0;
  if (magic == 0x10B) {
    directories = optional + 96;
  } else if (magic == 0x20B) {
    directories = optional + 112;
  } else {
    return kLibraryBadFormat;
  }
  uint32_t directoryCount = 0;
  uint32_t resourceRva = 0;
  if (!Read32(directories - 4, &directoryCount) || directoryCount < 3) return kLibraryBadFormat;
  if (!Read32(directories + 16, &resourceRva) || !Read32(directories + 20, &resourceSize_)) return kLibraryBadFormat;
  uint64_t sections = optional + optionalSize;
  if (sections + static_cast<uint64_t>(sectionCount_) * kSectionHeaderSize > image_.size()) return kLibraryBadFormat;
  sectionTable_ = static_cast<uint32_t>(sections);
  if (resourceRva == 0 || !RvaToOffset(resourceRva, 16, &resourceOffset_)) return kLibraryBadFormat;
  return kNoError;
}

bool PeStringTable::RvaToOffset(uint32_t rva, uint32_t size, uint32_t* offset) const {
  for (uint32_t i = 0; i < sectionCount_; ++i) {
    uint64_t header = sectionTable_ + static_cast<uint64_t>(i) * kSectionHeaderSize;
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t rawSize = 0;
    uint32_t rawPointer = 0;
    if (!Read32(header + 8, &virtualSize) || !Read32(header + 12, &virtualAddress) ||
        !Read32(header + 16, &rawSize) || !Read32(header + 20, &rawPointer)) {
      return false;
    }
    uint64_t start = virtualAddress;
    if (rva < start || static_cast<uint64_t>(rva) + size > start + rawSize) continue;
    uint64_t fileOffset = static_cast<uint64_t>(rawPointer) + (rva - start);
    if (fileOffset + size > image_.size()) return false;
    *offset = static_cast<uint32_t>(fileOffset);
    return true;
  }
  return false;
}

bool PeStringTable::FindEntry(uint32_t directory, uint32_t id, bool firstAny, uint32_t* target) const {
  uint64_t at = static_cast<uint64_t>(resourceOffset_) + directory;
  uint16_t named = 0;
  uint16_t numbered = 0;
  if (!Read16(at + 12, &named) || !Read16(at + 14, &numbered)) return false;
  uint32_t count = static_cast<uint32_t>(named) + numbered;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t entry = at + 16 + static_cast<uint64_t>(i) * 8;
    uint32_t name = 0;
    uint32_t offset = 0;
    if (!Read32(entry, &name) || !Read32(entry + 4, &offset)) return false;
    if (firstAny || (i >= named && name == id)) {
      *target = offset;
      return true;
    }
  }
  return false;
}

Status PeStringTable::Find(uint32_t id, std::u16string* text) const {
  if (image_.empty()) return kLibraryBadFormat;
  uint32_t typeDirectory = 0;
  uint32_t blockDirectory = 0;
  uint32_t dataEntry = 0;
  if (!FindEntry(0, kResourceTypeString, false, &typeDirectory) || !(typeDirectory & kSubdirectoryBit)) {
    return kLibraryStringNotFound;
  }
  uint32_t blockId = (id / kStringsPerBlock) + 1;
  if (!FindEntry(typeDirectory & ~kSubdirectoryBit, blockId, false, &blockDirectory)) return kLibraryStringNotFound;
  if (!(blockDirectory & kSubdirectoryBit)) return kLibraryBadFormat;
  // Any language will do: a message library carries one.
  if (!FindEntry(blockDirectory & ~kSubdirectoryBit, 0, true, &dataEntry)) return kLibraryStringNotFound;
  if (dataEntry & kSubdirectoryBit) return kLibraryBadFormat;
  uint32_t dataRva = 0;
  uint32_t dataSize = 0;
  uint64_t entryAt = static_cast<uint64_t>(resourceOffset_) + dataEntry;
  uint32_t dataOffset = 0;
  if (!Read32(entryAt, &dataRva) || !Read32(entryAt + 4, &dataSize) || !RvaToOffset(dataRva, dataSize, &dataOffset)) {
    return kLibraryBadFormat;
  }
  uint64_t cursor = dataOffset;
  uint64_t end = static_cast<uint64_t>(dataOffset) + dataSize;
  for (uint32_t index = 0; index < kStringsPerBlock; ++index) {
    uint16_t length = 0;
    if (cursor + 2 > end || !Read16(cursor, &length)) return kLibraryBadFormat;
    cursor += 2;
    if (cursor + static_cast<uint64_t>(length) * 2 > end) return kLibraryBadFormat;
    if (index == id % kStringsPerBlock) {
      if (length == 0) return kLibraryStringNotFound;
      std::u16string result(length, u'\0');
      for (uint16_t i = 0; i < length; ++i) {
        uint16_t unit = 0;
        (void)Read16(cursor + 2ULL * i, &unit);  // in range: checked above
        result[i] = static_cast<char16_t>(unit);
      }
      *text = std::move(result);
      return kNoError;
    }
    cursor += static_cast<uint64_t>(length) * 2;
  }
  return kLibraryStringNotFound;
}

}  // namespace notesapi::host
