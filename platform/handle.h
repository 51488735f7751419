// Move-only owners of the raw descriptors and sockets the platform layer hands out.
// Moving transfers ownership; move-assignment and reset() close the old handle; the
// destructor closes quietly (errno kept); close() closes now and answers the result where
// the caller must know it. Not thread-safe: one owner at a time.
#pragma once

// How each kind is closed; defined in the implementation (platform/posix/handle.cpp).
// Both answer 0, or -1 with errno and the last error set. A close interrupted by a
// signal counts as done: the handle is released either way and must never be closed
// twice.
struct PlatDescriptorTraits {
  static int close(int handle);
};
struct PlatSocketTraits {
  static int close(int handle);
};
// The system's other objects (mailslots, shared memory): descriptors on POSIX, kernel
// handles on Windows.
struct PlatObjectTraits {
  static int close(int handle);
};

template <typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(int handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  int get() const { return handle_; }
  bool valid() const { return handle_ >= 0; }

  // Gives up ownership without closing.
  [[nodiscard]] int release() {
    int handle = handle_;
    handle_ = -1;
    return handle;
  }

  // Closes the held handle quietly and takes `handle`.
  void reset(int handle = -1) {
    int old = handle_;
    handle_ = handle;
    if (old >= 0 && old != handle) close_quietly(old);
  }

  // Closes now; 0 when nothing was held.
  [[nodiscard]] int close() {
    int old = release();
    return old >= 0 ? Traits::close(old) : 0;
  }

 private:
  static void close_quietly(int handle);
  int handle_ = -1;
};

using UniqueFd = UniqueHandle<PlatDescriptorTraits>;
using Socket = UniqueHandle<PlatSocketTraits>;
using UniqueObject = UniqueHandle<PlatObjectTraits>;

#include <cerrno>

template <typename Traits>
void UniqueHandle<Traits>::close_quietly(int handle) {
  int saved = errno;
  (void)Traits::close(handle);
  errno = saved;
}
