#include "platform/system.h"

#include <unistd.h>
#include <cerrno>

#include "platform/error.h"
#include "platform/path.h"

std::string plat_windows_directory() {
  // The Windows directory lives on the drive that maps "/".
  std::string windows;
  if (plat_windows_path("/", &windows) != 0) windows = "C:\\";
  return windows;
}

OsVersion plat_os_version() {
  return OsVersion{2, 0, 0};
}

int plat_registry_read_string(const char*, const char*, char*, size_t) {
  plat_set_last_error(PLAT_ERROR_FILE_NOT_FOUND);
  errno = ENOENT;
  return -1;
}

bool plat_has_fs_redirection() {
  return false;
}

std::string plat_program_dir() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return std::string();
  std::string path(self, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

const char* plat_program_suffix() {
  return "";
}

char plat_search_path_separator() {
  return ':';
}

int plat_disable_fs_redirection(void**) {
  plat_set_last_error(127);  // ERROR_PROC_NOT_FOUND
  errno = ENOSYS;
  return -1;
}

int plat_revert_fs_redirection(void*) {
  plat_set_last_error(127);
  errno = ENOSYS;
  return -1;
}
