// Socket start-up, server address list, connection, frames and ckfs_transact.

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/env.h"
#include "platform/error.h"
#include "platform/socket.h"
#include "protocol/ckfs.h"
#include "protocol/ckfs_internal.h"
#include "protocol/wire.h"

#ifndef VARNO_DEFAULT_KFS_HOST
#define VARNO_DEFAULT_KFS_HOST "kfs.example.invalid"
#endif
#ifndef VARNO_DEFAULT_KFS_ADDRESS
#define VARNO_DEFAULT_KFS_ADDRESS "192.0.2.1"
#endif

using namespace kfs_wire;

namespace {

// Process-wide by design: the start-up counter and the address list of the last read.
std::atomic<int> g_started{0};

struct HostEntry {
  char host[1024];
  int port;
};
// Rebuilt by every read; the mutex keeps a reader on another thread from seeing it half
// written.
std::mutex g_hosts_mutex;
HostEntry g_hosts[2];
int g_host_count = 0;

// A session always has its Env (ckfs_session_init sets it); a record zeroed by hand has not.
Env* session_env(const ckfs_session* session) {
  return session->env != nullptr ? session->env : plat_env();
}

// atoi semantics without atoi: optional sign, leading digits, 0 when there are none.
int parse_port(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  long value = 0;
  while (*text >= '0' && *text <= '9') {
    value = value * 10 + (*text++ - '0');
    if (value > 0x7fffffffL) value = 0x7fffffffL;
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

int ckfs_init() {
  if (plat_socket_startup() != 0) return -1;
  ++g_started;
  return 0;
}

int ckfs_cleanup() {
  if (g_started <= 0) return 0;
  --g_started;
  return plat_socket_cleanup();
}

bool ckfs_is_started() {
  return g_started != 0;
}

const char* ckfs_default_host() {
  return VARNO_DEFAULT_KFS_HOST;
}
const char* ckfs_default_address() {
  return VARNO_DEFAULT_KFS_ADDRESS;
}

int ckfs_host_count() {
  std::lock_guard<std::mutex> lock(g_hosts_mutex);
  return g_host_count;
}
const char* ckfs_host_name(int index) {
  std::lock_guard<std::mutex> lock(g_hosts_mutex);
  return (index >= 0 && index < g_host_count) ? g_hosts[index].host : nullptr;
}
int ckfs_host_port(int index) {
  std::lock_guard<std::mutex> lock(g_hosts_mutex);
  return (index >= 0 && index < g_host_count) ? g_hosts[index].port : 0;
}

int ckfs_read_hosts(ckfs_session* session) {
  std::lock_guard<std::mutex> lock(g_hosts_mutex);
  g_host_count = 0;
  FILE* file = session_env(session)->open_stream(session->hosts_path, "r");
  if (file == nullptr) return ERR_BADPATH;
  bool rewrite = false;
  char line[1024];
  while (g_host_count < 2 && fgets(line, sizeof line, file) != nullptr) {
    char* cut = strchr(line, '\n');
    if (cut != nullptr) *cut = '\0';
    if ((cut = strchr(line, '\r')) != nullptr) *cut = '\0';
    if ((cut = strchr(line, '#')) != nullptr) *cut = '\0';
    size_t n = strlen(line);
    while (n > 0 && line[n - 1] == ' ') line[--n] = '\0';
    char* colon = strchr(line, ':');
    if (colon == nullptr) continue;
    *colon = '\0';
    HostEntry& entry = g_hosts[g_host_count++];
    const char* host = line;
    if (strcmp(line, VARNO_DEFAULT_KFS_ADDRESS) == 0) {
      host = VARNO_DEFAULT_KFS_HOST;
      rewrite = true;
    }
    snprintf(entry.host, sizeof entry.host, "%s", host);
    entry.port = parse_port(colon + 1);
  }
  fclose(file);
  if (rewrite) {
    FILE* out = session_env(session)->open_stream(session->hosts_path, "w");
    if (out != nullptr) {
      for (int i = 0; i < g_host_count; ++i) {
        fprintf(out, "%s:%u\n", g_hosts[i].host, static_cast<unsigned>(g_hosts[i].port));
      }
      fclose(out);
    }
  }
  return g_host_count == 0 ? ERR_IO : 0;
}

Socket ckfs_tcp_connect(const char* host, int port) {
  return plat_tcp_connect(host, port);
}

int ckfs_send_all(int socket, const void* bytes, int count) {
  if (count < 0) return -1;
  return plat_socket_send_all(socket, bytes, static_cast<size_t>(count)) < 0 ? -1 : count;
}

int ckfs_recv_all(int socket, void* buffer, int count) {
  uint8_t* p = static_cast<uint8_t*>(buffer);
  int done = 0;
  while (done < count) {
    ssize_t n = plat_socket_recv(socket, p + done, static_cast<size_t>(count - done));
    if (n <= 0) return -1;
    done += static_cast<int>(n);
  }
  return count;
}

// ---- cipher state and frames ----

namespace {

bool cipher_setup(ckfs_cipher* c) {
  for (EVP_CIPHER_CTX* ctx : {c->decrypt, c->encrypt}) {
    int enc = (ctx == c->encrypt) ? 1 : 0;
    if (EVP_CIPHER_CTX_reset(ctx) != 1 ||
        EVP_CipherInit_ex(ctx, c->cipher, nullptr, c->key, c->iv, enc) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 1) != 1) {
      return false;
    }
  }
  return true;
}

// Restarts one context so the next packet is a fresh CBC message.
bool cipher_restart(ckfs_cipher* c, EVP_CIPHER_CTX* ctx) {
  return EVP_CipherInit_ex(ctx, nullptr, nullptr, c->key, c->iv, -1) == 1;
}

}  // namespace

ckfs_cipher* ckfs_cipher_new(int cipher_kind, const uint8_t key[32]) {
  if (cipher_kind < 1 || cipher_kind > 3) return nullptr;
  auto* c = new ckfs_cipher{};
  c->cipher = (cipher_kind == 3) ? EVP_aes_256_cbc() : EVP_enc_null();
  memcpy(c->key, key, sizeof c->key);
  c->decrypt = EVP_CIPHER_CTX_new();
  c->encrypt = EVP_CIPHER_CTX_new();
  if (c->decrypt == nullptr || c->encrypt == nullptr || !cipher_setup(c)) {
    ckfs_cipher_free(c);
    return nullptr;
  }
  return c;
}

int ckfs_cipher_rekey(ckfs_cipher* cipher, const uint8_t key[32]) {
  if (cipher == nullptr) return ERR_ACCESS;
  memcpy(cipher->key, key, sizeof cipher->key);
  return cipher_setup(cipher) ? 0 : ERR_ACCESS;
}

void ckfs_cipher_free(ckfs_cipher* cipher) {
  if (cipher == nullptr) return;
  EVP_CIPHER_CTX_free(cipher->decrypt);
  EVP_CIPHER_CTX_free(cipher->encrypt);
  OPENSSL_cleanse(cipher->key, sizeof cipher->key);
  delete cipher;
}

uint8_t* ckfs_cipher_frame(ckfs_cipher* cipher) {
  return cipher->frame;
}

int ckfs_link_recv(ckfs_link* c, int socket, void* buffer, int count) {
  if (count < 0) return -1;
  uint8_t* p = static_cast<uint8_t*>(buffer);
  int done = 0;
  while (done < count) {
    if (c->received_start == c->received_end) {
      // A long rest goes straight to the caller's buffer, not through ours.
      if (count - done >= static_cast<int>(sizeof c->received)) {
        ssize_t n = plat_socket_recv(socket, p + done, static_cast<size_t>(count - done));
        if (n <= 0) return -1;
        done += static_cast<int>(n);
        continue;
      }
      ssize_t n = plat_socket_recv(socket, c->received, sizeof c->received);
      if (n <= 0) return -1;
      c->received_start = 0;
      c->received_end = static_cast<int>(n);
    }
    int take = c->received_end - c->received_start;
    if (take > count - done) take = count - done;
    memcpy(p + done, c->received + c->received_start, static_cast<size_t>(take));
    c->received_start += take;
    done += take;
  }
  return count;
}

bool ckfs_link_has_received(const ckfs_link* link) {
  return link->received_start != link->received_end;
}

void ckfs_link_reset(ckfs_link* link) {
  link->held_length = 0;
  link->received_start = 0;
  link->received_end = 0;
}

int ckfs_frame_length(const uint8_t* frame_header) {
  int e = get16(frame_header);
  return e == 0 ? 65536 : e;
}

uint32_t ckfs_frame_crc(const uint8_t* frame_header) {
  return get32(frame_header + 2);
}

int ckfs_frame_encode(ckfs_cipher* c, const uint8_t* header, const uint8_t* data, int data_length,
                      uint8_t* frame) {
  if (data_length < 0 || data_length > CKFS_DATA_MAX) return -1;
  uint8_t* out = frame + CKFS_FRAME_HEADER_SIZE;
  int produced = 0;
  int n = 0;
  bool ok = EVP_CipherUpdate(c->encrypt, out, &n, header, CKFS_HEADER_SIZE) == 1;
  produced += n;
  if (ok && data_length > 0) {
    ok = EVP_CipherUpdate(c->encrypt, out + produced, &n, data, data_length) == 1;
    produced += n;
  }
  if (ok) {
    ok = EVP_CipherFinal_ex(c->encrypt, out + produced, &n) == 1;
    produced += n;
  }
  if (!cipher_restart(c, c->encrypt) || !ok) return -1;
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, header, CKFS_HEADER_SIZE);
  if (data_length > 0) crc = crc32(crc, data, static_cast<uInt>(data_length));
  // The widest packet pads to 65520 bytes; never more than the length field can say.
  if (produced > 65535) return -1;
  put16(frame, static_cast<uint16_t>(produced));
  put32(frame + 2, static_cast<uint32_t>(crc));
  return produced + CKFS_FRAME_HEADER_SIZE;
}

int ckfs_frame_decrypt(ckfs_cipher* c, int encrypted_length, uint32_t crc) {
  if (encrypted_length <= 0 || encrypted_length > CKFS_FRAME_BUFFER) return -1;
  // In place: CBC decryption never writes ahead of what it has read.
  uint8_t* p = c->frame;
  int n = 0;
  int produced = 0;
  bool ok = EVP_CipherUpdate(c->decrypt, p, &n, p, encrypted_length) == 1;
  produced = n;
  if (ok) {
    ok = EVP_CipherFinal_ex(c->decrypt, p + produced, &n) == 1;
    if (ok) produced += n;
  }
  if (!cipher_restart(c, c->decrypt)) return -1;
  if (!ok || produced < CKFS_HEADER_SIZE || produced > CKFS_PACKET_BUFFER) return -1;
  uLong sum = crc32(0L, Z_NULL, 0);
  sum = crc32(sum, p, static_cast<uInt>(produced));
  if (static_cast<uint32_t>(sum) != crc) return -1;
  return produced;
}

int ckfs_packet_parse(const uint8_t* plain, int plain_length, ckfs_packet* packet) {
  if (plain_length < CKFS_HEADER_SIZE || plain_length > CKFS_PACKET_BUFFER) return ERR_SCKREAD;
  uint16_t length = get16(plain);
  if (length > plain_length - CKFS_HEADER_SIZE) return ERR_SCKREAD;
  packet->length = length;
  packet->type = plain[2];
  packet->request_number = get16(plain + 3);
  packet->status = plain[5];
  memmove(packet->data, plain + CKFS_HEADER_SIZE, length);
  return 0;
}

// ---- packets ----

void ckfs_packet_header(const ckfs_packet& packet, uint8_t header[CKFS_HEADER_SIZE]) {
  put16(header, packet.length);
  header[2] = packet.type;
  put16(header + 3, packet.request_number);
  header[5] = packet.status;
}

namespace {

// Whether the connection is still fit for a request: a closed or failed connection shows
// as readable before any reply is due; so do bytes no request asked for, whether still in
// the socket or already read ahead. Held frames go down with an unfit one.
bool connection_usable(ckfs_session* session) {
  if (!ckfs_link_has_received(&session->link) &&
      plat_socket_wait_readable(session->socket.get(), 0) == 0) {
    return true;
  }
  session->link.held_length = 0;
  return false;
}

// Sends the held frames; they are gone either way.
bool send_held(ckfs_session* session) {
  ckfs_link* c = &session->link;
  const int length = c->held_length;
  c->held_length = 0;
  return length == 0 || ckfs_send_all(session->socket.get(), c->held.data(), length) == length;
}

}  // namespace

int ckfs_flush(ckfs_session* session) {
  if (!session->socket.valid() || session->cipher == nullptr) return 0;
  if (session->link.held_length == 0) return 0;
  return connection_usable(session) && send_held(session) ? 0 : ERR_SCKWRITE;
}

int ckfs_send_packet(ckfs_session* session) {
  if (!session->socket.valid() || session->cipher == nullptr) return ERR_SCKWRITE;
  ckfs_packet& packet = session->packet;
  if (packet.length > CKFS_DATA_MAX) return ERR_DATAMAX;
  ckfs_link* c = &session->link;
  // A close is never held: it takes the file's held tail out in one send, so nothing of a
  // file waits behind local work and its success can rest on a send that happened.
  const bool hold = session->hold_no_reply != 0 && (packet.flags & CKFS_AWAITS_REPLY) == 0 &&
                    packet.type != KFS_FILE_CLOSE;
  constexpr int kFrameMax = CKFS_FRAME_HEADER_SIZE + CKFS_FRAME_BUFFER;
  const size_t capacity = (session->hold_no_reply != 0 ? 2 : 1) * static_cast<size_t>(kFrameMax);
  if (c->held.size() < capacity) c->held.resize(capacity);
  const bool room = c->held_length + kFrameMax <= static_cast<int>(c->held.size());
  if (!(hold && room)) {
    if (!connection_usable(session)) return ERR_SCKWRITE;
    if (!room && !send_held(session)) return ERR_SCKWRITE;
  }
  uint8_t header[CKFS_HEADER_SIZE];
  ckfs_packet_header(packet, header);
  int total = ckfs_frame_encode(session->cipher, header, packet.data, packet.length,
                                c->held.data() + c->held_length);
  if (total < 0) return ERR_SCKWRITE;
  c->held_length += total;
  if (hold) return 0;
  return send_held(session) ? 0 : ERR_SCKWRITE;
}

bool ckfs_reply_begins(ckfs_session* session) {
  if (ckfs_link_has_received(&session->link)) return true;
  const uint32_t limit =
      session->reply_timeout_ms != 0 ? session->reply_timeout_ms : CKFS_REPLY_TIMEOUT_MS;
  const int wait = limit > 0x7fffffffu ? 0x7fffffff : static_cast<int>(limit);
  return plat_socket_wait_readable(session->socket.get(), wait) > 0;
}

int ckfs_recv_packet(ckfs_session* session) {
  ckfs_packet& packet = session->packet;
  if ((packet.flags & CKFS_AWAITS_REPLY) == 0) return 0;
  if (!session->socket.valid() || session->cipher == nullptr) return ERR_SCKREAD;
  // A reply that does not begin in time is a broken connection; one that trickles is not.
  if (!ckfs_reply_begins(session)) return ERR_SCKREAD;
  uint8_t head[CKFS_FRAME_HEADER_SIZE];
  ckfs_cipher* cipher = session->cipher;
  const int socket = session->socket.get();
  if (ckfs_link_recv(&session->link, socket, head, sizeof head) != static_cast<int>(sizeof head)) {
    return ERR_SCKREAD;
  }
  int e = ckfs_frame_length(head);
  // A frame the buffer cannot hold is a broken stream; the rest of it is not read.
  if (e > CKFS_FRAME_BUFFER) return ERR_SCKREAD;
  uint8_t* frame = cipher->frame;
  if (ckfs_link_recv(&session->link, socket, frame, e) != e) return ERR_SCKREAD;
  int plain = ckfs_frame_decrypt(cipher, e, ckfs_frame_crc(head));
  if (plain < 0) return ERR_SCKREAD;
  return ckfs_packet_parse(frame, plain, &packet);
}

int ckfs_connect(ckfs_session* session) {
  session->connect_failure[0] = '\0';
  if (!ckfs_is_started()) return ERR_SEQUENCE;
  if (session->cipher_kind < 1 || session->cipher_kind > 3) return ERR_ACCESS;
  int rc = ckfs_read_hosts(session);
  if (rc == ERR_BADPATH) {
    snprintf(session->connect_failure, sizeof session->connect_failure, "cannot read '%s': %s",
             session->hosts_path, plat_error_message(errno));
  } else if (rc != 0) {
    snprintf(session->connect_failure, sizeof session->connect_failure,
             "'%s' names no server (no line of the form host:port)", session->hosts_path);
  }
  if (rc != 0) return rc;
  // Copies: the list is rebuilt by the next read.
  HostEntry hosts[2];
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(g_hosts_mutex);
    count = g_host_count;
    memcpy(hosts, g_hosts, sizeof hosts);
  }
  for (int i = 0; i < count; ++i) {
    if (ckfs_handshake(session, hosts[i].host, hosts[i].port) == 0) {
      session->connect_failure[0] = '\0';
      return 0;
    }
  }
  return ERR_IO;
}

namespace {

// A message about an open file names a handle that only its own connection knows; on a new
// one it would be a block end without its data, or the close of a file never sent there.
bool names_file_handle(uint8_t type) {
  return type == KFS_FILE_WRITE || type == KFS_FILE_CLOSE;
}

// Ends a connection whose stream can no longer be trusted; the next request connects again.
void drop_connection(ckfs_session* session) {
  session->link.held_length = 0;
  session->socket.reset();
}

}  // namespace

ckfs_mark ckfs_mark_now(const ckfs_session* session) {
  return ckfs_mark{session->connections, session->replies};
}

bool ckfs_gave_up(const ckfs_session* session) {
  if (session->unreachable_since_ms == 0 || session->env == nullptr) return false;
  // Stored one ahead, so that a tick of 0 still reads as "unreachable".
  return session->env->tick_ms() + 1 - session->unreachable_since_ms >= session->give_up_ms;
}

bool ckfs_same_connection(const ckfs_session* session, ckfs_mark mark) {
  return session->connections == mark.connection;
}

ckfs_confirmation ckfs_confirmed(const ckfs_session* session, ckfs_mark mark) {
  if (mark.connection == session->connections) {
    return session->replies > mark.replies ? ckfs_confirmation::kConfirmed
                                           : ckfs_confirmation::kPending;
  }
  if (mark.connection + 1 == session->connections && session->previous_replies > mark.replies) {
    return ckfs_confirmation::kConfirmed;
  }
  return ckfs_confirmation::kLost;
}

int ckfs_transact(ckfs_session* session) {
  ckfs_packet& packet = session->packet;
  if (packet.length > CKFS_DATA_MAX) return ERR_DATAMAX;
  const uint8_t type = packet.type;
  const uint16_t number = packet.request_number;
  if (ckfs_send_packet(session) != 0) {
    if (ckfs_gave_up(session)) return ERR_IO;
    const bool had_connection = session->connections != 0;
    if (session->first_connect != 0) {
      session->first_connect = 0;
    } else {
      session_env(session)->sleep_ms(session->reconnect_wait_ms);
    }
    // Saved off the session: the login rebuilds the packet record. Only on a reconnection.
    auto saved = std::make_unique<ckfs_packet>(packet);
    int rc = ckfs_login(session);
    packet = *saved;
    if (rc != 0) {
      if (session->unreachable_since_ms == 0 && session->env != nullptr) {
        session->unreachable_since_ms = session->env->tick_ms() + 1;
      }
      session->unreachable_code = rc;
      return rc;
    }
    session->unreachable_since_ms = 0;
    // The file starts over with a fresh open on the new connection.
    if (had_connection && names_file_handle(type)) return ERR_SCKREAD;
    if (ckfs_send_packet(session) != 0) return ERR_SCKWRITE;
  }
  if ((packet.flags & CKFS_AWAITS_REPLY) == 0) return 0;
  if (session->reply_wait_hook != nullptr) session->reply_wait_hook(session->reply_wait_hook_arg);
  if (!ckfs_reply_begins(session)) {
    // A server that stays silent this long is taken for a broken connection.
    drop_connection(session);
    return ERR_SCKREAD;
  }
  int rc = ckfs_recv_packet(session);
  if (rc != 0) return rc;
  if (packet.type != static_cast<uint8_t>(type | KFS_RESPONSE_BIT) ||
      packet.request_number != number) {
    // A reply that is not this request's puts every later one out of step.
    drop_connection(session);
    return ERR_SEQUENCE;
  }
  return 0;
}
