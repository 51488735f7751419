// Test peers for the KFS client: the real kfs-devserver binary started on an ephemeral
// loopback port, and scripted loopback peers that play one server connection by hand.
#pragma once

#include <openssl/evp.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ckfs.h"
#include "tools/kfs-devserver/conn.h"

namespace kfs_test {

// kfs-devserver on 127.0.0.1:0 with a store folder; stopped (SIGKILL of its own pid) on
// destruction, its stderr then passed on to the test's. Extra arguments are appended to
// the command line; --no-sync too, unless they set --checkpoint-ms.
class DevServer {
 public:
  DevServer(const std::string& store, const std::vector<std::string>& extra = {});
  ~DevServer();
  int port() const { return port_; }
  // Lines the server printed after the port line (with --verbose), read so far: all it
  // has written until it is quiet for `quiet_ms` (0: only what is there now, so a caller
  // that polls is never held up by a busy server).
  std::string output(int quiet_ms = 200);
  // Ends the server with SIGTERM, as a person would, and answers its exit status (128 +
  // the signal when one ended it); what it wrote to stderr is then in errors().
  int stop();
  const std::string& errors() const { return errors_; }
  // Ends the server with SIGKILL, as a crash would; its stderr is then in errors().
  void crash();

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int port_ = 0;
  std::string buffered_;
  std::string errors_;
};

// A listening socket on 127.0.0.1 whose accepted connections are handed, in order, to
// the script on a thread of their own; joined on destruction.
class ScriptedPeer {
 public:
  using Script = std::function<void(int index, kfsd::Conn& conn)>;
  explicit ScriptedPeer(Script script, int connections = 1);
  ~ScriptedPeer();
  int port() const { return port_; }
  void join();

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// One RSA key per test process and its public text.
EVP_PKEY* peer_key();
const std::string& peer_key_text();

// Reads one request and answers it with `status` and `data` (type + 128, same number).
kfsd::Packet answer(kfsd::Conn& conn, uint8_t status = 0, std::vector<uint8_t> data = {});
// A login reply with the given again byte and lock token and the user name "bob".
std::vector<uint8_t> login_reply(uint8_t again, uint32_t token, const std::string& user = "bob");

// Writes etc/hosts in the working directory naming 127.0.0.1:port, starts the socket
// library and fills the session as the job run does (user 7, a fixed key digest).
void prepare_session(ckfs_session* session, int port);

}  // namespace kfs_test
