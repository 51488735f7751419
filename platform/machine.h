// Facts that identify this machine and its accounts, as Windows code gathers them from
// the memory status, the adapter list, the registry and the hardware profile. A fact
// that is not available answers -1 (or empty); callers leave its field empty.
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Total physical memory in bytes, capped to 32 bits as GlobalMemoryStatus reports it.
[[nodiscard]] uint32_t plat_total_physical_memory();

// Hardware address of the first network adapter (the non-loopback interface with the
// lowest index that has one). Answers the address length (at most `capacity`), or -1.
[[nodiscard]] int plat_first_adapter_address(uint8_t* address, size_t capacity);

// The installation's product id: the first 39 bytes of /etc/machine-id. Answers its
// length, or -1.
[[nodiscard]] int plat_product_id(char* buffer, size_t capacity);

// The current hardware profile's GUID, braced and upper case (38 characters), or empty.
[[nodiscard]] std::string plat_hardware_profile_guid();

// Windows-form root of the user profiles scanned for folder shortcuts: the variable
// VARNO_PROFILE_ROOT, empty when it is not set.
[[nodiscard]] std::string plat_profile_root();
