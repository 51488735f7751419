#include "tests/support/kfs_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "protocol/wire.h"
#include "tests/support/test_support.h"

namespace kfs_test {

DevServer::DevServer(const std::string& store, const std::vector<std::string>& extra) {
  std::string binary = std::string(VARNO_BUILD_DIR) + "/tools/kfs-devserver/kfs-devserver";
  std::vector<std::string> args = {binary, "--listen", "127.0.0.1:0", "--store", store};
  args.insert(args.end(), extra.begin(), extra.end());
  // A flush on a shared machine waits for every other process's writes. Only the tests
  // about durability, which set the checkpoint, let the server wait for the disk.
  if (std::find(extra.begin(), extra.end(), "--checkpoint-ms") == extra.end()) {
    args.push_back("--no-sync");
  }
  int out_fds[2];
  int err_fds[2];
  if (pipe(out_fds) != 0) return;
  if (pipe(err_fds) != 0) {
    close(out_fds[0]);
    close(out_fds[1]);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out_fds[1], 1);
    dup2(err_fds[1], 2);
    for (int fd : {out_fds[0], out_fds[1], err_fds[0], err_fds[1]}) close(fd);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_fds[1]);
  close(err_fds[1]);
  out_fd_ = out_fds[0];
  err_fd_ = err_fds[0];
  std::string line;
  char c;
  while (read(out_fd_, &c, 1) == 1 && c != '\n') line += c;
  unsigned port = 0;
  if (sscanf(line.c_str(), "listening 127.0.0.1:%u", &port) == 1) port_ = static_cast<int>(port);
  EXPECT_NE(port_, 0) << "kfs-devserver did not start: " << line;
}

namespace {

// Everything left in the pipe up to its end; the writer has exited.
std::string drain(int fd) {
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<size_t>(n));
  return text;
}

}  // namespace

int DevServer::stop() {
  if (pid_ <= 0) return -1;
  int status = 0;
  kill(pid_, SIGTERM);
  pid_t waited = waitpid(pid_, &status, 0);
  pid_ = -1;
  errors_ += drain(err_fd_);
  if (waited < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void DevServer::crash() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  errors_ += drain(err_fd_);
}

DevServer::~DevServer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    errors_ += drain(err_fd_);
    if (write(2, errors_.data(), errors_.size()) < 0) {
      // The test's stderr is gone; nothing is left to tell.
    }
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

std::string DevServer::output(int quiet_ms) {
  pollfd p{out_fd_, POLLIN, 0};
  char chunk[4096];
  while (poll(&p, 1, quiet_ms) == 1) {
    ssize_t n = read(out_fd_, chunk, sizeof chunk);
    if (n <= 0) break;
    buffered_.append(chunk, static_cast<size_t>(n));
  }
  return buffered_;
}

ScriptedPeer::ScriptedPeer(Script script, int connections) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(listener_, 4), 0);
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  int listener = listener_;
  thread_ = std::thread([listener, script, connections] {
    for (int i = 0; i < connections; ++i) {
      int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) return;
      kfsd::Conn conn(fd);
      script(i, conn);
    }
  });
}

void ScriptedPeer::join() {
  if (thread_.joinable()) thread_.join();
}

ScriptedPeer::~ScriptedPeer() {
  if (thread_.joinable()) {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
  }
  close(listener_);
}

EVP_PKEY* peer_key() {
  static EVP_PKEY* key = kfsd::generate_key();
  return key;
}

const std::string& peer_key_text() {
  static std::string text = kfsd::public_key_pem(peer_key());
  return text;
}

kfsd::Packet answer(kfsd::Conn& conn, uint8_t status, std::vector<uint8_t> data) {
  kfsd::Packet request;
  if (!conn.recv(&request)) {
    ADD_FAILURE() << "scripted peer: no request";
    return request;
  }
  kfsd::Packet reply;
  reply.type = static_cast<uint8_t>(request.type | KFS_RESPONSE_BIT);
  reply.request_number = request.request_number;
  reply.status = status;
  reply.data = std::move(data);
  conn.send(reply);
  return request;
}

std::vector<uint8_t> login_reply(uint8_t again, uint32_t token, const std::string& user) {
  std::vector<uint8_t> out(1024);
  kfs_wire::Writer w(out.data(), out.size());
  auto text = [&w](const std::string& t) {
    w.u8(static_cast<uint8_t>(t.size()));
    w.bytes(t.data(), t.size());
  };
  w.u8(again);
  text("A");
  w.u16(0);
  text("B");
  w.u16(0);
  w.u32(42);
  text("acme");
  w.u8(1);
  text("account text");
  w.u32(7);
  text(user);
  text("t1");
  w.u8(2);
  w.u16(3);
  text("t2");
  text("t3");
  w.u64(4);
  w.u64(5);
  w.u8(6);
  w.u8(9);
  w.u32(token);
  out.resize(w.size());
  return out;
}

void prepare_session(ckfs_session* session, int port) {
  testing_support::make_dirs("etc");
  testing_support::write_file("etc/hosts", "127.0.0.1:" + std::to_string(port) + "\n");
  EXPECT_EQ(ckfs_init(), 0);
  ckfs_session_init(session);
  session->mode = 1;
  session->user_number = 7;
  memset(session->machine_token, 0xab, sizeof session->machine_token);
  memset(session->key_digest, 0x11, sizeof session->key_digest);
  snprintf(session->hosts_path, sizeof session->hosts_path, "%s", "etc/hosts");
  session->cipher_kind = 3;
  snprintf(session->schedule_name, sizeof session->schedule_name, "%s", "Nightly");
  snprintf(session->schedule_file, sizeof session->schedule_file, "%s", "nightly.kbs");
  session->reconnect_wait_ms = 0;
}

}  // namespace kfs_test
