// Session record, handshake, login and user lock.
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/env.h"
#include "platform/error.h"
#include "platform/knobs.h"
#include "platform/socket.h"
#include "protocol/ckfs.h"
#include "protocol/ckfs_internal.h"
#include "protocol/codes.h"
#include "protocol/wire.h"

using namespace kfs_wire;

namespace {

constexpr uint8_t kGreeting[4] = {0x01, 0x30, 0x32, 0x02};

void close_connection(ckfs_session* session) {
  (void)ckfs_flush(session);
  session->socket.reset();
  ckfs_link_reset(&session->link);
  ckfs_cipher_free(session->cipher);
  session->cipher = nullptr;
}

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// The server's SubjectPublicKeyInfo PEM text, parsed from memory. Only a 2048-bit RSA
// key gives the 256-byte block the exchange is made of.
Pkey read_server_key(const uint8_t* text, int length) {
  BIO* bio = BIO_new_mem_buf(text, length);
  if (bio == nullptr) return nullptr;
  Pkey key(PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr));
  BIO_free(bio);
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA ||
      EVP_PKEY_get_size(key.get()) != CKFS_RSA_BLOCK) {
    return nullptr;
  }
  return key;
}

bool rsa_oaep_encrypt(EVP_PKEY* key, const uint8_t* in, size_t in_length,
                      uint8_t out[CKFS_RSA_BLOCK]) {
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t out_length = CKFS_RSA_BLOCK;
  return ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) == 1 &&
         EVP_PKEY_encrypt(ctx.get(), out, &out_length, in, in_length) == 1 &&
         out_length == CKFS_RSA_BLOCK;
}

// Appends "host:port: cause" to what the session says about its failed connection.
void note_failure(ckfs_session* session, const char* host, int port, const char* cause) {
  char* text = session->connect_failure;
  size_t used = strnlen(text, sizeof session->connect_failure);
  if (used + 1 >= sizeof session->connect_failure) return;
  snprintf(text + used, sizeof session->connect_failure - used, "%s%s:%d: %s", used > 0 ? "; " : "",
           host, port, cause);
}

// Why a connection to a server could not be opened, in the operator's words.
void note_connect_failure(ckfs_session* session, const char* host, int port, int error) {
  char cause[160];
  if (port <= 0) {
    snprintf(cause, sizeof cause, "no port (write host:port)");
  } else if (port > 65535) {
    snprintf(cause, sizeof cause, "port %d is not a port (1 to 65535)", port);
  } else if (!plat_tcp_host_known(host)) {
    snprintf(cause, sizeof cause, "host not found");
  } else {
    snprintf(cause, sizeof cause, "%s", plat_error_message(error));
  }
  note_failure(session, host, port, cause);
}

// The server's announcement of its public key: a 16-bit length and the PEM text.
int receive_server_key(ckfs_session* session, Pkey* key) {
  uint8_t length_bytes[2];
  // A server that accepts and never speaks must not hold the job: the next host is tried.
  if (!ckfs_reply_begins(session) || ckfs_recv_all(session->socket.get(), length_bytes, 2) != 2) {
    return ERR_IO;
  }
  int n = get16(length_bytes);
  if (n > CKFS_KEY_TEXT_MAX) return ERR_INVARG;
  uint8_t text[CKFS_KEY_TEXT_MAX + 1];
  if (n > 0 && ckfs_recv_all(session->socket.get(), text, n) != n) return ERR_IO;
  *key = read_server_key(text, n);
  return *key ? 0 : ERR_BADPATH;
}

// One attempt against one server; the pending request is the caller's to restore.
int handshake_attempt(ckfs_session* session, const char* host, int port) {
  session->socket = ckfs_tcp_connect(host, port);
  if (!session->socket.valid()) {
    note_connect_failure(session, host, port, errno);
    return ERR_IO;
  }
  if (ckfs_send_all(session->socket.get(), kGreeting, sizeof kGreeting) != sizeof kGreeting) {
    return ERR_IO;
  }
  Pkey key;
  int rc = receive_server_key(session, &key);
  if (rc != 0) return rc;

  uint8_t half[32];
  if (RAND_bytes(half, sizeof half) != 1) return ERR_IO;
  struct Wipe {
    uint8_t* p;
    ~Wipe() { OPENSSL_cleanse(p, 32); }
  } wipe{half};

  ckfs_packet& packet = session->packet;
  packet.length = 34;
  packet.type = KFS_SESSION_HANDSHAKE;
  packet.request_number = 0;
  packet.status = 0;
  packet.flags = CKFS_AWAITS_REPLY;
  packet.data[0] = static_cast<uint8_t>(session->cipher_kind);
  packet.data[1] = 32;
  memcpy(packet.data + 2, half, 32);
  uint8_t plain[CKFS_HEADER_SIZE + 34];
  ckfs_packet_header(packet, plain);
  memcpy(plain + CKFS_HEADER_SIZE, packet.data, 34);
  OPENSSL_cleanse(packet.data + 2, 32);
  uint8_t sealed[CKFS_RSA_BLOCK];
  bool sealed_ok = rsa_oaep_encrypt(key.get(), plain, sizeof plain, sealed);
  OPENSSL_cleanse(plain, sizeof plain);
  key.reset();
  if (!sealed_ok) return ERR_IO;
  if (ckfs_send_all(session->socket.get(), sealed, CKFS_RSA_BLOCK) != CKFS_RSA_BLOCK) return ERR_IO;

  session->cipher = ckfs_cipher_new(session->cipher_kind, half);
  if (session->cipher == nullptr) return ERR_ACCESS;
  rc = ckfs_recv_packet(session);
  if (rc != 0) return rc;
  if (packet.length != 32 || packet.type != (KFS_SESSION_HANDSHAKE | KFS_RESPONSE_BIT) ||
      packet.status != 0 || packet.request_number != 0) {
    return ERR_ACCESS;
  }
  uint8_t session_key[32];
  for (int i = 0; i < 32; ++i) session_key[i] = half[i] ^ packet.data[i];
  rc = ckfs_cipher_rekey(session->cipher, session_key);
  OPENSSL_cleanse(session_key, sizeof session_key);
  OPENSSL_cleanse(packet.data, 32);
  return rc;
}

}  // namespace

void ckfs_session_init(ckfs_session* session) {
  // Zeroed from the heap (the record is too large for a stack temporary); assigning it
  // closes a connection still open rather than leaking it.
  *session = std::move(*std::make_unique<ckfs_session>());
  snprintf(session->key_file_path, sizeof session->key_file_path, "%s", "temp_pem_file.pem");
  session->first_connect = 1;
  session->reconnect_wait_ms = plat_knob_ms(KNOB_RECONNECT_WAIT_MS, CKFS_RECONNECT_WAIT_MS);
  session->reply_timeout_ms = plat_knob_ms(KNOB_REPLY_TIMEOUT_MS, CKFS_REPLY_TIMEOUT_MS);
  session->give_up_ms = plat_knob_ms(KNOB_GIVE_UP_MS, CKFS_GIVE_UP_MS);
  session->env = plat_env();
}

void ckfs_session_reset(ckfs_session* session) {
  close_connection(session);
  ckfs_session_init(session);
}

int ckfs_handshake(ckfs_session* session, const char* host, int port) {
  close_connection(session);
  auto pending = std::make_unique<ckfs_packet>(session->packet);
  // The host may be the session's own field; copy before overwriting.
  char host_copy[sizeof session->server_host];
  snprintf(host_copy, sizeof host_copy, "%s", host != nullptr ? host : "");
  snprintf(session->server_host, sizeof session->server_host, "%s", host_copy);
  session->server_port = port;

  size_t noted = strnlen(session->connect_failure, sizeof session->connect_failure);
  int rc = handshake_attempt(session, host_copy, port);
  session->packet = *pending;
  if (rc != 0) {
    close_connection(session);
    if (strnlen(session->connect_failure, sizeof session->connect_failure) == noted) {
      char cause[160];
      snprintf(cause, sizeof cause, "connected, but the handshake failed: %s (Error %d)",
               kfs_error_description(rc), rc);
      note_failure(session, host_copy, port, cause);
    }
    return rc;
  }
  ++session->connections;
  session->previous_replies = session->replies;
  session->replies = 0;
  rc = ckfs_send_packet(session);
  if (rc == 0) rc = ckfs_recv_packet(session);
  if (rc != 0) {
    char cause[160];
    snprintf(cause, sizeof cause,
             "connected, but the request after the handshake failed: %s (Error %d)",
             kfs_error_description(rc), rc);
    note_failure(session, host_copy, port, cause);
  }
  return rc;
}

int ckfs_login_decode(ckfs_session* session, const uint8_t* data, int length, int* again) {
  Reader r(data, length < 0 ? 0 : static_cast<size_t>(length));
  memset(&session->account, 0, sizeof session->account);
  memset(&session->user, 0, sizeof session->user);
  char discard[256];
  *again = r.u8();
  r.text8(discard, sizeof discard);
  r.bytes(2);
  r.text8(discard, sizeof discard);
  r.bytes(2);
  ckfs_account_block& a = session->account;
  a.number = r.u32();
  r.text8(a.name, sizeof a.name);
  a.byte = r.u8();
  r.text8(a.text, sizeof a.text);
  ckfs_user_block& u = session->user;
  u.number = r.u32();
  r.text8(u.name, sizeof u.name);
  r.text8(u.text1, sizeof u.text1);
  u.byte1 = r.u8();
  u.value16 = r.u16();
  r.text8(u.text2, sizeof u.text2);
  r.text8(u.text3, sizeof u.text3);
  u.value1 = r.u64();
  u.value2 = r.u64();
  u.byte2 = r.u8();
  uint8_t trailing = r.u8();
  uint32_t token = r.u32();
  if (!r.ok()) {
    *again = 0;
    return ERR_SCKREAD;
  }
  snprintf(session->user_name, sizeof session->user_name, "%s", u.name);
  session->trailing_byte = trailing;
  if (session->mode == 1 && session->keep_lock_token == 0) session->lock_token = token;
  return 0;
}

int ckfs_login(ckfs_session* session) {
  // A server may ask for a fresh login; a server that never stops asking is broken.
  for (int round = 0; round <= CKFS_LOGIN_AGAIN_MAX; ++round) {
    ckfs_packet& packet = session->packet;
    size_t name_length = strnlen(session->schedule_name, sizeof session->schedule_name);
    size_t file_length = strnlen(session->schedule_file, sizeof session->schedule_file);
    Writer w(packet.data, CKFS_DATA_MAX);
    w.u8(static_cast<uint8_t>(session->mode));
    w.u32(session->user_number);
    w.bytes(session->key_digest, 20);
    w.bytes(session->machine_token, 20);
    w.u32(0);
    w.u16(static_cast<uint16_t>(name_length));
    w.bytes(session->schedule_name, name_length);
    w.u16(static_cast<uint16_t>(file_length));
    w.bytes(session->schedule_file, file_length);
    packet.length = static_cast<uint16_t>(w.size());
    packet.type = KFS_SESSION_AUTH;
    packet.status = 0;
    packet.flags = CKFS_AWAITS_REPLY;

    int rc = ckfs_connect(session);
    if (rc != 0) return rc;
    // Whatever else came back cannot be read as a login reply.
    if (packet.type != (KFS_SESSION_AUTH | KFS_RESPONSE_BIT)) return ERR_SEQUENCE;
    if (packet.status != 0) return packet.status;
    int again = 0;
    rc = ckfs_login_decode(session, packet.data, packet.length, &again);
    if (rc != 0) return rc;
    if (again == 0) return 0;
  }
  return ERR_SEQUENCE;
}

int ckfs_user_lock(ckfs_session* session, const ckfs_lock_request* request) {
  ckfs_packet& packet = session->packet;
  Writer w(packet.data, CKFS_DATA_MAX);
  w.u8(request->flags);
  if ((request->flags & CKFS_LOCK_RELEASE) == 0) {
    if (request->count > 0 && request->user_numbers == nullptr) return ERR_INVARG;
    w.u16(request->count);
    for (int i = 0; i < request->count; ++i) w.u32(request->user_numbers[i]);
  } else if ((request->flags & CKFS_LOCK_SEND_TOKEN) != 0 && session->mode == 1) {
    w.u32(session->lock_token);
  }
  if (!w.ok()) return ERR_DATAMAX;
  packet.length = static_cast<uint16_t>(w.size());
  packet.type = KFS_USER_LOCK;
  packet.status = 0;
  packet.flags = CKFS_AWAITS_REPLY;
  int rc = ckfs_transact(session);
  if (rc == 0) ++session->replies;
  return rc != 0 ? rc : packet.status;
}
