// State shared by the connections (store, locks, fault plan) and the state of one
// connection, with the request handlers that work on them. Internal to kfs-devserver.
#pragma once

#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/wire.h"
#include "tools/kfs-devserver/faults.h"
#include "tools/kfs-devserver/server.h"
#include "tools/kfs-devserver/store.h"

namespace kfsd {

// A lock outlives a dropped connection for a while, so the same user and schedule can
// reconnect and carry on; another client still finds it taken.
struct LockHolder {
  uint64_t conn = 0;  // 0 once orphaned
  std::string owner;  // login user and schedule file
  std::chrono::steady_clock::time_point orphaned_until;
};
constexpr std::chrono::minutes kOrphanedLockLife{15};

struct Shared {
  Options options;
  Store store{""};
  EVP_PKEY* key = nullptr;
  std::string key_text;
  std::mutex mutex;                      // one request at a time across connections
  std::map<uint32_t, LockHolder> locks;  // destination user -> holder
  FaultPlan faults;
  std::atomic<uint64_t> next_conn{1};
  std::mutex out_mutex;
};

struct OpenFile {
  std::string path;  // in the store
  FileMeta old;
  FileMeta next;
  uint16_t count = 0;
  uint16_t done = 0;       // blocks finished so far
  long data_messages = 0;  // block data messages received for this open
  bool receiving = false;  // between an accepted query and its block end
  bool broken = false;
  std::vector<uint8_t> payload;
};

struct Listing {
  std::vector<StoredEntry> entries;
  size_t next = 0;
  bool wide = false;
};

struct Session {
  uint64_t id = 0;
  std::string owner;
  bool logged_in = false;
  uint32_t user = 0;
  std::string schedule_file;
  bool has_destination = false;
  uint32_t destination = 0;
  std::map<uint8_t, OpenFile> files;
  std::map<uint8_t, Listing> listings;
  bool mail_open = false;
  uint32_t mail_total = 0;
  std::string mail;
};

// One request being handled: the handlers read the request, fill the reply data and may
// leave a note for the log.
struct Call {
  Shared& sh;
  Session& s;
  kfs_wire::Reader r;
  std::vector<uint8_t>& out;
  const char* note = "";
};

// Each answers the reply status.
uint8_t do_login(Call& c);
uint8_t do_lock(Call& c);
uint8_t do_mkdir(Call& c);
uint8_t do_delete(Call& c);
uint8_t do_find(Call& c);
uint8_t do_wopen(Call& c);
uint8_t do_write(Call& c);
uint8_t do_close(Call& c);
uint8_t do_email(Call& c);

bool holds_destination(Shared& sh, const Session& s);
// Hands the connection's locks over to a later login of the same user and schedule.
void orphan_locks(Shared& sh, uint64_t id);

void log_line(Shared& shared, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kfsd
