// KFS protocol client: socket start-up, server address list, framed and encrypted
// transport, session (handshake, login, user lock) and the file and directory requests.
// A session belongs to one thread at a time (the backup thread); it is a plain record,
// set up with ckfs_session_init and released with ckfs_session_reset. Every operation
// answers a KFS code (protocol/codes.h): 0, a transport code or the server's status.
// Packets are built and parsed in the session's fixed buffers; nothing is allocated per
// packet. Every length a server sends is checked before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/env.h"
#include "platform/handle.h"
#include "protocol/codes.h"
#include "util/list.h"

// Sizes fixed by the protocol.
constexpr int CKFS_HEADER_SIZE = 6;        // length, type, request number, status
constexpr int CKFS_PACKET_BUFFER = 65505;  // header and data of one plain packet
constexpr int CKFS_DATA_MAX = CKFS_PACKET_BUFFER - CKFS_HEADER_SIZE;
constexpr int CKFS_FRAME_HEADER_SIZE = 6;     // encrypted length, CRC-32
constexpr int CKFS_FRAME_BUFFER = 65527;      // one outer frame
constexpr int CKFS_WRITE_MAX = 65491;         // largest KFS_FILE_WRITE payload
constexpr int CKFS_WOPEN_RECORD_MAX = 57273;  // largest security record
constexpr int CKFS_EMAIL_PART_MAX = 60000;
constexpr int CKFS_KEY_TEXT_MAX = 511;  // longest server key text accepted
constexpr int CKFS_RSA_BLOCK = 256;     // the server key is 2048 bits
constexpr uint32_t CKFS_RECONNECT_WAIT_MS = 30000;
// A server that has not begun a reply within this time is taken for a broken connection.
constexpr uint32_t CKFS_REPLY_TIMEOUT_MS = 5 * 60 * 1000;
// Reconnecting that has failed for this long gives the server up for the job.
constexpr uint32_t CKFS_GIVE_UP_MS = 10 * 60 * 1000;
constexpr int CKFS_LOGIN_AGAIN_MAX = 8;

constexpr uint32_t CKFS_AWAITS_REPLY = 1u;  // bit 0 of ckfs_packet::flags

struct ckfs_packet {
  uint16_t length;
  uint8_t type;
  uint16_t request_number;
  uint8_t status;
  uint8_t data[CKFS_PACKET_BUFFER];
  uint32_t flags;
};

struct ckfs_cipher;  // cipher state of one connection, owned by the session

// What one connection holds beside its cipher: frames held back to go out in one send, and
// bytes read ahead of the caller. Emptied when the connection ends.
struct ckfs_link {
  // Grown on first use to one frame, or two for a session that holds.
  std::vector<uint8_t> held;
  int held_length = 0;
  uint8_t received[16384];
  int received_start = 0;
  int received_end = 0;
};

struct ckfs_account_block {
  uint32_t number;
  char name[126];
  uint8_t byte;
  char text[256];
};

struct ckfs_user_block {
  uint32_t number;
  char name[21];
  uint8_t byte1;
  char text1[256];
  uint8_t byte2;
  char text2[26];
  char text3[43];
  uint64_t value1;
  uint64_t value2;
  uint16_t value16;
};

struct ckfs_session {
  int mode;
  char user_name[21];
  uint32_t user_number;
  uint8_t machine_token[20];
  uint8_t key_digest[20];
  char hosts_path[128];
  // Kept for callers that name it; the server's key is read from memory, so no file of
  // this name is ever created.
  char key_file_path[128];
  Socket socket;
  ckfs_packet packet;
  int cipher_kind;
  ckfs_cipher* cipher;
  ckfs_link link;
  char server_host[1024];
  int server_port;
  // Why the last connection could not be made, for the caller to log: each server tried as
  // "host:port: cause" ("; " between them), or what kept the address file from naming one.
  // Empty once a connection is made. The protocol logs nothing itself.
  char connect_failure[1536];
  ckfs_account_block account;
  ckfs_user_block user;
  uint8_t trailing_byte;
  int first_connect;
  int keep_lock_token;
  uint32_t lock_token;
  char schedule_name[200];
  char schedule_file[200];
  // Wait before a reconnection; 30000 ms unless VARNO_RECONNECT_WAIT_MS says otherwise
  // when the session is initialised. Tests shorten it.
  uint32_t reconnect_wait_ms;
  // Clock and sleep of the session (the reconnection wait); plat_env() unless a test
  // wraps it to record or skip the waits.
  Env* env;
  // VARNO_REPLY_TIMEOUT_MS and VARNO_GIVE_UP_MS, read when the session is initialised; and
  // the tick of the first failed reconnection since the last good one (0: none).
  uint32_t reply_timeout_ms;
  uint32_t give_up_ms;
  uint64_t unreachable_since_ms;
  int unreachable_code;  // what the last failed reconnection answered
  // Connections this session has opened (successful handshakes), and the replies read on
  // the current one and on the one before it. Callers ask through ckfs_mark_now and the
  // questions below, not by reading these.
  uint32_t connections;
  uint32_t replies;
  uint32_t previous_replies;
  // Non-zero: block data and block ends (messages that await no reply) are held and go out
  // in one send with the next request, at the file's close, or at ckfs_flush. The server
  // sees the same requests in the same order. A close is never held: it leaves at once
  // with what was held before it.
  int hold_no_reply;
  // The reply-wait hook: called (when set) once a request that awaits a reply is on its
  // way, before the reply is read, so the caller's own work overlaps the server's. It runs
  // on the calling thread, must not use the session, and should return within about the
  // time a reply takes (one small block's encoding, not a file's).
  void (*reply_wait_hook)(void* arg);
  void* reply_wait_hook_arg;
};

// Where the conversation stands: the connection and the replies read on it so far. The
// server handles a connection's requests in order, so a reply read after a mark vouches
// for every message sent before it on that connection, those that await no reply included.
struct ckfs_mark {
  uint32_t connection;
  uint32_t replies;
};
ckfs_mark ckfs_mark_now(const ckfs_session* session);
// Whether the session still talks on the connection of `mark` (a server forgets the open
// file handles of a connection that broke).
bool ckfs_same_connection(const ckfs_session* session, ckfs_mark mark);
enum class ckfs_confirmation {
  kConfirmed,  // a reply on the mark's connection came after it
  kPending,    // same connection, no reply yet
  kLost,       // the connection went without a reply after the mark
};
// What the session can tell of the messages sent right after `mark`.
ckfs_confirmation ckfs_confirmed(const ckfs_session* session, ckfs_mark mark);
// Whether reconnecting has failed for give_up_ms: every later request then fails at once
// with ERR_IO, without the reconnection wait.
bool ckfs_gave_up(const ckfs_session* session);

// ---- socket library and address list (process-wide, backup thread only) ----

[[nodiscard]] int ckfs_init();
int ckfs_cleanup();
bool ckfs_is_started();

// Deployment defaults (CMake VARNO_DEFAULT_KFS_HOST / VARNO_DEFAULT_KFS_ADDRESS).
const char* ckfs_default_host();
const char* ckfs_default_address();

// Rebuilds the address list (at most two servers) from session->hosts_path; a line naming
// the default numeric address is replaced by the default host name and the file rewritten.
[[nodiscard]] int ckfs_read_hosts(ckfs_session* session);
int ckfs_host_count();
// Null outside the list; the text stays valid until the next read.
const char* ckfs_host_name(int index);
int ckfs_host_port(int index);

// ---- transport ----

// IPv4 stream connection with TCP_NODELAY; invalid on any failure or for port 0.
[[nodiscard]] Socket ckfs_tcp_connect(const char* host, int port);
// All `count` bytes or -1.
[[nodiscard]] int ckfs_send_all(int socket, const void* bytes, int count);
[[nodiscard]] int ckfs_recv_all(int socket, void* buffer, int count);

[[nodiscard]] int ckfs_send_packet(ckfs_session* session);
// Sends what hold_no_reply held back, before a pause in the conversation (a folder to
// list). ERR_SCKWRITE when the connection is broken; the held messages are then lost with
// it, as if they had been sent into it.
int ckfs_flush(ckfs_session* session);
[[nodiscard]] int ckfs_recv_packet(ckfs_session* session);
[[nodiscard]] int ckfs_connect(ckfs_session* session);
[[nodiscard]] int ckfs_transact(ckfs_session* session);

// ---- cipher state ----

ckfs_cipher* ckfs_cipher_new(int cipher_kind, const uint8_t key[32]);
[[nodiscard]] int ckfs_cipher_rekey(ckfs_cipher* cipher, const uint8_t key[32]);
void ckfs_cipher_free(ckfs_cipher* cipher);

// Frame codec shared with the reference server. `plain` holds header and data
// (plain_length bytes). Encoding writes the 6-byte frame header and the encrypted packet
// to `frame` (capacity CKFS_FRAME_BUFFER) and answers the frame's total size, or -1.
int ckfs_frame_encode(ckfs_cipher* cipher, const uint8_t* header, const uint8_t* data,
                      int data_length, uint8_t* frame);
// Decrypts `encrypted_length` bytes at the cipher's frame buffer in place and checks the
// CRC. Answers the plain length, or -1 when it cannot be held or does not check.
int ckfs_frame_decrypt(ckfs_cipher* cipher, int encrypted_length, uint32_t crc);
uint8_t* ckfs_cipher_frame(ckfs_cipher* cipher);
// All `count` bytes of the link's connection, or -1. Each receive asks for as much as the
// link's buffer holds, so a reply's header and body, or several requests sent together,
// cost one call; what was read ahead stays for the next call.
[[nodiscard]] int ckfs_link_recv(ckfs_link* link, int socket, void* buffer, int count);
// Whether bytes read ahead are waiting.
bool ckfs_link_has_received(const ckfs_link* link);
// Forgets what the link held and read ahead: its connection ended.
void ckfs_link_reset(ckfs_link* link);
// The length announced by a frame header (0 stands for 65536), and its CRC.
int ckfs_frame_length(const uint8_t* frame_header);
uint32_t ckfs_frame_crc(const uint8_t* frame_header);
// Parses a decrypted plain packet (header and data) into `packet`; 0 or ERR_SCKREAD when
// the announced data length exceeds what arrived.
[[nodiscard]] int ckfs_packet_parse(const uint8_t* plain, int plain_length, ckfs_packet* packet);

// ---- session, handshake, login, lock ----

void ckfs_session_init(ckfs_session* session);
void ckfs_session_reset(ckfs_session* session);
[[nodiscard]] int ckfs_handshake(ckfs_session* session, const char* host, int port);
[[nodiscard]] int ckfs_login(ckfs_session* session);
// Decodes a login reply's data into the session (texts truncated to their capacities).
// ERR_SCKREAD when the data ends early. Sets *again from the first byte.
[[nodiscard]] int ckfs_login_decode(ckfs_session* session, const uint8_t* data, int length,
                                    int* again);

struct ckfs_lock_request {
  uint8_t flags;
  uint16_t count;
  const uint32_t* user_numbers;
};
constexpr uint8_t CKFS_LOCK_RELEASE = 1;
constexpr uint8_t CKFS_LOCK_USES_INDEX = 2;
constexpr uint8_t CKFS_LOCK_SEND_TOKEN = 4;
constexpr uint8_t CKFS_LOCK_INDEX_START = 8;
[[nodiscard]] int ckfs_user_lock(ckfs_session* session, const ckfs_lock_request* request);

// ---- file and directory operations ----

struct ckfs_path_request {
  uint8_t flags;
  const char* path;
};

struct ckfs_delete_request {
  uint8_t flags;
  const char* path;
  uint32_t value1;  // reply fields, kept whatever the status
  uint32_t value2;
  uint64_t value3;
  uint64_t value4;
};

struct ckfs_find_entry {
  char* name;  // owned, NUL-terminated
  uint16_t name_length;
  uint32_t kind;
  uint32_t modification_time;
  uint64_t size;
  uint64_t second_value;
};

struct ckfs_find_request {
  uint8_t handle;
  uint8_t flags;
  const char* pattern;
  const char* folder;
  // reply
  uint16_t count;
  uint32_t remaining;
  uint8_t reply_handle;
  List* entries;  // items are ckfs_find_entry records; released by ckfs_find_free
};

struct ckfs_wopen_request {
  uint8_t mode;
  int64_t modification_time;
  const char* path;
  uint64_t size;
  uint16_t record_length;
  const uint8_t* record;
  // reply
  uint8_t handle;
  uint16_t checksummed_blocks;
  uint32_t block_size;
  uint16_t block_count;
};

struct ckfs_write_request {
  uint8_t handle;
  uint8_t subtype;
  uint32_t length;
  const uint8_t* data;
  uint16_t taken;  // reply
};
constexpr uint8_t CKFS_WRITE_QUERY = 1;
constexpr uint8_t CKFS_WRITE_DATA = 8;
constexpr uint8_t CKFS_WRITE_END = 10;
constexpr uint8_t CKFS_WRITE_NO_REPLY = 8;

struct ckfs_email_request {
  uint64_t schedule_id;
  List* recipients;  // texts
  uint32_t text_length;
  const char* text;
};

[[nodiscard]] int ckfs_mkdir(ckfs_session* session, const ckfs_path_request* request);
[[nodiscard]] int ckfs_delete(ckfs_session* session, ckfs_delete_request* request);
[[nodiscard]] int ckfs_find_files(ckfs_session* session, ckfs_find_request* request);
void ckfs_find_free(ckfs_find_request* request);
[[nodiscard]] int ckfs_file_wopen(ckfs_session* session, ckfs_wopen_request* request);
[[nodiscard]] int ckfs_file_write(ckfs_session* session, ckfs_write_request* request);
int ckfs_file_close(ckfs_session* session, uint8_t handle);
[[nodiscard]] int ckfs_email(ckfs_session* session, const ckfs_email_request* request);

// Reply decoders, exposed for tests and fuzzing: each reads `length` bytes of reply data
// and answers 0 or ERR_SCKREAD when the data is short or inconsistent.
[[nodiscard]] int ckfs_delete_decode(const uint8_t* data, int length, ckfs_delete_request* request);
[[nodiscard]] int ckfs_find_decode(const uint8_t* data, int length, bool wide_names,
                                   ckfs_find_request* request);
[[nodiscard]] int ckfs_wopen_decode(const uint8_t* data, int length, ckfs_wopen_request* request);
[[nodiscard]] int ckfs_write_decode(const uint8_t* data, int length, ckfs_write_request* request);
