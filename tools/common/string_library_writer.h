// Writes a minimal Windows resource library (PE32 with one .rsrc section)
// holding a string table, the way a resource compiler lays it out: the
// message libraries of the tasks, and the host's reader tested against the
// real format.
#ifndef TOOLS_COMMON_STRING_LIBRARY_WRITER_H_
#define TOOLS_COMMON_STRING_LIBRARY_WRITER_H_

#include <cstdint>
#include <map>
#include <string>

namespace tools {

inline void Put16(std::string* out, size_t at, uint16_t value) {
  if (out->size() < at + 2) out->resize(at + 2, '\0');
  (*out)[at] = static_cast<char>(value & 0xFF);
  (*out)[at + 1] = static_cast<char>(value >> 8);
}

inline void Put32(std::string* out, size_t at, uint32_t value) {
  Put16(out, at, static_cast<uint16_t>(value & 0xFFFF));
  Put16(out, at + 2, static_cast<uint16_t>(value >> 16));
}

inline std::string BuildStringLibrary(const std::map<uint32_t, std::u16string>& strings, uint32_t language = 0x0419) {
  constexpr uint32_t kSectionRva = 0x1000;
  constexpr uint32_t kSectionFileOffset = 0x200;
  std::map<uint32_t, std::map<uint32_t, std::u16string>> blocks;  // block id -> index -> text
  for (const auto& [id, text] : strings) blocks[id / 16 + 1][id % 16] = text;

  // Resource tree: root (one type) -> type 6 (one entry per block) -> one language each.
  std::string rsrc;
  size_t typeDir = 16 + 8;
  size_t blockDirs = typeDir + 16 + 8 * blocks.size();
  size_t dataEntries = blockDirs + (16 + 8) * blocks.size();
  size_t stringData = dataEntries + 16 * blocks.size();
  Put16(&rsrc, 14, 1);
  Put32(&rsrc, 16, 6);
  Put32(&rsrc, 20, 0x80000000u | static_cast<uint32_t>(typeDir));
  Put16(&rsrc, typeDir + 14, static_cast<uint16_t>(blocks.size()));
  std::string tables;
  size_t n = 0;
  for (const auto& [blockId, entries] : blocks) {
    size_t blockDir = blockDirs + n * 24;
    size_t dataEntry = dataEntries + n * 16;
    Put32(&rsrc, typeDir + 16 + n * 8, blockId);
    Put32(&rsrc, typeDir + 20 + n * 8, 0x80000000u | static_cast<uint32_t>(blockDir));
    Put16(&rsrc, blockDir + 14, 1);
    Put32(&rsrc, blockDir + 16, language);
    Put32(&rsrc, blockDir + 20, static_cast<uint32_t>(dataEntry));
    std::string table;
    for (uint32_t index = 0; index < 16; ++index) {
      auto it = entries.find(index);
      std::u16string text = it == entries.end() ? u"" : it->second;
      Put16(&table, table.size(), static_cast<uint16_t>(text.size()));
      for (char16_t unit : text) Put16(&table, table.size(), unit);
    }
    Put32(&rsrc, dataEntry, kSectionRva + static_cast<uint32_t>(stringData + tables.size()));
    Put32(&rsrc, dataEntry + 4, static_cast<uint32_t>(table.size()));
    tables += table;
    ++n;
  }
  rsrc.resize(stringData, '\0');
  rsrc += tables;

  std::string image(kSectionFileOffset, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  Put32(&image, 0x3C, 0x40);
  Put32(&image, 0x40, 0x00004550);              // "PE\0\0"
  Put16(&image, 0x44, 0x014C);                  // i386
  Put16(&image, 0x46, 1);                       // one section
  Put16(&image, 0x54, 224);                     // optional header size
  size_t optional = 0x58;
  Put16(&image, optional, 0x10B);               // PE32
  Put32(&image, optional + 92, 16);             // data directories
  Put32(&image, optional + 96 + 16, kSectionRva);
  Put32(&image, optional + 96 + 20, static_cast<uint32_t>(rsrc.size()));
  size_t section = optional + 224;
  image.replace(section, 5, ".rsrc");
  Put32(&image, section + 8, static_cast<uint32_t>(rsrc.size()));
  Put32(&image, section + 12, kSectionRva);
  Put32(&image, section + 16, static_cast<uint32_t>(rsrc.size()));
  Put32(&image, section + 20, kSectionFileOffset);
  image.resize(kSectionFileOffset, '\0');
  return image + rsrc;
}

}  // namespace tools

#endif  // TOOLS_COMMON_STRING_LIBRARY_WRITER_H_
