// Builds small zip archives (stored entries) for scanning tests: clean
// archives, archives nested in archives, and archives whose entries are
// marked encrypted.
#ifndef TESTS_SCANNING_ZIP_BUILDER_H_
#define TESTS_SCANNING_ZIP_BUILDER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zul::testing {

inline uint32_t Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFF;
  for (unsigned char byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

inline void Le16(std::string* out, uint16_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>(value >> 8));
}

inline void Le32(std::string* out, uint32_t value) {
  Le16(out, static_cast<uint16_t>(value & 0xFFFF));
  Le16(out, static_cast<uint16_t>(value >> 16));
}

inline std::string BuildZip(const std::vector<std::pair<std::string, std::string>>& entries, bool encrypted = false) {
  std::string archive;
  std::string directory;
  for (const auto& [name, data] : entries) {
    uint32_t offset = static_cast<uint32_t>(archive.size());
    uint32_t crc = Crc32(data);
    uint16_t flags = encrypted ? 0x0001 : 0x0000;
    // An encrypted entry carries the 12-byte encryption header before its data.
    std::string stored = encrypted ? std::string(12, '\x5a') + data : data;
    auto header = [&](std::string* out, bool central) {
      Le32(out, central ? 0x02014b50 : 0x04034b50);
      if (central) Le16(out, 20);  // made by
      Le16(out, 20);               // needed to extract
      Le16(out, flags);
      Le16(out, 0);  // stored
      Le16(out, 0);  // time
      Le16(out, 0x21);  // date
      Le32(out, crc);
      Le32(out, static_cast<uint32_t>(stored.size()));
      Le32(out, static_cast<uint32_t>(data.size()));
      Le16(out, static_cast<uint16_t>(name.size()));
      Le16(out, 0);  // extra
      if (central) {
        Le16(out, 0);  // comment
        Le16(out, 0);  // disk
        Le16(out, 0);  // internal attributes
        Le32(out, 0);  // external attributes
        Le32(out, offset);
      }
      *out += name;
    };
    header(&archive, false);
    archive += stored;
    header(&directory, true);
  }
  uint32_t directoryOffset = static_cast<uint32_t>(archive.size());
  archive += directory;
  Le32(&archive, 0x06054b50);
  Le16(&archive, 0);
  Le16(&archive, 0);
  Le16(&archive, static_cast<uint16_t>(entries.size()));
  Le16(&archive, static_cast<uint16_t>(entries.size()));
  Le32(&archive, static_cast<uint32_t>(directory.size()));
  Le32(&archive, directoryOffset);
  Le16(&archive, 0);
  return archive;
}

}  // namespace zul::testing

#endif  // TESTS_SCANNING_ZIP_BUILDER_H_
