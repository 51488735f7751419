// File security attributes: the record the agent sends with every item and the bridge
// reads and writes for the desktop client. Here (NT family) a record holds a self-relative
// security descriptor (owner, group, DACL). Records are plain memory owned by the caller
// and released with free(). Thread-safe (no shared state).
//
// Serialized form, little-endian: kind (1 byte: 2 = attribute word, 3 = descriptor),
// value (4 bytes: the word, or the descriptor length n), then n descriptor bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/env.h"

constexpr uint32_t FSA_EMPTY = 0;
constexpr uint32_t FSA_ATTRIBUTES = 2;
constexpr uint32_t FSA_DESCRIPTOR = 3;
constexpr size_t FSA_DESCRIPTOR_ROOM = 20480;
constexpr size_t FSA_HEADER_SIZE = 5;

struct FsaRecord {
  uint32_t kind;
  uint32_t value;  // attribute word, or descriptor length
  uint8_t descriptor[FSA_DESCRIPTOR_ROOM];
};
static_assert(sizeof(FsaRecord) == 20488);

// A new zero-filled record for the file's owner, group and DACL, read through `env`; null
// with errno (EINVAL for a null or empty path).
[[nodiscard]] FsaRecord* get_fsa(Env* env, const char* path);

// 5 + the descriptor length; -1 for no record.
[[nodiscard]] long fsa_serialized_size(const FsaRecord* record);

// Writes the serialized form (fsa_serialized_size bytes). 0, or -1 for a null argument.
[[nodiscard]] int fsa_serialize(const FsaRecord* record, void* output);

// Reads a serialized record from `length` bytes. A descriptor record (kind 3) is taken
// only when its length fits both the bytes given and the record's room, and the
// descriptor parses; otherwise -1 with EINVAL and the record is left as it was. Any other
// kind leaves the record as it was and answers 0. -1 for a null argument.
[[nodiscard]] int fsa_deserialize(const void* bytes, size_t length, FsaRecord* record);

// Applies the record's descriptor as the file's owner, group and permissions. 0, or -1
// with errno (null or empty path, null or non-descriptor record, malformed descriptor,
// or the system's refusal).
[[nodiscard]] int set_fsa(Env* env, const char* path, const FsaRecord* record);
