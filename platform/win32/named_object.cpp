#include "platform/named_object.h"

#include <windows.h>

#include <cerrno>
#include <utility>

#include "platform/win32/handle.h"
#include "platform/win32/win_error.h"

// Windows removes a named object with its last handle or view, so nothing outlives the
// processes that use it: unlink has nothing to do, and an object that can be opened at
// all is held by a live process (or by a reader that still has it open).

namespace {

// A descriptor with a present but null DACL: every account may open the object with full
// access. Not inheritable.
class NullDaclAttributes {
 public:
  NullDaclAttributes() {
    ok_ = InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorDacl(&descriptor_, TRUE, nullptr, FALSE);
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  SECURITY_ATTRIBUTES* get() { return ok_ ? &attributes_ : nullptr; }

 private:
  SECURITY_DESCRIPTOR descriptor_;
  SECURITY_ATTRIBUTES attributes_;
  bool ok_ = false;
};

}  // namespace

NameGuard::NameGuard(const char*) : held_(true) {}

NameGuard::~NameGuard() = default;

void NameGuard::remove() {}

std::string plat_object_name(const char* windows_name) {
  return windows_name != nullptr ? std::string(windows_name) : std::string();
}

// ---- SharedView -------------------------------------------------------------------------

void SharedView::reset() {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  data_ = nullptr;
  size_ = 0;
  fd_.reset();
  creator_ = false;
  alive_name_.clear();
}

// Names need no removal here (see above), so every creator may count as the last one.
bool SharedView::sole_creator() {
  return data_ != nullptr && creator_;
}

// A reader's view keeps the memory alive, not the marker: the marker goes with the last
// creator's view, or with its process.
bool SharedView::creator_alive() {
  if (data_ == nullptr) return false;
  if (creator_) return true;
  HANDLE marker = OpenEventA(SYNCHRONIZE, FALSE, alive_name_.c_str());
  if (marker == nullptr) return false;
  CloseHandle(marker);
  return true;
}

// ---- SharedMemory -----------------------------------------------------------------------

void SharedMemory::reset() {
  fd_.reset();
  size_ = 0;
  read_only_ = false;
  creator_ = false;
  name_.clear();
}

int SharedMemory::create(const char* windows_name, size_t size) {
  reset();
  if (windows_name == nullptr || size == 0) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  NullDaclAttributes attributes;
  if (attributes.get() == nullptr) return fail_win32();
  // Backed by the paging file; an existing mapping of the name is opened instead.
  uint64_t wide = size;
  HANDLE h =
      CreateFileMappingA(INVALID_HANDLE_VALUE, attributes.get(), PAGE_READWRITE,
                         static_cast<DWORD>(wide >> 32), static_cast<DWORD>(wide), windows_name);
  if (h == nullptr) return fail_win32();
  fd_.reset(handle_to_int(h));
  size_ = size;
  creator_ = true;
  name_ = windows_name;
  return 0;
}

int SharedMemory::open_existing(const char* windows_name, size_t size, bool read_only) {
  reset();
  if (windows_name == nullptr || size == 0) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  DWORD access = read_only ? FILE_MAP_READ : FILE_MAP_READ | FILE_MAP_WRITE;
  HANDLE h = OpenFileMappingA(access, FALSE, windows_name);
  if (h == nullptr) return fail_win32();
  // The object's size shows only through a view of all of it.
  void* whole = MapViewOfFile(h, access, 0, 0, 0);
  MEMORY_BASIC_INFORMATION info{};
  bool big_enough = whole != nullptr && VirtualQuery(whole, &info, sizeof info) == sizeof info &&
                    info.RegionSize >= size;
  DWORD code = GetLastError();
  if (whole != nullptr) UnmapViewOfFile(whole);
  if (!big_enough) {
    CloseHandle(h);
    if (whole == nullptr) return fail_win32(code);
    return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  }
  fd_.reset(handle_to_int(h));
  size_ = size;
  read_only_ = read_only;
  name_ = windows_name;
  return 0;
}

int SharedMemory::map(SharedView* view) {
  if (!fd_.valid() || view == nullptr) return fail_errno(EBADF, ERROR_INVALID_HANDLE);
  DWORD access = read_only_ ? FILE_MAP_READ : FILE_MAP_ALL_ACCESS;
  const std::string alive_name = name_ + ".alive";
  HANDLE marker = nullptr;
  if (creator_) {
    NullDaclAttributes attributes;
    marker = CreateEventA(attributes.get(), TRUE, FALSE, alive_name.c_str());
    if (marker == nullptr) return fail_win32();
  }
  void* data = MapViewOfFile(int_to_handle(fd_.get()), access, 0, 0, size_);
  if (data == nullptr) {
    const DWORD code = GetLastError();
    if (marker != nullptr) CloseHandle(marker);
    return fail_win32(code);
  }
  view->reset();
  view->data_ = data;
  view->size_ = size_;
  view->creator_ = creator_;
  view->alive_name_ = alive_name;
  if (marker != nullptr) view->fd_.reset(handle_to_int(marker));
  return 0;
}

int SharedMemory::unlink(const char*) {
  return 0;
}

// ---- NamedEvent -------------------------------------------------------------------------

NamedEvent::~NamedEvent() {
  reset();
}

NamedEvent::NamedEvent(NamedEvent&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

NamedEvent& NamedEvent::operator=(NamedEvent&& other) noexcept {
  if (this != &other) {
    reset();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

void NamedEvent::reset() {
  if (handle_ != nullptr) close_handle_quietly(handle_);
  handle_ = nullptr;
}

int NamedEvent::create(const char* windows_name, bool drop_stale_signal) {
  reset();
  if (windows_name == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  NullDaclAttributes attributes;
  if (attributes.get() == nullptr) return fail_win32();
  // Auto-reset, not signalled.
  HANDLE h = CreateEventA(attributes.get(), FALSE, FALSE, windows_name);
  if (h == nullptr) return fail_win32();
  // Another process holds the name already; its pending signal is real unless the caller
  // knows that process to be gone.
  if (drop_stale_signal && GetLastError() == ERROR_ALREADY_EXISTS) ResetEvent(h);
  handle_ = h;
  return 0;
}

int NamedEvent::open_existing(const char* windows_name) {
  reset();
  if (windows_name == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  HANDLE h = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, windows_name);
  if (h == nullptr) return fail_win32();
  handle_ = h;
  return 0;
}

int NamedEvent::set() {
  if (handle_ == nullptr) return fail_errno(EBADF, ERROR_INVALID_HANDLE);
  if (!SetEvent(handle_)) return fail_win32();
  return 0;
}

int NamedEvent::try_wait() {
  if (handle_ == nullptr) return fail_errno(EBADF, ERROR_INVALID_HANDLE);
  DWORD r = WaitForSingleObject(handle_, 0);
  if (r == WAIT_OBJECT_0) return 1;
  if (r == WAIT_TIMEOUT) return 0;
  return fail_win32();
}

int NamedEvent::unlink(const char*) {
  return 0;
}
