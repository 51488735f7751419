#include "platform/named_object.h"

#include "platform/retry.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace {

// Creators hold a read lock on the object's first byte for as long as they hold it
// (open-file-description locks, so they stay with every dup of the descriptor). Asking
// whether a write lock would conflict tells whether some other creator holds it, without
// taking or changing any lock.
int hold_creator_lock(int fd) {
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  return plat_retry_eintr([&] { return fcntl(fd, F_OFD_SETLKW, &lock); });
}

// 1 when a creator other than this descriptor's holds the object, 0 when none, -1 error.
int other_creator(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return -1;
  return lock.l_type == F_UNLCK ? 0 : 1;
}

sem_t* as_sem(void* handle) {
  return static_cast<sem_t*>(handle);
}

// The agent's user and group only: the board shows the job's files and the event stops it.
constexpr mode_t kObjectMode = 0660;

// An object of this name that another account made (perhaps first, to be handed the
// agent's progress or its stop) is never used: EACCES. One of our own is set to
// kObjectMode: the umask must not narrow the group's access, nor an older agent's object
// stay open to all. 0, or -1 with errno.
int claim_own_fd(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  if (st.st_uid != geteuid()) {
    errno = EACCES;
    return -1;
  }
  return (st.st_mode & 07777) == kObjectMode ? 0 : fchmod(fd, kObjectMode);
}

// Named semaphores have no descriptor to ask: their file is asked by name right after the
// open. In the sticky /dev/shm only its owner or root can put another file under the name.
int claim_own_path(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  if (st.st_uid != geteuid()) {
    errno = EACCES;
    return -1;
  }
  return (st.st_mode & 07777) == kObjectMode ? 0 : chmod(path.c_str(), kObjectMode);
}

// glibc keeps a named semaphore "/NAME" as the file "sem.NAME" in /dev/shm.
std::string semaphore_file(const std::string& name) {
  return "/dev/shm/sem." + name.substr(1);
}

}  // namespace

std::string plat_object_name(const char* windows_name) {
  std::string name = "/";
  for (const char* p = windows_name; *p != '\0'; ++p) {
    name.push_back(*p == '\\' || *p == '/' ? '.' : *p);
  }
  return name;
}

// ---- NameGuard --------------------------------------------------------------------------

// A lock file beside the objects. A guard removed while another process waited on it is
// taken again under a fresh file, so two holders never hold two files of one name.
NameGuard::NameGuard(const char* windows_name)
    : path_("/dev/shm" + plat_object_name(windows_name) + ".guard") {
  for (int attempt = 0; attempt < 100; ++attempt) {
    UniqueObject fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kObjectMode));
    // Another account's guard is not waited on: it could hold it for ever.
    if (!fd.valid() || claim_own_fd(fd.get()) != 0) return;
    if (plat_retry_eintr([&] { return flock(fd.get(), LOCK_EX); }) != 0) return;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return;
    if (st.st_nlink == 0) continue;  // removed while we waited
    fd_ = std::move(fd);
    held_ = true;
    return;
  }
}

NameGuard::~NameGuard() = default;  // closing the descriptor releases the lock

void NameGuard::remove() {
  if (held_) (void)::unlink(path_.c_str());
}

// ---- SharedView -------------------------------------------------------------------------

void SharedView::reset() {
  if (data_ != nullptr) munmap(data_, size_);
  fd_.reset();
  data_ = nullptr;
  size_ = 0;
  creator_ = false;
}

bool SharedView::sole_creator() {
  return fd_.valid() && other_creator(fd_.get()) == 0;
}

bool SharedView::creator_alive() {
  if (!fd_.valid()) return false;
  return creator_ || other_creator(fd_.get()) != 0;
}

// ---- SharedMemory -----------------------------------------------------------------------

void SharedMemory::reset() {
  fd_.reset();
  size_ = 0;
  read_only_ = false;
  creator_ = false;
}

int SharedMemory::create(const char* windows_name, size_t size) {
  reset();
  std::string name = plat_object_name(windows_name);
  UniqueObject fd(shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kObjectMode));
  if (!fd.valid() && errno == EEXIST) fd.reset(shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0));
  if (!fd.valid() || claim_own_fd(fd.get()) != 0) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 ||
      (static_cast<size_t>(st.st_size) < size &&
       plat_retry_eintr([&] { return ftruncate(fd.get(), static_cast<off_t>(size)); }) != 0) ||
      hold_creator_lock(fd.get()) != 0) {
    return -1;
  }
  fd_ = std::move(fd);
  size_ = size;
  creator_ = true;
  return 0;
}

int SharedMemory::open_existing(const char* windows_name, size_t size, bool read_only) {
  reset();
  std::string name = plat_object_name(windows_name);
  UniqueObject fd(shm_open(name.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC, 0));
  if (!fd.valid()) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  if (static_cast<size_t>(st.st_size) < size) {
    errno = EINVAL;
    return -1;
  }
  fd_ = std::move(fd);
  size_ = size;
  read_only_ = read_only;
  return 0;
}

int SharedMemory::map(SharedView* view) {
  if (!fd_.valid()) {
    errno = EBADF;
    return -1;
  }
  int prot = read_only_ ? PROT_READ : PROT_READ | PROT_WRITE;
  void* data = mmap(nullptr, size_, prot, MAP_SHARED, fd_.get(), 0);
  if (data == MAP_FAILED) return -1;
  // The view keeps its own descriptor: it shares the creator's lock, so the object counts
  // as held for as long as the view is mapped, even after the handle is closed.
  UniqueObject fd(fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
  if (!fd.valid()) {
    int saved = errno;
    munmap(data, size_);
    errno = saved;
    return -1;
  }
  view->reset();
  view->data_ = data;
  view->size_ = size_;
  view->fd_ = std::move(fd);
  view->creator_ = creator_;
  return 0;
}

int SharedMemory::unlink(const char* windows_name) {
  return shm_unlink(plat_object_name(windows_name).c_str());
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
  if (handle_ != nullptr) sem_close(as_sem(handle_));
  handle_ = nullptr;
}

int NamedEvent::create(const char* windows_name, bool drop_stale_signal) {
  reset();
  std::string name = plat_object_name(windows_name);
  sem_t* sem = sem_open(name.c_str(), O_CREAT | O_EXCL, kObjectMode, 0);
  if (sem == SEM_FAILED && errno == EEXIST) sem = sem_open(name.c_str(), 0);
  if (sem == SEM_FAILED) return -1;
  handle_ = sem;
  if (claim_own_path(semaphore_file(name)) != 0) {
    int saved = errno;
    reset();
    errno = saved;
    return -1;
  }
  while (drop_stale_signal && sem_trywait(sem) == 0) {
  }
  return 0;
}

int NamedEvent::open_existing(const char* windows_name) {
  reset();
  sem_t* sem = sem_open(plat_object_name(windows_name).c_str(), 0);
  if (sem == SEM_FAILED) return -1;
  handle_ = sem;
  return 0;
}

int NamedEvent::set() {
  if (handle_ == nullptr) {
    errno = EBADF;
    return -1;
  }
  int value = 0;
  if (sem_getvalue(as_sem(handle_), &value) != 0) return -1;
  if (value > 0) return 0;  // already signalled
  return sem_post(as_sem(handle_));
}

int NamedEvent::try_wait() {
  if (handle_ == nullptr) {
    errno = EBADF;
    return -1;
  }
  if (plat_retry_eintr([&] { return sem_trywait(as_sem(handle_)); }) != 0) {
    return errno == EAGAIN ? 0 : -1;
  }
  // Two setters racing past the "count is 0" test may have posted twice; the event has
  // still been signalled once.
  while (sem_trywait(as_sem(handle_)) == 0) {
  }
  return 1;
}

int NamedEvent::unlink(const char* windows_name) {
  return sem_unlink(plat_object_name(windows_name).c_str());
}
