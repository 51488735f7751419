// Owned descriptors and stdio streams for the agent's own files. Move-only; the owner's
// end closes quietly (errno kept). A caller that must learn whether the last writes
// reached the file calls close() instead and looks at its answer.
#pragma once

#include <cerrno>
#include <cstdio>

#include "platform/fs.h"

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor (quietly) and holds `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      int saved = errno;
      (void)plat_close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }
  // 0, or -1 with errno; the descriptor is gone either way.
  [[nodiscard]] int close() { return fd_ < 0 ? 0 : plat_close(release()); }

 private:
  int fd_ = -1;
};

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
