// Owners of platform handles: each closes its handle exactly once, on every
// path, and can hand it over with release(). A close failure at destruction
// is ignored, since nothing can be done about it there; call close() to see it.
#ifndef NOTESAPI_SCOPED_HANDLES_H_
#define NOTESAPI_SCOPED_HANDLES_H_

#include <utility>

#include "notesapi/platform.h"

namespace notesapi {

template <typename Handle, Status (Platform::*Close)(Handle)>
class ScopedHandle {
 public:
  explicit ScopedHandle(Platform* platform, Handle handle = kNullHandle) : platform_(platform), handle_(handle) {}
  ScopedHandle(ScopedHandle&& other) noexcept : platform_(other.platform_), handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      (void)close();
      platform_ = other.platform_;
      handle_ = other.release();
    }
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { (void)close(); }

  Handle get() const { return handle_; }
  // For services that fill in a handle: closes the old one first.
  Handle* put() {
    (void)close();
    return &handle_;
  }
  explicit operator bool() const { return handle_ != kNullHandle; }
  Handle release() { return std::exchange(handle_, kNullHandle); }
  [[nodiscard]] Status close() {
    if (handle_ == kNullHandle) return kNoError;
    return (platform_->*Close)(release());
  }

 private:
  Platform* platform_;
  Handle handle_;
};

using ScopedDb = ScopedHandle<DbHandle, &Platform::DbClose>;
using ScopedNote = ScopedHandle<NoteHandle, &Platform::NoteClose>;
using ScopedQueue = ScopedHandle<QueueHandle, &Platform::QueueClose>;
using ScopedMem = ScopedHandle<MemHandle, &Platform::MemFree>;
using ScopedLibrary = ScopedHandle<LibraryHandle, &Platform::LibraryFree>;

}  // namespace notesapi

#endif  // NOTESAPI_SCOPED_HANDLES_H_
