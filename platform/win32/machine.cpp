#include "platform/machine.h"

#include <windows.h>

#include <iphlpapi.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using GetAdaptersInfoFn = DWORD(WINAPI*)(IP_ADAPTER_INFO*, ULONG*);

template <typename Fn>
Fn lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct LibraryCloser {
  void operator()(HMODULE m) const { FreeLibrary(m); }
};

}  // namespace

uint32_t plat_total_physical_memory() {
  // GlobalMemoryStatus caps what does not fit its fields itself; the 32-bit figure is the
  // record's.
  MEMORYSTATUS status{};
  status.dwLength = sizeof status;
  GlobalMemoryStatus(&status);
  uint64_t total = status.dwTotalPhys;
  return total > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
}

int plat_first_adapter_address(uint8_t* address, size_t capacity) {
  if (address == nullptr) return -1;
  // Loaded at run time: a system without the helper library still gets a token.
  std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryCloser> library(
      LoadLibraryA("Iphlpapi.dll"));
  if (!library) return -1;
  auto get_adapters_info = lookup<GetAdaptersInfoFn>(library.get(), "GetAdaptersInfo");
  if (get_adapters_info == nullptr) return -1;
  ULONG size = 0;
  if (get_adapters_info(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return -1;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]());
  if (!buffer) return -1;
  auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get());
  if (get_adapters_info(info, &size) != ERROR_SUCCESS) return -1;
  size_t n = info->AddressLength;
  if (n > sizeof info->Address) n = sizeof info->Address;
  if (n > capacity) n = capacity;
  memcpy(address, info->Address, n);
  return static_cast<int>(n);
}

int plat_product_id(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return -1;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return -1;
  }
  char value[40] = {};
  DWORD type = 0;
  DWORD size = 39;  // room for 39 bytes; a longer value does not fit and is refused
  LONG r =
      RegQueryValueExA(key, "ProductId", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (r != ERROR_SUCCESS || type != REG_SZ || size > 39) return -1;
  value[size] = '\0';
  size_t n = strnlen(value, size);
  if (n > capacity - 1) n = capacity - 1;
  memcpy(buffer, value, n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

std::string plat_hardware_profile_guid() {
  HW_PROFILE_INFOA profile{};
  if (!GetCurrentHwProfileA(&profile)) return {};
  return std::string(profile.szHwProfileGuid, strnlen(profile.szHwProfileGuid, HW_PROFILE_GUIDLEN));
}

std::string plat_profile_root() {
  const char* root = getenv("VARNO_PROFILE_ROOT");
  return root != nullptr ? std::string(root) : std::string();
}
