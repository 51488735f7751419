// File and directory requests: folders, listings, deletes, file open/write/close, e-mail.
#include <cstdlib>
#include <cstring>

#include "protocol/ckfs.h"
#include "protocol/wire.h"
#include "util/memory.h"

using namespace kfs_wire;

namespace {

// Fills the packet record's type and reply flag; the data is already written.
int send_request(ckfs_session* session, uint8_t type, bool awaits_reply, size_t length) {
  ckfs_packet& packet = session->packet;
  packet.type = type;
  packet.status = 0;
  packet.length = static_cast<uint16_t>(length);
  if (awaits_reply) {
    packet.flags |= CKFS_AWAITS_REPLY;
  } else {
    packet.flags &= ~CKFS_AWAITS_REPLY;
  }
  int rc = ckfs_transact(session);
  if (rc == 0 && awaits_reply) ++session->replies;
  return rc;
}

size_t text_length(const char* text) {
  return text == nullptr ? 0 : strlen(text);
}

int path_request(ckfs_session* session, uint8_t type, uint8_t flags, const char* path) {
  size_t n = text_length(path);
  if (n > 0xffff) return ERR_DATAMAX;
  Writer w(session->packet.data, CKFS_DATA_MAX);
  w.u8(flags);
  w.u16(static_cast<uint16_t>(n));
  w.bytes(path, n);
  if (!w.ok()) return ERR_DATAMAX;
  return send_request(session, type, true, w.size());
}

void free_entry(void* data, size_t, int) {
  auto* entry = static_cast<ckfs_find_entry*>(data);
  if (entry != nullptr) free(entry->name);
  free(data);
}

}  // namespace

int ckfs_mkdir(ckfs_session* session, const ckfs_path_request* request) {
  int rc = path_request(session, KFS_MKDIR, request->flags, request->path);
  return rc != 0 ? rc : session->packet.status;
}

int ckfs_delete_decode(const uint8_t* data, int length, ckfs_delete_request* request) {
  Reader r(data, length < 0 ? 0 : static_cast<size_t>(length));
  uint32_t v1 = r.u32();
  uint32_t v2 = r.u32();
  uint64_t v3 = r.u64();
  uint64_t v4 = r.u64();
  if (!r.ok()) return ERR_SCKREAD;
  request->value1 = v1;
  request->value2 = v2;
  request->value3 = v3;
  request->value4 = v4;
  return 0;
}

int ckfs_delete(ckfs_session* session, ckfs_delete_request* request) {
  request->value1 = request->value2 = 0;
  request->value3 = request->value4 = 0;
  int rc = path_request(session, KFS_DELETE, request->flags, request->path);
  if (rc != 0) return rc;
  const ckfs_packet& packet = session->packet;
  // A failure reply may come without the counts; they stay 0 then.
  if (ckfs_delete_decode(packet.data, packet.length, request) != 0 && packet.status == 0) {
    return ERR_SCKREAD;
  }
  return packet.status;
}

int ckfs_find_decode(const uint8_t* data, int length, bool wide_names, ckfs_find_request* request) {
  Reader r(data, length < 0 ? 0 : static_cast<size_t>(length));
  uint16_t count = r.u16();
  uint32_t remaining = r.u32();
  uint8_t handle = r.u8();
  if (!r.ok()) return ERR_SCKREAD;
  // Each entry takes at least 22 bytes; a count beyond what arrived is refused before
  // anything is allocated.
  const size_t entry_min = 21 + (wide_names ? 2 : 1);
  if (static_cast<size_t>(count) * entry_min > r.left()) return ERR_SCKREAD;
  List* list = list_create(count, 1, free_entry);
  for (int i = 0; i < count; ++i) {
    ckfs_find_entry entry{};
    entry.kind = r.u8();
    entry.modification_time = r.u32();
    entry.size = r.u64();
    entry.second_value = r.u64();
    uint16_t name_length = wide_names ? r.u16() : r.u8();
    const uint8_t* name = r.bytes(name_length);
    if (name == nullptr) {
      list_free(list);
      return ERR_SCKREAD;
    }
    entry.name = static_cast<char*>(util_alloc(name_length + 1u));
    memcpy(entry.name, name, name_length);
    entry.name[name_length] = '\0';
    entry.name_length = name_length;
    if (list_insert(list, &entry, sizeof entry, list_count(list)) < 0) {
      free(entry.name);
      list_free(list);
      return ERR_SCKREAD;
    }
  }
  request->count = count;
  request->remaining = remaining;
  request->reply_handle = handle;
  request->entries = list;
  return 0;
}

int ckfs_find_files(ckfs_session* session, ckfs_find_request* request) {
  request->count = 0;
  request->remaining = 0;
  request->reply_handle = 0;
  request->entries = nullptr;
  size_t pattern_length = text_length(request->pattern);
  size_t folder_length = text_length(request->folder);
  if (pattern_length > 0xff || folder_length > 0xffff) return ERR_DATAMAX;
  Writer w(session->packet.data, CKFS_DATA_MAX);
  w.u8(request->handle);
  w.u8(request->flags);
  w.u8(static_cast<uint8_t>(pattern_length));
  w.bytes(request->pattern, pattern_length);
  w.u16(static_cast<uint16_t>(folder_length));
  w.bytes(request->folder, folder_length);
  if (!w.ok()) return ERR_DATAMAX;
  int rc = send_request(session, KFS_FIND_FILES, true, w.size());
  if (rc != 0) return rc;
  const ckfs_packet& packet = session->packet;
  if (packet.status != 0) return packet.status;
  return ckfs_find_decode(packet.data, packet.length, (request->flags & 1) != 0, request);
}

void ckfs_find_free(ckfs_find_request* request) {
  if (request->entries != nullptr) list_free(request->entries);
  request->entries = nullptr;
}

int ckfs_wopen_decode(const uint8_t* data, int length, ckfs_wopen_request* request) {
  Reader r(data, length < 0 ? 0 : static_cast<size_t>(length));
  uint8_t handle = r.u8();
  uint16_t checksummed = r.u16();
  uint32_t block_size = r.u32();
  uint16_t block_count = r.u16();
  if (!r.ok()) return ERR_SCKREAD;
  request->handle = handle;
  request->checksummed_blocks = checksummed;
  request->block_size = block_size;
  request->block_count = block_count;
  return 0;
}

int ckfs_file_wopen(ckfs_session* session, ckfs_wopen_request* request) {
  size_t path_length = text_length(request->path);
  if (path_length > 0xffff || request->record_length > CKFS_WOPEN_RECORD_MAX) {
    return ERR_DATAMAX;
  }
  Writer w(session->packet.data, CKFS_DATA_MAX);
  w.u8(request->mode);
  w.u32(static_cast<uint32_t>(request->modification_time));
  w.u16(static_cast<uint16_t>(path_length));
  w.bytes(request->path, path_length);
  w.u64(request->size);
  uint16_t record_length = request->record != nullptr ? request->record_length : 0;
  w.u16(record_length);
  w.bytes(request->record, record_length);
  if (!w.ok()) return ERR_DATAMAX;
  int rc = send_request(session, KFS_FILE_WOPEN, true, w.size());
  if (rc != 0) return rc;
  const ckfs_packet& packet = session->packet;
  if (packet.status != 0) return packet.status;
  return ckfs_wopen_decode(packet.data, packet.length, request);
}

int ckfs_write_decode(const uint8_t* data, int length, ckfs_write_request* request) {
  Reader r(data, length < 0 ? 0 : static_cast<size_t>(length));
  uint16_t taken = r.u16();
  if (!r.ok()) return ERR_SCKREAD;
  request->taken = taken;
  return 0;
}

int ckfs_file_write(ckfs_session* session, ckfs_write_request* request) {
  request->taken = 0;
  if (request->length > static_cast<uint32_t>(CKFS_WRITE_MAX)) return ERR_DATAMAX;
  if (request->length > 0 && request->data == nullptr) return ERR_INVARG;
  Writer w(session->packet.data, CKFS_DATA_MAX);
  w.u8(request->handle);
  w.u8(request->subtype);
  w.u16(static_cast<uint16_t>(request->length));
  w.bytes(request->data, request->length);
  if (!w.ok()) return ERR_DATAMAX;
  const bool awaits = (request->subtype & CKFS_WRITE_NO_REPLY) == 0;
  int rc = send_request(session, KFS_FILE_WRITE, awaits, w.size());
  if (rc != 0) return rc;
  if (!awaits) {
    request->taken = static_cast<uint16_t>(request->length);
    return 0;
  }
  const ckfs_packet& packet = session->packet;
  if (packet.status != 0) return packet.status;
  return ckfs_write_decode(packet.data, packet.length, request);
}

int ckfs_file_close(ckfs_session* session, uint8_t handle) {
  session->packet.data[0] = handle;
  return send_request(session, KFS_FILE_CLOSE, false, 1);
}

int ckfs_email(ckfs_session* session, const ckfs_email_request* request) {
  const int count = request->recipients != nullptr ? list_count(request->recipients) : 0;
  if (count > 0xff) return ERR_INVARG;
  if (request->text_length > 0 && request->text == nullptr) return ERR_INVARG;
  Writer w(session->packet.data, CKFS_DATA_MAX);
  w.u8(0);
  w.u64(request->schedule_id);
  w.u8(static_cast<uint8_t>(count));
  for (int i = 0; i < count; ++i) {
    size_t n = list_item_length(request->recipients, i);
    if (n > 0xff) return ERR_INVARG;
    w.u8(static_cast<uint8_t>(n));
    w.bytes(list_item(request->recipients, i), n);
  }
  if (!w.ok()) return ERR_DATAMAX;
  // 64 bits: long is only 32 on Windows.
  const int64_t before_total = static_cast<int64_t>(w.size());
  int64_t room = CKFS_EMAIL_PART_MAX - (before_total + 4);
  if (room < 0) room = 0;
  uint32_t first = request->text_length < room ? request->text_length : static_cast<uint32_t>(room);
  w.u32(request->text_length);
  w.u16(static_cast<uint16_t>(first));
  w.bytes(request->text, first);
  if (!w.ok()) return ERR_DATAMAX;
  int rc = send_request(session, KFS_EMAIL, true, w.size());
  if (rc == 0) rc = session->packet.status;
  if (rc != 0) return rc;
  uint32_t sent = first;
  while (sent < request->text_length) {
    uint32_t part = request->text_length - sent;
    if (part > CKFS_EMAIL_PART_MAX) part = CKFS_EMAIL_PART_MAX;
    Writer c(session->packet.data, CKFS_DATA_MAX);
    c.u8(2);
    c.u16(static_cast<uint16_t>(part));
    c.bytes(request->text + sent, part);
    rc = send_request(session, KFS_EMAIL, true, c.size());
    if (rc == 0) rc = session->packet.status;
    if (rc != 0) return rc;
    sent += part;
  }
  return 0;
}
