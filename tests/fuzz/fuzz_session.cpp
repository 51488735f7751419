// The whole client session against a server that answers from the input: the real
// transport, handshake, login, user lock, folder, listing, file open, block writes, close,
// delete and release, over loopback TCP with the null cipher (cipher kind 1), so the
// script can frame its answers without the session key.
//
// Input: for each connection one byte (bit 0: the key text comes from the input, bit 1:
// the handshake reply does), then for each request that awaits a reply one answer:
//   mode byte % 5 = 0  framed reply: status u8, length u16, data
//                   1  framed packet with the input's header: type u8, number u16,
//                      status u8, announced length u16, length u16, data
//                   2  as 0, with a broken CRC
//                   3  raw bytes: length u16, bytes; then the connection is closed
//                   4  the connection is closed unanswered
// When the input runs out every connection is closed at once, so the client's requests
// fail fast and the run ends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ckfs.h"

namespace {

struct Input {
  const uint8_t* p;
  size_t left;
  bool empty() const { return left == 0; }
  uint8_t u8() {
    if (left == 0) return 0;
    --left;
    return *p++;
  }
  uint16_t u16() { return static_cast<uint16_t>(u8() << 8 | u8()); }
  std::vector<uint8_t> bytes(size_t n) {
    n = n < left ? n : left;
    std::vector<uint8_t> out(p, p + n);
    p += n;
    left -= n;
    return out;
  }
};

bool send_bytes(int fd, const void* data, size_t n) {
  return n == 0 || ckfs_send_all(fd, data, static_cast<int>(n)) == static_cast<int>(n);
}

bool recv_bytes(int fd, void* data, size_t n) {
  return n == 0 || ckfs_recv_all(fd, data, static_cast<int>(n)) == static_cast<int>(n);
}

const std::string& key_text() {
  static const std::string text = [] {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(bio, key);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<size_t>(n));
    BIO_free(bio);
    EVP_PKEY_free(key);
    return out;
  }();
  return text;
}

// One framed packet under the null cipher; `crc_ok` false flips the checksum.
bool send_frame(int fd, const uint8_t header[6], const std::vector<uint8_t>& data, bool crc_ok) {
  static const uint8_t zero_key[32] = {};
  static ckfs_cipher* null_cipher = ckfs_cipher_new(1, zero_key);
  static std::vector<uint8_t> frame(CKFS_FRAME_BUFFER + 16);
  int n = ckfs_frame_encode(null_cipher, header, data.data(), static_cast<int>(data.size()),
                            frame.data());
  if (n < 0) return false;
  if (!crc_ok) frame[5] ^= 0x5a;
  return send_bytes(fd, frame.data(), static_cast<size_t>(n));
}

void put_header(uint8_t h[6], uint16_t length, uint8_t type, uint16_t number, uint8_t status) {
  h[0] = static_cast<uint8_t>(length >> 8);
  h[1] = static_cast<uint8_t>(length);
  h[2] = type;
  h[3] = static_cast<uint8_t>(number >> 8);
  h[4] = static_cast<uint8_t>(number);
  h[5] = status;
}

// Answers one request from the input; false when the connection is to be closed.
bool answer(int fd, Input* in, uint8_t type, uint16_t number) {
  if (in->empty()) return false;
  uint8_t header[6];
  switch (in->u8() % 5) {
    case 0:
    case 2: {
      bool crc_ok = in->p[-1] % 5 == 0;
      uint8_t status = in->u8();
      std::vector<uint8_t> data = in->bytes(in->u16() % (CKFS_DATA_MAX + 1));
      put_header(header, static_cast<uint16_t>(data.size()), type | 0x80, number, status);
      return send_frame(fd, header, data, crc_ok);
    }
    case 1: {
      uint8_t t = in->u8();
      uint16_t n = in->u16();
      uint8_t status = in->u8();
      uint16_t announced = in->u16();
      std::vector<uint8_t> data = in->bytes(in->u16() % (CKFS_DATA_MAX + 1));
      put_header(header, announced, t, n, status);
      return send_frame(fd, header, data, true);
    }
    case 3: {
      std::vector<uint8_t> raw = in->bytes(in->u16());
      send_bytes(fd, raw.data(), raw.size());
      return false;
    }
    default:
      return false;
  }
}

// The greeting, the key text and the handshake reply, standard or from the input.
bool handshake(int fd, Input* in) {
  uint8_t flags = in->u8();
  uint8_t greeting[4];
  if (!recv_bytes(fd, greeting, sizeof greeting)) return false;
  std::string text = key_text();
  if ((flags & 1) != 0) {
    std::vector<uint8_t> b = in->bytes(in->u16() % 600);
    text.assign(b.begin(), b.end());
  }
  uint8_t length[2] = {static_cast<uint8_t>(text.size() >> 8), static_cast<uint8_t>(text.size())};
  if (!send_bytes(fd, length, 2) || text.size() >= 512) return false;
  uint8_t sealed[256];
  if (!send_bytes(fd, text.data(), text.size()) || !recv_bytes(fd, sealed, sizeof sealed)) {
    return false;
  }
  if ((flags & 2) != 0) return answer(fd, in, 0, 0);
  uint8_t header[6];
  put_header(header, 32, 128, 0, 0);
  return send_frame(fd, header, std::vector<uint8_t>(32, 0x11), true);
}

// One connection: the handshake, then an answer to every request that awaits one.
void serve(int fd, Input* in) {
  if (in->empty() || !handshake(fd, in)) return;
  static std::vector<uint8_t> plain(65536);
  for (;;) {
    uint8_t head[6];
    if (!recv_bytes(fd, head, sizeof head)) return;
    size_t length = static_cast<size_t>(head[0] << 8 | head[1]);  // null cipher: the plain
    if (length < 6 || !recv_bytes(fd, plain.data(), length)) return;
    uint8_t type = plain[2];
    uint16_t number = static_cast<uint16_t>(plain[3] << 8 | plain[4]);
    bool no_reply = type == KFS_FILE_CLOSE ||
                    (type == KFS_FILE_WRITE && length > 7 && (plain[7] & CKFS_WRITE_NO_REPLY) != 0);
    if (!no_reply && !answer(fd, in, type, number)) return;
  }
}

void run_server(int listener, Input in, const std::atomic<bool>* done) {
  while (!done->load()) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 1) != 1) continue;
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // Answers go out in pieces; without this each would wait for the client's delayed ack.
    int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    serve(fd, &in);
    close(fd);
  }
}

// A folder of its own holding the address file that names the scripted server; the
// working directory stays as it is (the replay reads its inputs relative to it).
char hosts_path[64];

void remove_hosts() {
  std::string dir(hosts_path, strrchr(hosts_path, '/'));
  (void)unlink(hosts_path);
  (void)rmdir(dir.c_str());
}

int listener_port(int* listener) {
  char dir[] = "/tmp/fuzz-session-XXXXXX";
  if (mkdtemp(dir) == nullptr) abort();
  snprintf(hosts_path, sizeof hosts_path, "%s/hosts", dir);
  *listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(*listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(*listener, 16) != 0 ||
      getsockname(*listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    abort();
  FILE* hosts = fopen(hosts_path, "w");
  if (hosts == nullptr) abort();
  fprintf(hosts, "127.0.0.1:%d\n", ntohs(address.sin_port));
  fclose(hosts);
  atexit(remove_hosts);
  if (ckfs_init() != 0) abort();
  (void)key_text();
  return ntohs(address.sin_port);
}

void prepare(ckfs_session* s) {
  ckfs_session_init(s);
  s->mode = 1;
  s->user_number = 7;
  memset(s->machine_token, 0xab, sizeof s->machine_token);
  memset(s->key_digest, 0x11, sizeof s->key_digest);
  snprintf(s->hosts_path, sizeof s->hosts_path, "%s", hosts_path);
  s->cipher_kind = 1;
  snprintf(s->schedule_name, sizeof s->schedule_name, "%s", "Nightly");
  snprintf(s->schedule_file, sizeof s->schedule_file, "%s", "nightly.kbs");
  s->reconnect_wait_ms = 0;
}

void list_folder(ckfs_session* s) {
  ckfs_find_request find{};
  find.flags = 0x20;
  find.pattern = "";
  find.folder = "/1/docs";
  for (int page = 0; page < 3 && ckfs_find_files(s, &find) == 0; ++page) {
    for (int i = 0; i < list_count(find.entries); ++i) {
      auto* entry = reinterpret_cast<const ckfs_find_entry*>(list_item(find.entries, i));
      if (strlen(entry->name) > entry->name_length) __builtin_trap();
    }
    uint8_t handle = find.reply_handle;
    bool more = find.remaining != 0;
    ckfs_find_free(&find);
    if (!more) break;
    find = ckfs_find_request{};
    find.handle = handle;
    find.flags = 0x20;
    find.pattern = "";
    find.folder = "";
  }
  ckfs_find_free(&find);
}

void send_file(ckfs_session* s) {
  ckfs_wopen_request open{};
  open.mode = 1;
  open.modification_time = 1000000000;
  open.path = "/1/docs/a.bin";
  open.size = 100;
  if (ckfs_file_wopen(s, &open) != 0) return;
  static uint8_t md5[16] = {1, 2, 3};
  static uint8_t block[100] = {9};
  ckfs_write_request query{open.handle, CKFS_WRITE_QUERY, sizeof md5, md5, 0};
  ckfs_write_request data{open.handle, CKFS_WRITE_DATA, sizeof block, block, 0};
  ckfs_write_request end{open.handle, CKFS_WRITE_END, sizeof md5, md5, 0};
  for (ckfs_write_request* w : {&query, &data, &end}) (void)ckfs_file_write(s, w);
  (void)ckfs_file_close(s, open.handle);
}

// The order of a backup run: lock (and with it the login), folder, listing, one file,
// a deletion, the release.
void drive(ckfs_session* s) {
  prepare(s);
  uint32_t users[1] = {1};
  ckfs_lock_request lock{0, 1, users};
  (void)ckfs_user_lock(s, &lock);
  ckfs_path_request folder{0, "/1/docs"};
  (void)ckfs_mkdir(s, &folder);
  list_folder(s);
  send_file(s);
  ckfs_delete_request gone{};
  gone.path = "/1/docs/old.bin";
  (void)ckfs_delete(s, &gone);
  ckfs_lock_request release{CKFS_LOCK_RELEASE | CKFS_LOCK_SEND_TOKEN, 0, nullptr};
  (void)ckfs_user_lock(s, &release);
  if (strlen(s->user_name) >= sizeof s->user_name) __builtin_trap();
  ckfs_session_reset(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int listener = -1;
  static const int port = listener_port(&listener);
  static ckfs_session* session = new ckfs_session;
  if (size > 200000 || port == 0) return 0;
  std::atomic<bool> done{false};
  std::thread server(run_server, listener, Input{data, size}, &done);
  drive(session);
  done = true;
  server.join();
  return 0;
}
