// The data of a large attached file, kept as a copy of its own under the
// server's run folder until the note is saved, so that a process attaching
// a large part does not hold it in memory beside the message it came from.
#ifndef NOTESAPI_HOST_INTERNAL_SPOOLED_FILE_H_
#define NOTESAPI_HOST_INTERNAL_SPOOLED_FILE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "notesapi/status.h"

namespace notesapi::host {

// Files from this size on are spooled; smaller ones are read into memory.
inline constexpr uint64_t kSpoolFromBytes = uint64_t{1} << 20;

class SpooledFile {
 public:
  SpooledFile(std::string path, uint64_t size) : path_(std::move(path)), size_(size) {}
  ~SpooledFile();  // removes the copy
  SpooledFile(const SpooledFile&) = delete;
  SpooledFile& operator=(const SpooledFile&) = delete;

  uint64_t size() const { return size_; }
  // Reads `length` bytes from `at` into `into`; the copy never changes, so a
  // short read is an error.
  [[nodiscard]] Status Read(uint64_t at, size_t length, char* into) const;
  // Adds the whole data at the end of `data`.
  [[nodiscard]] Status AppendTo(std::string* data) const;
  // Writes the whole data to the file `path` (created or replaced, never
  // through a link planted in its place), file to file, without holding it.
  [[nodiscard]] Status WriteTo(const std::string& path) const;

 private:
  std::string path_;
  uint64_t size_;
};

// A private copy of `source` (a regular file) in `runFolder`, made by the
// kernel where it can; a copy that does not come out whole is removed.
[[nodiscard]] Status SpoolCopy(const std::string& runFolder, const std::string& source,
                               std::shared_ptr<const SpooledFile>* spooled);

// `data` as a spooled file of its own in `runFolder`.
[[nodiscard]] Status SpoolData(const std::string& runFolder, std::string_view data,
                               std::shared_ptr<const SpooledFile>* spooled);

// Removes the copies left in `runFolder` by processes that are gone.
void RemoveLeftoverSpools(const std::string& runFolder);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_SPOOLED_FILE_H_
