// The two values that identify an installation without asking anyone: the machine token
// (SHA-1 of a fixed record of hardware and system facts) and the application key (32
// bytes kept scattered in "etc/varno.ak", shared by the desktop client and the agent for
// their encrypted files). The key never reaches a log or the screen.
//
// Thread safety: the token is recomputed on every call; the key cache is filled once per
// process under a lock (a failed load is retried by the next call).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t MACHINE_INFO_SIZE = 4264;
constexpr size_t MACHINE_TOKEN_SIZE = 20;
constexpr size_t APPLICATION_KEY_SIZE = 32;
constexpr size_t APPLICATION_KEY_FILE_SIZE = 4096;

// Offsets of the fields in the machine record.
enum : size_t {
  MACHINE_INFO_MEMORY = 0,         // 8 bytes, little-endian
  MACHINE_INFO_PROCESSOR = 8,      // 4096 bytes of text
  MACHINE_INFO_ADAPTER = 4104,     // 40
  MACHINE_INFO_VOLUME = 4144,      // 40
  MACHINE_INFO_PRODUCT_ID = 4184,  // 40
  MACHINE_INFO_HW_PROFILE = 4224,  // 40
};

struct MachineInfo {
  uint8_t bytes[MACHINE_INFO_SIZE];
};

// Fills the record; answers 0 when the product id was read, -1 when not (callers ignore
// it: a missing fact only leaves its field empty).
[[nodiscard]] int gather_machine_info(MachineInfo* info);

// SHA-1 of the record into `token` (20 bytes). Always 0.
int get_machine_token(uint8_t* token);

// The 32-byte application key into `key`, creating the key file on first use. 0, or -1
// (key untouched) when the file cannot be created, opened or fully read.
[[nodiscard]] int get_application_key(uint8_t* key);

// Creates "etc/varno.ak": 4096 random bytes, exclusively, readable by its owner only.
// 0 when a new file was written, -1 otherwise.
[[nodiscard]] int create_application_key_file();
