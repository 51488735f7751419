// Env doubles for tests: FaultEnv counts calls and fails the ones a plan names (the Nth of
// a kind or of any kind, or every call a predicate picks) with a chosen errno, cuts reads
// and writes short and tracks open descriptors (and the paths they were opened with, for
// the predicate); thread-safe, so a whole agent can run on it. ManualClockEnv gives a clock the
// test sets and sleeps that only advance it. Both wrap a real Env: files stay real files.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace testing_support {

class FaultEnv : public EnvWrapper {
 public:
  // What a call is, for counting and planning.
  enum Kind : unsigned {
    kOpen,     // open_file, open_read, create_new, open_exclusive
    kClose,    // close_file (the descriptor is released even when the close fails)
    kRead,     // read, read_at
    kWrite,    // write
    kSeek,     // seek
    kSize,     // file_size
    kSync,     // sync
    kRename,   // rename_file
    kDelete,   // delete_file
    kMakeDir,  // make_dir
    kRemoveDir,
    kQuery,  // file_exists, dir_usable, file_status, full_directory_path
    kSyncDir,
    kFind,     // find_first, find_next
    kStream,   // open_stream
    kPublish,  // publish_new_file
    kProcess,  // process_start
    kKinds,
    kAny = kKinds,  // in plans: every kind above
  };

  explicit FaultEnv(Env* target = plat_env()) : EnvWrapper(target) {}

  // Fails the `nth` (1-based, counted from this call) call of `kind` with `error`.
  void fail_nth(Kind kind, long nth, int error = EIO) {
    std::lock_guard<std::mutex> hold(mutex_);
    plans_.push_back(Plan{kind, count_of(kind) + nth, error});
  }
  // Fails every call for which `predicate(kind, path)` answers true, with `error`. For
  // descriptor calls the path is the one the descriptor was opened with ("" for one this
  // Env did not open). The predicate runs under the Env's lock: it must not call the Env.
  void fail_if(std::function<bool(Kind, std::string_view)> predicate, int error = EIO) {
    std::lock_guard<std::mutex> hold(mutex_);
    predicate_ = std::move(predicate);
    predicate_error_ = error;
  }

  size_t max_read = 0;     // > 0: every read answers at most this many bytes
  size_t max_write = 0;    // > 0: every write takes at most this many bytes
  bool skip_sync = false;  // sync and sync_dir succeed without touching the disk

  long calls(Kind kind) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return count_of(kind);
  }
  void reset_counts() {
    std::lock_guard<std::mutex> hold(mutex_);
    for (long& c : counts_) c = 0;
    total_ = 0;
    plans_.clear();
  }
  int fired() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return fired_;
  }
  int open_descriptors() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return open_;
  }

  int open_file(std::string_view path, unsigned flags) override {
    return opened(path, [&] { return target()->open_file(path, flags); });
  }
  int open_read(std::string_view path) override {
    return opened(path, [&] { return target()->open_read(path); });
  }
  int create_new(std::string_view path, unsigned mode) override {
    return opened(path, [&] { return target()->create_new(path, mode); });
  }
  int open_exclusive(std::string_view path, unsigned flags) override {
    return opened(path, [&] { return target()->open_exclusive(path, flags); });
  }
  int close_file(int fd) override {
    bool failed = fail(kClose, fd);
    {
      std::lock_guard<std::mutex> hold(mutex_);
      --open_;  // released even when reported as failed, as on Linux
      paths_.erase(fd);
    }
    int rc = target()->close_file(fd);
    return failed ? -1 : rc;
  }
  ssize_t read(int fd, void* buffer, size_t length) override {
    if (fail(kRead, fd)) return -1;
    return target()->read(fd, buffer, cut(length, max_read));
  }
  ssize_t read_at(int fd, void* buffer, size_t length, uint64_t offset) override {
    if (fail(kRead, fd)) return -1;
    return target()->read_at(fd, buffer, cut(length, max_read), offset);
  }
  ssize_t write(int fd, const void* buffer, size_t length) override {
    if (fail(kWrite, fd)) return -1;
    return target()->write(fd, buffer, cut(length, max_write));
  }
  int seek(int fd, int64_t offset) override {
    return fail(kSeek, fd) ? -1 : target()->seek(fd, offset);
  }
  int64_t file_size(int fd) override { return fail(kSize, fd) ? -1 : target()->file_size(fd); }
  int sync(int fd) override {
    if (fail(kSync, fd)) return -1;
    return skip_sync ? 0 : target()->sync(fd);
  }
  int publish_new_file(std::string_view path, unsigned mode, const void* bytes,
                       size_t length) override {
    return fail(kPublish, path) ? -1 : target()->publish_new_file(path, mode, bytes, length);
  }
  FILE* open_stream(std::string_view path, const char* mode) override {
    return fail(kStream, path) ? nullptr : target()->open_stream(path, mode);
  }
  int rename_file(std::string_view from, std::string_view to) override {
    return fail(kRename, from) ? -1 : target()->rename_file(from, to);
  }
  int delete_file(std::string_view path) override {
    return fail(kDelete, path) ? -1 : target()->delete_file(path);
  }
  int make_dir(std::string_view path) override {
    return fail(kMakeDir, path) ? -1 : target()->make_dir(path);
  }
  int remove_dir(std::string_view path) override {
    return fail(kRemoveDir, path) ? -1 : target()->remove_dir(path);
  }
  int file_exists(std::string_view path) override {
    return fail(kQuery, path) ? -1 : target()->file_exists(path);
  }
  int dir_usable(std::string_view path) override {
    return fail(kQuery, path) ? 0 : target()->dir_usable(path);
  }
  int sync_dir(std::string_view path) override {
    if (fail(kSyncDir, path)) return -1;
    return skip_sync ? 0 : target()->sync_dir(path);
  }
  int file_status(std::string_view path, PlatFileStatus* status) override {
    return fail(kQuery, path) ? -1 : target()->file_status(path, status);
  }
  int full_directory_path(std::string_view path, std::string* full) override {
    return fail(kQuery, path) ? -1 : target()->full_directory_path(path, full);
  }
  PlatFindHandle find_first(std::string_view pattern, PlatFindData* data) override {
    return fail(kFind, pattern) ? nullptr : target()->find_first(pattern, data);
  }
  int find_next(PlatFind* find, PlatFindData* data) override {
    return fail(kFind, std::string_view()) ? -1 : target()->find_next(find, data);
  }
  int process_start(const char* command_line, ChildProcess* child) override {
    return fail(kProcess, command_line) ? -1 : target()->process_start(command_line, child);
  }

 private:
  struct Plan {
    Kind kind;
    long at;  // the value calls(kind) has when the planned call is made
    int error;
  };

  static size_t cut(size_t length, size_t maximum) {
    return maximum > 0 && length > maximum ? maximum : length;
  }

  template <typename Open>
  int opened(std::string_view path, Open open) {
    if (fail(kOpen, path)) return -1;
    int fd = open();
    if (fd >= 0) {
      std::lock_guard<std::mutex> hold(mutex_);
      ++open_;
      paths_[fd] = std::string(path);
    }
    return fd;
  }

  long count_of(Kind kind) const { return kind == kAny ? total_ : counts_[kind]; }

  bool fail(Kind kind, int fd) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = paths_.find(fd);
    return fail_locked(kind, it == paths_.end() ? std::string_view() : it->second);
  }
  bool fail(Kind kind, std::string_view path) {
    std::lock_guard<std::mutex> hold(mutex_);
    return fail_locked(kind, path);
  }

  // Counts the call; true (errno set) when a plan or the predicate fails it.
  bool fail_locked(Kind kind, std::string_view path) {
    ++counts_[kind];
    ++total_;
    int error = 0;
    for (const Plan& plan : plans_) {
      if (plan.at == count_of(plan.kind) && (plan.kind == kAny || plan.kind == kind)) {
        error = plan.error;
      }
    }
    if (error == 0 && predicate_ && predicate_(kind, path)) error = predicate_error_;
    if (error == 0) return false;
    ++fired_;
    errno = error;
    return true;
  }

  mutable std::mutex mutex_;
  long counts_[kKinds] = {};
  long total_ = 0;
  std::vector<Plan> plans_;
  std::function<bool(Kind, std::string_view)> predicate_;
  int predicate_error_ = EIO;
  int fired_ = 0;
  int open_ = 0;
  std::map<int, std::string> paths_;  // open descriptors
};

// A clock the test sets: local_time/unix_time answer the fields below, tick_ms starts at
// `tick` and sleep_ms only advances it (and records the wait).
class ManualClockEnv : public EnvWrapper {
 public:
  explicit ManualClockEnv(Env* target = plat_env()) : EnvWrapper(target) {}

  LocalTime now{2001, 2, 3, 4, 5, 6, 7};
  int64_t unix_now = 1000000000;
  uint64_t tick = 1000;
  std::vector<uint32_t> sleeps;

  LocalTime local_time() override { return now; }
  int64_t unix_time() override { return unix_now; }
  uint64_t tick_ms() override { return tick; }
  void sleep_ms(uint32_t ms) override {
    sleeps.push_back(ms);
    tick += ms;
  }
};

}  // namespace testing_support
