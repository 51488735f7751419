// Files and folders by Windows-form path, as one small interface so tests can wrap it
// (count calls, fail the Nth one, play a crash). plat_file_system() is the real one; it is
// stateless and thread-safe. Descriptors are plain ints owned by the caller, opened
// close-on-exec; every call retries EINTR itself and answers -1 with errno on failure.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <string_view>

enum : unsigned {
  PLAT_OPEN_READ = 1u << 0,
  PLAT_OPEN_WRITE = 1u << 1,
  PLAT_OPEN_CREATE = 1u << 2,    // create when missing
  PLAT_OPEN_TRUNCATE = 1u << 3,  // empty an existing file
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // A descriptor, or -1. Created files get mode 0666 less the umask.
  virtual int open_file(std::string_view path, unsigned flags) = 0;
  virtual int close_file(int fd) = 0;
  // One read at an absolute offset; may answer fewer bytes than asked (0 at end of file).
  virtual ssize_t read_at(int fd, void* buffer, size_t length, uint64_t offset) = 0;
  // One write at the current position; may answer fewer bytes than asked.
  virtual ssize_t write(int fd, const void* buffer, size_t length) = 0;
  virtual int64_t file_size(int fd) = 0;
  // Makes the file's contents durable.
  virtual int sync(int fd) = 0;

  // Replaces `to` atomically when it exists.
  virtual int rename_file(std::string_view from, std::string_view to) = 0;
  virtual int delete_file(std::string_view path) = 0;
  virtual int make_dir(std::string_view path) = 0;
  virtual int remove_dir(std::string_view path) = 0;
  // 1 when the path names an existing file (not a folder), 0 when not, -1 on error.
  virtual int file_exists(std::string_view path) = 0;
  // 1 when the path names a folder that can be entered, else 0.
  virtual int dir_usable(std::string_view path) = 0;
  // Makes the folder's entries (creations, renames, deletions) durable.
  virtual int sync_dir(std::string_view path) = 0;
};

// The process's real file system.
FileSystem* plat_file_system();

// Forwards every call to a target; test doubles override only what they change.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem* target) : target_(target) {}
  FileSystem* target() const { return target_; }

  int open_file(std::string_view path, unsigned flags) override {
    return target_->open_file(path, flags);
  }
  int close_file(int fd) override { return target_->close_file(fd); }
  ssize_t read_at(int fd, void* buffer, size_t length, uint64_t offset) override {
    return target_->read_at(fd, buffer, length, offset);
  }
  ssize_t write(int fd, const void* buffer, size_t length) override {
    return target_->write(fd, buffer, length);
  }
  int64_t file_size(int fd) override { return target_->file_size(fd); }
  int sync(int fd) override { return target_->sync(fd); }
  int rename_file(std::string_view from, std::string_view to) override {
    return target_->rename_file(from, to);
  }
  int delete_file(std::string_view path) override { return target_->delete_file(path); }
  int make_dir(std::string_view path) override { return target_->make_dir(path); }
  int remove_dir(std::string_view path) override { return target_->remove_dir(path); }
  int file_exists(std::string_view path) override { return target_->file_exists(path); }
  int dir_usable(std::string_view path) override { return target_->dir_usable(path); }
  int sync_dir(std::string_view path) override { return target_->sync_dir(path); }

 private:
  FileSystem* target_;
};
