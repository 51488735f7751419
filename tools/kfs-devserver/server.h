// kfs-devserver: a reference KFS server for development and tests. It keeps users,
// locks, folders, versioned files and mail in a store folder, serves each connection on
// its own thread and listens on one IPv4 address. The store's layout is in FORMAT.md.
#pragma once

#include <cstdint>
#include <string>

namespace kfsd {

struct Options {
  std::string listen_host = "127.0.0.1";
  int listen_port = 0;
  std::string store;
  uint32_t block_size = 1048576;
  int page_size = 100;
  bool verbose = false;
  // Fault injection (0 / empty = off).
  long drop_after = 0;         // close the connection after replying to the N-th request
  long fail_query = 0;         // answer the N-th block query with ERR_SCKREAD
  uint32_t hold_lock_user = 0; // a phantom session holds this destination's lock...
  int hold_lock_seconds = 0;   // ...for this long after start
  int refuse_login = 0;        // refuse every login with this code
  long corrupt_crc = 0;        // corrupt the CRC of the N-th reply
  long drop_data = 0;          // close the connection at the N-th data message of every file
  std::string deny_prefix;     // folders and files at or below it answer ERR_ACCESS
  bool again_first_login = false;
};

// Binds, prints "listening HOST:PORT" on stdout and serves until the process ends.
// Answers a process exit status when it cannot start.
int serve(const Options& options);

// Decrypts and inflates every stored file of `user` into `to`. Exit status.
int restore(const std::string& store, uint32_t user, const std::string& account_key_hex,
            const std::string& to);

}  // namespace kfsd
