// kfs-devserver: a reference KFS server for development and tests. It keeps users,
// locks, folders, versioned files and mail in a store folder, serves each connection on
// its own thread and listens on one IPv4 address. The store's layout is in FORMAT.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kfs-devserver/faults.h"

namespace kfsd {

struct Options {
  std::string listen_host = "127.0.0.1";
  int listen_port = 0;
  std::string store;
  uint32_t block_size = 1048576;
  int page_size = 100;
  bool verbose = false;
  // Unsynced changes are made durable at the latest this long after the first of them.
  int checkpoint_ms = 5000;
  // Never wait for the disk: a killed server still loses nothing, a crash of the machine
  // may. For tests on a shared machine, where one flush waits for every process's writes.
  bool no_sync = false;
  // Block payloads of at most this many bytes are kept in the file's own row: no hash to
  // compute and no second row. Larger ones are kept once per destination, by their hash.
  size_t inline_max = 16384;
  std::vector<Fault> faults;  // planned faults; the syntax is in faults.h
};

// Binds, prints "listening HOST:PORT" on stdout and serves until SIGTERM or SIGINT, which
// report the fault plan on stderr and end the process (status 0, or kExitFaultMissed when
// a planned fault never fired). Answers a process exit status when it cannot start.
int serve(const Options& options);

// Decrypts and inflates every stored file of `user` into `to`. Exit status.
int restore(const std::string& store, uint32_t user, const std::string& account_key_hex,
            const std::string& to);

}  // namespace kfsd
