// Env doubles for the change index tests. Counting, failing and cutting calls short is
// testing_support::FaultEnv's work; here are only what the index needs beyond it: page
// loads counted, and a crash played (every call from the Nth on does nothing, and bytes
// written since a file's last sync are lost).
#pragma once

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <functional>
#include <map>
#include <string>

#include "platform/env.h"
#include "platform/path.h"
#include "tests/support/fault_env.h"

namespace fci_test {

using testing_support::FaultEnv;

// Counts, besides every call, the reads that start a page load (a short last page takes
// two calls).
class PageCountingEnv : public FaultEnv {
 public:
  ssize_t read_at(int fd, void* buffer, size_t length, uint64_t offset) override {
    if (length == page_size) ++page_reads;
    return FaultEnv::read_at(fd, buffer, length, offset);
  }
  long reads() const { return calls(kRead); }
  int page_reads = 0;
  size_t page_size = 4096;
};

// Real files, but syncs do nothing: tests that model durability themselves (or do not care)
// stay fast.
inline FaultEnv* quick_fs() {
  static FaultEnv instance;
  // Set once: a write on every call would race with a thread reading it.
  static const bool set = (instance.skip_sync = true);
  (void)set;
  return &instance;
}

// Plays a crash at call number `crash_at` (1-based, counting every call): that call and
// every later one fail without effect, and each file loses the second half of what was
// written to it since its last sync (a torn tail). Renames and deletions before the crash stay, as
// a journaling file system keeps them in order.
class CrashFs : public EnvWrapper {
 public:
  explicit CrashFs(long crash_at) : EnvWrapper(plat_env()), crash_at_(crash_at) {}
  bool crashed() const { return crashed_; }
  long calls() const { return calls_; }
  // Called (once) when the crash happens, before unsynced bytes are dropped.
  std::function<void()> on_crash;

  int open_file(std::string_view path, unsigned flags) override {
    if (dead()) return -1;
    int fd = target()->open_file(path, flags);
    if (fd >= 0) {
      std::string native;
      (void)plat_native_path(path, &native);
      fd_path_[fd] = native;
      if ((flags & PLAT_OPEN_TRUNCATE) != 0 || files_.count(native) == 0) {
        // A new or emptied file: nothing of it is durable yet unless it existed synced.
        FileState& s = files_[native];
        if ((flags & PLAT_OPEN_TRUNCATE) != 0) {
          s.synced_size = 0;
          s.dirty = true;
        } else {
          s.synced_size = static_cast<off_t>(target()->file_size(fd));
        }
      }
    }
    return fd;
  }
  int close_file(int fd) override {
    if (dead()) {
      // The process is gone; descriptors go with it.
      target()->close_file(fd);
      return -1;
    }
    fd_path_.erase(fd);
    return target()->close_file(fd);
  }
  ssize_t read_at(int fd, void* buffer, size_t length, uint64_t offset) override {
    if (dead()) return -1;
    return target()->read_at(fd, buffer, length, offset);
  }
  ssize_t write(int fd, const void* buffer, size_t length) override {
    if (dead()) return -1;
    auto it = fd_path_.find(fd);
    if (it != fd_path_.end()) files_[it->second].dirty = true;
    return target()->write(fd, buffer, length);
  }
  int64_t file_size(int fd) override {
    if (dead()) return -1;
    return target()->file_size(fd);
  }
  int sync(int fd) override {
    if (dead()) return -1;
    int rc = 0;  // durability is modelled here; a real fsync only costs time
    auto it = fd_path_.find(fd);
    if (rc == 0 && it != fd_path_.end()) {
      FileState& s = files_[it->second];
      s.synced_size = static_cast<off_t>(target()->file_size(fd));
      s.dirty = false;
    }
    return rc;
  }
  int rename_file(std::string_view from, std::string_view to) override {
    if (dead()) return -1;
    int rc = target()->rename_file(from, to);
    if (rc == 0) {
      std::string a, b;
      (void)plat_native_path(from, &a);
      (void)plat_native_path(to, &b);
      auto it = files_.find(a);
      files_.erase(b);
      if (it != files_.end()) {
        files_[b] = it->second;
        files_.erase(a);
      }
      for (auto& [fd, p] : fd_path_) {
        if (p == a) p = b;
      }
    }
    return rc;
  }
  int delete_file(std::string_view path) override {
    if (dead()) return -1;
    int rc = target()->delete_file(path);
    if (rc == 0) {
      std::string native;
      (void)plat_native_path(path, &native);
      files_.erase(native);
    }
    return rc;
  }
  int make_dir(std::string_view path) override {
    if (dead()) return -1;
    return target()->make_dir(path);
  }
  int remove_dir(std::string_view path) override {
    if (dead()) return -1;
    return target()->remove_dir(path);
  }
  int file_exists(std::string_view path) override {
    if (dead()) return -1;
    return target()->file_exists(path);
  }
  int dir_usable(std::string_view path) override {
    if (dead()) return 0;
    return target()->dir_usable(path);
  }
  int sync_dir(std::string_view) override { return dead() ? -1 : 0; }

 private:
  struct FileState {
    off_t synced_size = 0;
    bool dirty = false;
  };

  bool dead() {
    if (crashed_) {
      errno = EIO;
      return true;
    }
    if (++calls_ < crash_at_) return false;
    crashed_ = true;
    if (on_crash) on_crash();
    // Unsynced bytes are torn: the first half of them reached the disk, the rest did not.
    for (auto& [path, state] : files_) {
      struct stat st;
      if (state.dirty && ::stat(path.c_str(), &st) == 0 && st.st_size > state.synced_size) {
        off_t keep = state.synced_size + (st.st_size - state.synced_size) / 2;
        if (truncate(path.c_str(), keep) != 0) {
          // Leave it; the assertions will show it.
        }
      }
    }
    errno = EIO;
    return true;
  }

  long crash_at_;
  long calls_ = 0;
  bool crashed_ = false;
  std::map<int, std::string> fd_path_;
  std::map<std::string, FileState> files_;
};

}  // namespace fci_test
