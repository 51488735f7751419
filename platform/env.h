// Env: every file, folder, clock, sleep and child-process call of the system goes through
// this one interface, so a test can wrap it (count calls, fail the Nth one, cut a write
// short, freeze the clock) and a Windows implementation can stand beside the POSIX one.
// Paths are Windows-form; the implementation translates them at the last moment.
//
// plat_env() is the real one: stateless and thread-safe. Descriptors are plain ints
// opened close-on-exec; own them with EnvFile, which closes through the Env that opened
// them. Every call retries EINTR itself. Failures answer -1 (or null) with errno set and,
// where Windows would report its own number, the last error recorded (platform/error.h).
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file_times.h"

// ---- types the calls exchange ----

enum : unsigned {
  PLAT_OPEN_READ = 1u << 0,
  PLAT_OPEN_WRITE = 1u << 1,
  PLAT_OPEN_CREATE = 1u << 2,    // create when missing
  PLAT_OPEN_TRUNCATE = 1u << 3,  // empty an existing file
};

// Windows file attribute bits the search reports.
enum : uint32_t {
  PLAT_ATTR_READONLY = 0x01,
  PLAT_ATTR_DIRECTORY = 0x10,
  PLAT_ATTR_NORMAL = 0x80,
  PLAT_ATTR_REPARSE_POINT = 0x400,
};

// Windows errors the search reports besides those of platform/error.h.
enum : uint32_t {
  PLAT_ERROR_NO_MORE_FILES = 18,
  PLAT_ERROR_FILE_EXISTS = 80,
  PLAT_ERROR_DIRECTORY = 267,
};

// One listed entry, as WIN32_FIND_DATA carries it. Times are FILETIME values
// (100-nanosecond intervals since 1601-01-01 UTC).
struct PlatFindData {
  uint32_t attributes;
  uint64_t creation_time;
  uint64_t last_access_time;
  uint64_t last_write_time;
  uint32_t size_high;
  uint32_t size_low;
  char name[260];
  // 0, or the errno of the status read that failed for this entry: then only the name and
  // what the listing itself tells of the type are known (see find_first).
  int status_error;
};

struct PlatFind;  // an open listing
void plat_find_close(PlatFind* find);
struct PlatFindCloser {
  void operator()(PlatFind* find) const { plat_find_close(find); }
};
using PlatFindHandle = std::unique_ptr<PlatFind, PlatFindCloser>;

struct PlatFileStatus {
  bool is_directory;
  bool is_regular;
  uint64_t size;
  int64_t modification_time;  // seconds since 1970 UTC
};

struct LocalTime {
  int year;
  int month;  // 1..12
  int day;    // 1..31
  int hour;
  int minute;
  int second;
  int millisecond;
};

enum PlatWaitResult {
  PLAT_WAIT_ENDED,
  PLAT_WAIT_TIMEOUT,
  PLAT_WAIT_FAILED,  // errno set
};

// A started command. Move-only; destroying it neither waits nor kills (as closing a
// process handle does not end the process), but an ended child is reaped.
class ChildProcess {
 public:
  ChildProcess() = default;
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t get() const { return pid_; }
  bool valid() const { return pid_ > 0; }
  bool ended() const { return reaped_; }
  // The wait status once ended. For Env implementations: record_end stores it.
  int wait_status() const { return status_; }
  void record_end(int wait_status) {
    status_ = wait_status;
    reaped_ = true;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
};

// ---- the interface ----

class Env {
 public:
  virtual ~Env() = default;

  // -- descriptors --

  // A descriptor, or -1. Created files get mode 0666 less the umask.
  [[nodiscard]] virtual int open_file(std::string_view path, unsigned flags) = 0;
  // Read-only; never blocks on a FIFO and never becomes a controlling terminal.
  [[nodiscard]] virtual int open_read(std::string_view path) = 0;
  // A new file for writing with the permission bits `mode`; EEXIST (last error
  // FILE_EXISTS) when anything, even a dangling link, already has the name.
  [[nodiscard]] virtual int create_new(std::string_view path, unsigned mode) = 0;
  // Opened without sharing (`flags` as open_file): EACCES while another open holds the file
  // so, here or in another process, and while another process holds a record lock on it
  // that conflicts (a write lock against any open, a read lock against a write open), as
  // Java's FileChannel.lock takes. The lock is taken before truncation, so a file held by
  // someone else is left as it is.
  [[nodiscard]] virtual int open_exclusive(std::string_view path, unsigned flags) = 0;
  // Releases the descriptor even when it answers -1 (the error of a late write-back).
  virtual int close_file(int fd) = 0;

  // One read at the current position; may answer fewer bytes than asked (0 at the end).
  [[nodiscard]] virtual ssize_t read(int fd, void* buffer, size_t length) = 0;
  // One read at an absolute offset; the position is not moved.
  [[nodiscard]] virtual ssize_t read_at(int fd, void* buffer, size_t length, uint64_t offset) = 0;
  // One write at the current position; may take fewer bytes than offered.
  [[nodiscard]] virtual ssize_t write(int fd, const void* buffer, size_t length) = 0;
  // Moves the position to `offset` bytes from the start (ESPIPE for a pipe or socket).
  [[nodiscard]] virtual int seek(int fd, int64_t offset) = 0;
  [[nodiscard]] virtual int64_t file_size(int fd) = 0;
  // Makes the file's contents durable.
  [[nodiscard]] virtual int sync(int fd) = 0;

  // -- whole files and streams --

  // A new file holding exactly `bytes` with the permission bits `mode`, appearing under
  // its name only when complete; EEXIST when the name is taken (nothing is replaced).
  [[nodiscard]] virtual int publish_new_file(std::string_view path, unsigned mode,
                                             const void* bytes, size_t length) = 0;
  // fopen with close-on-exec. For text read and written line by line (logs, schedules,
  // the hosts file); data a test must be able to fail goes through descriptors.
  [[nodiscard]] virtual FILE* open_stream(std::string_view path, const char* mode) = 0;

  // -- names --

  // Replaces `to` atomically when it exists.
  [[nodiscard]] virtual int rename_file(std::string_view from, std::string_view to) = 0;
  virtual int delete_file(std::string_view path) = 0;
  virtual int make_dir(std::string_view path) = 0;
  virtual int remove_dir(std::string_view path) = 0;
  // 1 when the path names an existing file (not a folder), 0 when not, -1 on error.
  [[nodiscard]] virtual int file_exists(std::string_view path) = 0;
  // 1 when the path names a folder that can be entered, else 0.
  [[nodiscard]] virtual int dir_usable(std::string_view path) = 0;
  // Makes the folder's entries (creations, renames, deletions) durable.
  virtual int sync_dir(std::string_view path) = 0;
  // Status of the object a path names, following symbolic links.
  [[nodiscard]] virtual int file_status(std::string_view path, PlatFileStatus* status) = 0;
  // The Windows-form absolute path of an existing folder with every link resolved, as the
  // current directory would read after changing to it (the process's own never changes);
  // ENOTDIR (last error DIRECTORY) for something that is not a folder.
  [[nodiscard]] virtual int full_directory_path(std::string_view path, std::string* full) = 0;
  // The object's security descriptor and times: plat_get_file_security,
  // plat_set_file_security and plat_file_times unless a wrapper says otherwise.
  [[nodiscard]] virtual long file_security(std::string_view path, uint8_t* out, size_t capacity);
  [[nodiscard]] virtual int set_file_security(std::string_view path, const uint8_t* descriptor,
                                              size_t length);
  [[nodiscard]] virtual int file_times(std::string_view path, PlatFileTimes* times);

  // -- directory search (FindFirstFile/FindNextFile) --

  // Opens the listing of the folder named by `pattern` less its last component, which is
  // "*" (every entry) or a name pattern matched without regard to ASCII case. The first
  // entry goes to `data`: for "*" that is "." with the folder's own attributes, then "..",
  // then the folder's entries in the order the system keeps them.
  //
  // Reparse points carry PLAT_ATTR_REPARSE_POINT and are never opened or followed: symbolic
  // links, folders on another mount than their parent, and every entry that is neither a
  // regular file nor a folder. Names holding a backslash are passed over entirely.
  //
  // Windows lists every entry of a folder it can read. An entry whose status cannot be read
  // (a folder that can be listed but not searched, an I/O error) is listed all the same,
  // with `status_error` set, no times, no size, and PLAT_ATTR_DIRECTORY or
  // PLAT_ATTR_REPARSE_POINT only as the listing's own type tells it; callers must not take
  // those zeros for facts. Only an entry gone since the listing (ENOENT) is passed over.
  //
  // Null on failure, with last error PATH_NOT_FOUND, ACCESS_DENIED, FILE_NOT_FOUND (no
  // entry matches) or another translated error.
  [[nodiscard]] virtual PlatFindHandle find_first(std::string_view pattern, PlatFindData* data) = 0;
  // The next entry; -1 at the end (errno ENOENT, last error NO_MORE_FILES) or on failure.
  [[nodiscard]] virtual int find_next(PlatFind* find, PlatFindData* data) = 0;

  // -- clock and sleep --

  // Wall time in the local zone, with milliseconds.
  virtual LocalTime local_time() = 0;
  // Seconds since 1970-01-01 UTC.
  virtual int64_t unix_time() = 0;
  // Monotonic milliseconds; only differences mean anything.
  virtual uint64_t tick_ms() = 0;
  virtual void sleep_ms(uint32_t ms) = 0;

  // -- child processes ("/bin/sh -c LINE" in its own process group, standard streams
  //    inherited, every other descriptor close-on-exec) --

  // Fails (-1, errno ENOENT) when the command's program cannot be found, as starting a
  // missing program fails, rather than letting the shell report it later.
  [[nodiscard]] virtual int process_start(const char* command_line, ChildProcess* child) = 0;
  // Waits at most `timeout_ms` for the child to end.
  [[nodiscard]] virtual PlatWaitResult process_wait(ChildProcess& child, uint32_t timeout_ms) = 0;
  // The exit code of an ended child: its status, or 128 + the signal that ended it; -1
  // with errno when the child has not ended or was never started.
  [[nodiscard]] virtual int process_exit_code(const ChildProcess& child, uint32_t* code) = 0;
  // Kills the child's whole process group.
  [[nodiscard]] virtual int process_terminate(ChildProcess& child) = 0;
};

// The process's Env: the system's own. It is alone in platform/env_default.cpp so that a
// test program can link its own definition in place of it (the shipped ones never do).
[[nodiscard]] Env* plat_env();
// The system's Env itself, for such a replacement to wrap.
[[nodiscard]] Env* plat_system_env();

// Writes all `length` bytes through env->write (see plat_write_fully for the rules).
// Answers `length`, or -1 with errno.
[[nodiscard]] ssize_t plat_write_all(Env* env, int fd, const void* bytes, size_t length);

// Writes `length` bytes to a stream as a Windows text-mode stream stores them: every line
// feed as a carriage return and line feed. Answers whether every byte was written.
[[nodiscard]] bool plat_write_text(FILE* stream, const char* text, size_t length);

// A descriptor from an Env, closed through the same Env. Move-only: moving transfers it,
// move-assignment and reset() close the old one, the destructor closes quietly (errno
// kept); close() answers the close's own result for writers that must know it.
class EnvFile {
 public:
  EnvFile() = default;
  EnvFile(Env* env, int fd) : env_(env), fd_(fd) {}
  EnvFile(EnvFile&& other) noexcept : env_(other.env_), fd_(other.release()) {}
  EnvFile& operator=(EnvFile&& other) noexcept {
    if (this != &other) {
      reset();
      env_ = other.env_;
      fd_ = other.release();
    }
    return *this;
  }
  EnvFile(const EnvFile&) = delete;
  EnvFile& operator=(const EnvFile&) = delete;
  ~EnvFile() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  Env* env() const { return env_; }

  [[nodiscard]] int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor quietly and takes `fd` (from the same Env).
  void reset(int fd = -1);
  // Closes now; 0 when nothing was held.
  [[nodiscard]] int close() {
    int fd = release();
    return fd >= 0 ? env_->close_file(fd) : 0;
  }

 private:
  Env* env_ = nullptr;
  int fd_ = -1;
};

// Forwards every call to a target; test doubles override only what they change.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  int open_file(std::string_view path, unsigned flags) override {
    return target_->open_file(path, flags);
  }
  int open_read(std::string_view path) override { return target_->open_read(path); }
  int create_new(std::string_view path, unsigned mode) override {
    return target_->create_new(path, mode);
  }
  int open_exclusive(std::string_view path, unsigned flags) override {
    return target_->open_exclusive(path, flags);
  }
  int close_file(int fd) override { return target_->close_file(fd); }
  ssize_t read(int fd, void* buffer, size_t length) override {
    return target_->read(fd, buffer, length);
  }
  ssize_t read_at(int fd, void* buffer, size_t length, uint64_t offset) override {
    return target_->read_at(fd, buffer, length, offset);
  }
  ssize_t write(int fd, const void* buffer, size_t length) override {
    return target_->write(fd, buffer, length);
  }
  int seek(int fd, int64_t offset) override { return target_->seek(fd, offset); }
  int64_t file_size(int fd) override { return target_->file_size(fd); }
  int sync(int fd) override { return target_->sync(fd); }
  int publish_new_file(std::string_view path, unsigned mode, const void* bytes,
                       size_t length) override {
    return target_->publish_new_file(path, mode, bytes, length);
  }
  FILE* open_stream(std::string_view path, const char* mode) override {
    return target_->open_stream(path, mode);
  }
  int rename_file(std::string_view from, std::string_view to) override {
    return target_->rename_file(from, to);
  }
  int delete_file(std::string_view path) override { return target_->delete_file(path); }
  int make_dir(std::string_view path) override { return target_->make_dir(path); }
  int remove_dir(std::string_view path) override { return target_->remove_dir(path); }
  int file_exists(std::string_view path) override { return target_->file_exists(path); }
  int dir_usable(std::string_view path) override { return target_->dir_usable(path); }
  int sync_dir(std::string_view path) override { return target_->sync_dir(path); }
  int file_status(std::string_view path, PlatFileStatus* status) override {
    return target_->file_status(path, status);
  }
  int full_directory_path(std::string_view path, std::string* full) override {
    return target_->full_directory_path(path, full);
  }
  long file_security(std::string_view path, uint8_t* out, size_t capacity) override {
    return target_->file_security(path, out, capacity);
  }
  int set_file_security(std::string_view path, const uint8_t* descriptor, size_t length) override {
    return target_->set_file_security(path, descriptor, length);
  }
  int file_times(std::string_view path, PlatFileTimes* times) override {
    return target_->file_times(path, times);
  }
  PlatFindHandle find_first(std::string_view pattern, PlatFindData* data) override {
    return target_->find_first(pattern, data);
  }
  int find_next(PlatFind* find, PlatFindData* data) override {
    return target_->find_next(find, data);
  }
  LocalTime local_time() override { return target_->local_time(); }
  int64_t unix_time() override { return target_->unix_time(); }
  uint64_t tick_ms() override { return target_->tick_ms(); }
  void sleep_ms(uint32_t ms) override { target_->sleep_ms(ms); }
  int process_start(const char* command_line, ChildProcess* child) override {
    return target_->process_start(command_line, child);
  }
  PlatWaitResult process_wait(ChildProcess& child, uint32_t timeout_ms) override {
    return target_->process_wait(child, timeout_ms);
  }
  int process_exit_code(const ChildProcess& child, uint32_t* code) override {
    return target_->process_exit_code(child, code);
  }
  int process_terminate(ChildProcess& child) override { return target_->process_terminate(child); }

 private:
  Env* target_;
};
