// An owned stdio stream (descriptors are EnvFile's, platform/env.h). Move-only; the
// owner's end closes quietly (errno kept). A caller that must learn whether the last
// writes reached the file calls close() instead and looks at its answer.
#pragma once

#include <cerrno>
#include <cstdio>

class UniqueFile {
 public:
  UniqueFile() = default;
  explicit UniqueFile(FILE* file) : file_(file) {}
  ~UniqueFile() { reset(); }
  UniqueFile(UniqueFile&& other) noexcept : file_(other.release()) {}
  UniqueFile& operator=(UniqueFile&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFile(const UniqueFile&) = delete;
  UniqueFile& operator=(const UniqueFile&) = delete;

  FILE* get() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }
  FILE* release() {
    FILE* file = file_;
    file_ = nullptr;
    return file;
  }
  void reset(FILE* file = nullptr) {
    if (file_ != nullptr) {
      int saved = errno;
      (void)fclose(file_);
      errno = saved;
    }
    file_ = file;
  }
  // Flushes and closes: 0, or EOF with errno when buffered bytes did not reach the file.
  [[nodiscard]] int close() { return file_ == nullptr ? 0 : fclose(release()); }

 private:
  FILE* file_ = nullptr;
};
