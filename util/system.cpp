#include "util/system.h"

#include <atomic>
#include <string>

#include "platform/system.h"

namespace {

int release_code(const OsVersion& v) {
  if (v.major == 4) {
    if (v.minor == 10) return 1;
    if (v.minor == 90) return 2;
    return 3;
  }
  if (v.major == 5) {
    if (v.minor == 0) return 4;
    if (v.minor == 1) return 5;
    return 6;
  }
  return 0;
}

std::atomic<int> g_platform{0};
std::atomic<int> g_version{0};

}  // namespace

int os_platform() {
  int cached = g_platform.load(std::memory_order_relaxed);
  if (cached != 0) return cached;
  int value = plat_os_version().platform_id == 1 ? 1 : 2;
  g_platform.store(value, std::memory_order_relaxed);
  return value;
}

int os_version_code() {
  int cached = g_version.load(std::memory_order_relaxed);
  if (cached != 0) return cached;
  // An unknown release is not cached: it is asked again on every call.
  int value = release_code(plat_os_version());
  if (value != 0) g_version.store(value, std::memory_order_relaxed);
  return value;
}

const char* system_drive_root() {
  static const std::string root = [] {
    std::string dir = plat_windows_directory();
    return dir.size() >= 3 ? dir.substr(0, 3) : std::string("C:\\");
  }();
  return root.c_str();
}

int registry_read_string(const char* subkey, const char* value_name, char* buffer,
                         size_t capacity) {
  return plat_registry_read_string(subkey, value_name, buffer, capacity);
}
