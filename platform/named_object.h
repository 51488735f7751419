// Machine-wide named objects: shared memory (a Windows file mapping backed by the paging
// file) and auto-reset events. Windows names ("Global\Vendor/Product/Thing") become
// POSIX names "/" + the name with every "\" and "/" turned into ".". Objects are created
// with mode 0660: only the creator's user and group may open them (Windows gives them a
// null DACL; here any account could watch or stop another's backup). A creator never uses
// an object of the name that another account owns (EACCES). A creator removes the names
// with unlink when it ends normally; a name left behind by a killed process of the same
// user is opened again by the next creator.
//
// Thread safety: each object belongs to one thread at a time; the objects themselves are
// shared between processes without locks.
#pragma once

#include "platform/handle.h"

#include <cstddef>
#include <string>

// "/" + the Windows name with "\" and "/" turned into ".".
[[nodiscard]] std::string plat_object_name(const char* windows_name);

// Serializes the creation and the removal of one family of names between processes. A
// creator holds it while it creates its objects, and while it asks whether it is the sole
// creator and removes the names: without it, a process ending could remove names that a
// process starting had just opened. Blocks until held; when it cannot be taken (an
// error), held() is false and the caller goes on unguarded. Nothing to do on Windows,
// where names go with their last handle.
class NameGuard {
 public:
  explicit NameGuard(const char* windows_name);
  ~NameGuard();
  NameGuard(const NameGuard&) = delete;
  NameGuard& operator=(const NameGuard&) = delete;

  bool held() const { return held_; }
  // Removes the guard's own name too, for a last creator removing the family.
  void remove();

 private:
  std::string path_;
  UniqueObject fd_;
  bool held_ = false;
};

// A view of named shared memory. The view keeps the object alive while mapped; a creator
// also holds a shared lock on it for as long as the view lives, so that readers can tell
// a live object from one left behind by a process that died.
class SharedView {
 public:
  SharedView() = default;
  ~SharedView();
  SharedView(SharedView&& other) noexcept;
  SharedView& operator=(SharedView&& other) noexcept;
  SharedView(const SharedView&) = delete;
  SharedView& operator=(const SharedView&) = delete;

  bool valid() const { return data_ != nullptr; }
  void* data() const { return data_; }
  size_t size() const { return size_; }
  void reset();

  // For creators: true when no other creator holds the object (the name may be removed).
  [[nodiscard]] bool sole_creator();
  // For readers: true while some creator still holds the object.
  [[nodiscard]] bool creator_alive();

 private:
  friend class SharedMemory;
  void* data_ = nullptr;
  size_t size_ = 0;
  UniqueObject fd_;
  bool creator_ = false;
  // Windows: the name of a marker that only creators' views hold open (in fd_), so that a
  // reader's view, which keeps the memory alive, can still tell that its creator is gone.
  std::string alive_name_;
};

// The "mapping handle": an open named shared-memory object.
class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(SharedMemory&& other) noexcept;
  SharedMemory& operator=(SharedMemory&& other) noexcept;
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Opens the object `windows_name`, creating it when missing, and makes it at least
  // `size` bytes. 0, or -1 with errno.
  [[nodiscard]] int create(const char* windows_name, size_t size);
  // Opens an existing object; ENOENT when there is none, EINVAL when it is smaller than
  // `size`. 0, or -1 with errno.
  [[nodiscard]] int open_existing(const char* windows_name, size_t size, bool read_only);

  // Maps `size` bytes (the size given to create/open_existing). 0, or -1 with errno.
  [[nodiscard]] int map(SharedView* view);

  bool valid() const { return fd_.valid(); }
  void reset();

  // Removes the name; processes that have it open keep their object. 0, or -1 with errno.
  [[nodiscard]] static int unlink(const char* windows_name);

 private:
  UniqueObject fd_;
  size_t size_ = 0;
  bool read_only_ = false;
  bool creator_ = false;
  std::string name_;  // Windows: the object's name, for its views' liveness marker
};

// A named auto-reset event: set() signals it, and one wait answers "signalled" once for
// any number of set() calls that came before it.
class NamedEvent {
 public:
  NamedEvent() = default;
  ~NamedEvent();
  NamedEvent(NamedEvent&& other) noexcept;
  NamedEvent& operator=(NamedEvent&& other) noexcept;
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Opens the event `windows_name`, creating it when missing. With `drop_stale_signal`
  // it starts not signalled: a signal left on the name by a process that died is dropped.
  // The caller passes false while another live process uses the event, whose pending
  // signal is real. 0, or -1 with errno.
  [[nodiscard]] int create(const char* windows_name, bool drop_stale_signal);
  // Opens an existing event; ENOENT when there is none. 0, or -1 with errno.
  [[nodiscard]] int open_existing(const char* windows_name);

  bool valid() const { return handle_ != nullptr; }
  void reset();

  // Signals the event. 0, or -1 with errno.
  [[nodiscard]] int set();
  // Wait with time-out 0: 1 when it was signalled (and is now reset), 0 when not, -1
  // with errno.
  [[nodiscard]] int try_wait();

  [[nodiscard]] static int unlink(const char* windows_name);

 private:
  void* handle_ = nullptr;  // sem_t*
};
