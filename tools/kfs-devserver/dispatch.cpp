// One connection: the request loop, the per-request policy (login, lock, reply) and the
// planned faults around the handlers.
#include "tools/kfs-devserver/dispatch.h"

#include <thread>

#include "protocol/ckfs.h"
#include "protocol/codes.h"
#include "tools/kfs-devserver/conn.h"
#include "tools/kfs-devserver/session.h"

namespace kfsd {

using namespace kfs_wire;

namespace {

// Whether a request is answered at all.
enum class Replies {
  kAlways,
  kNever,
  kUnlessNoReplyBit,  // file writes: subtypes with CKFS_WRITE_NO_REPLY set get none
};

constexpr bool kNeedsLogin = true;
constexpr bool kNoLogin = false;  // the login itself
constexpr bool kNeedsLock = true;
constexpr bool kUnlocked = false;
constexpr bool kKeepsDataOnError = true;  // a failed delete still reports its counters
constexpr bool kClearsDataOnError = false;

struct Policy {
  uint8_t type;
  bool needs_login;
  bool needs_lock;
  Replies replies;
  bool keeps_data_on_error;
  uint32_t fault_kind;
  uint8_t (*handler)(Call&);
};

constexpr Policy kPolicies[] = {
    {KFS_SESSION_AUTH, kNoLogin, kUnlocked, Replies::kAlways, kClearsDataOnError, kKindLogin,
     do_login},
    {KFS_USER_LOCK, kNeedsLogin, kUnlocked, Replies::kAlways, kClearsDataOnError, kKindLock,
     do_lock},
    {KFS_EMAIL, kNeedsLogin, kUnlocked, Replies::kAlways, kClearsDataOnError, kKindMail, do_email},
    {KFS_MKDIR, kNeedsLogin, kNeedsLock, Replies::kAlways, kClearsDataOnError, kKindMkdir,
     do_mkdir},
    {KFS_DELETE, kNeedsLogin, kNeedsLock, Replies::kAlways, kKeepsDataOnError, kKindDelete,
     do_delete},
    {KFS_FIND_FILES, kNeedsLogin, kNeedsLock, Replies::kAlways, kClearsDataOnError, kKindFind,
     do_find},
    {KFS_FILE_WOPEN, kNeedsLogin, kNeedsLock, Replies::kAlways, kClearsDataOnError, kKindOpen,
     do_wopen},
    {KFS_FILE_WRITE, kNeedsLogin, kNeedsLock, Replies::kUnlessNoReplyBit, kClearsDataOnError,
     kKindWrite, do_write},
    {KFS_FILE_CLOSE, kNeedsLogin, kNeedsLock, Replies::kNever, kClearsDataOnError, kKindClose,
     do_close},
};

// Any other type: ERR_SEQUENCE, after the same login and lock checks as the rest.
constexpr Policy kUnknown = {0, kNeedsLogin, kNeedsLock, Replies::kAlways, kClearsDataOnError,
                             0, nullptr};

const Policy& policy_of(uint8_t type) {
  for (const Policy& p : kPolicies) {
    if (p.type == type) return p;
  }
  return kUnknown;
}

// File writes: [handle, subtype, length u16, ...].
constexpr size_t kWriteSubtypeAt = 1;
constexpr size_t kWriteLengthAt = 2;

int write_subtype(const Packet& request) {
  if (request.type != KFS_FILE_WRITE || request.data.size() <= kWriteSubtypeAt) return -1;
  return request.data[kWriteSubtypeAt];
}

bool answers(const Policy& p, const Packet& request) {
  if (p.replies == Replies::kNever) return false;
  if (p.replies == Replies::kAlways) return true;
  int subtype = write_subtype(request);
  return subtype < 0 || (subtype & CKFS_WRITE_NO_REPLY) == 0;
}

std::string text_at(const Packet& request, size_t at) {
  Reader r(request.data.data(), request.data.size());
  r.bytes(at);
  uint16_t n = r.u16();
  const uint8_t* p = r.bytes(n);
  return p == nullptr ? "" : std::string(reinterpret_cast<const char*>(p), n);
}

// The path a request names: [flags, length u16, path] and, for an open, after the time;
// a listing's folder follows its handle, flags and pattern.
constexpr size_t kPathAt = 1;
constexpr size_t kOpenPathAt = 5;
constexpr size_t kFindPatternAt = 2;

std::string path_of(const Packet& request) {
  switch (request.type) {
    case KFS_MKDIR:
    case KFS_DELETE:
      return text_at(request, kPathAt);
    case KFS_FILE_WOPEN:
      return text_at(request, kOpenPathAt);
    case KFS_FIND_FILES:
      if (request.data.size() <= kFindPatternAt) return "";
      return text_at(request, kFindPatternAt + 1 + request.data[kFindPatternAt]);
    default:
      return "";
  }
}

// What the verbose log says about a request: its path, the block message kind and length
// (so that a log can count what was sent) or the login's user.
std::string describe(const Packet& request, const Session& s) {
  if (request.type == KFS_SESSION_AUTH) return "user " + std::to_string(s.user);
  int subtype = write_subtype(request);
  if (request.type != KFS_FILE_WRITE) return path_of(request);
  if (request.data.size() < kWriteLengthAt + 2) return "";
  const char* kind = subtype == CKFS_WRITE_QUERY  ? "query"
                     : subtype == CKFS_WRITE_DATA ? "data"
                     : subtype == CKFS_WRITE_END  ? "end"
                                                  : "other";
  return std::string(kind) + " " + std::to_string(get16(request.data.data() + kWriteLengthAt));
}

// The request as the fault plan sees it; counts the data messages of the open file.
FaultEvent event_of(const Packet& request, Session& s) {
  FaultEvent e;
  e.kinds = kKindRequest | policy_of(request.type).fault_kind;
  e.path = path_of(request);
  int subtype = write_subtype(request);
  if (subtype == CKFS_WRITE_QUERY) e.kinds |= kKindQuery;
  if (subtype == CKFS_WRITE_END) e.kinds |= kKindEnd;
  if (subtype == CKFS_WRITE_DATA) {
    e.kinds |= kKindData;
    auto it = s.files.find(request.data[0]);
    if (it != s.files.end()) {
      e.kinds |= kKindFileData;
      e.nth_in_file = ++it->second.data_messages;
    }
  }
  return e;
}

struct Outcome {
  Packet reply;
  bool answer = true;
  bool drop = false;
  FaultEffects faults;
  const char* note = "";
  std::string subject;
};

// The status of a request the plan lets through: refused by the policy or handled.
uint8_t run_handler(Shared& sh, Session& s, const Packet& request, Outcome& o) {
  const Policy& p = policy_of(request.type);
  if (p.needs_login && !s.logged_in) return ERR_SEQUENCE;
  if (p.needs_lock && !holds_destination(sh, s)) return ERR_ACCESS;
  if (p.handler == nullptr) return ERR_SEQUENCE;
  Call call{sh, s, Reader(request.data.data(), request.data.size()), o.reply.data};
  uint8_t status = p.handler(call);
  o.note = call.note;
  if (status != 0 && !p.keeps_data_on_error) o.reply.data.clear();
  return status;
}

// A listing's page: [count u16, remaining u32, handle u8, entries].
constexpr size_t kFindHeader = 7;
constexpr uint32_t kKindFolder = 0x10;
constexpr uint32_t kKindFile = 0x20;

void put_entry(std::vector<uint8_t>* out, const ListedName& e) {
  uint8_t head[21] = {};
  head[0] = static_cast<uint8_t>(e.folder ? kKindFolder : kKindFile);
  out->insert(out->end(), head, head + sizeof head);
  out->push_back(static_cast<uint8_t>(e.name.size()));
  out->insert(out->end(), e.name.begin(), e.name.end());
}

// The planned shape of a listing's reply: a page that never ends, or extra entries.
void shape_listing(const FaultEffects& f, Packet* reply) {
  std::vector<uint8_t>& d = reply->data;
  if (f.endless >= 0) {
    reply->status = 0;
    d.assign(kFindHeader, 0);
    put16(d.data(), static_cast<uint16_t>(f.endless));
    put32(d.data() + 2, 1);
    d[6] = 1;
    for (long i = 0; i < f.endless; ++i) {
      put_entry(&d, {false, "endless-" + std::to_string(f.endless_page) + "-" + std::to_string(i)});
    }
    return;
  }
  if (f.extra.empty() || reply->status != 0 || d.size() < kFindHeader) return;
  put16(d.data(), static_cast<uint16_t>(get16(d.data()) + f.extra.size()));
  for (const ListedName& e : f.extra) put_entry(&d, e);
}

// Handles one request under the shared mutex.
Outcome handle(Shared& sh, Session& s, const Packet& request) {
  std::lock_guard<std::mutex> guard(sh.mutex);
  Outcome o;
  o.reply.type = static_cast<uint8_t>(request.type | KFS_RESPONSE_BIT);
  o.reply.request_number = request.request_number;
  o.answer = answers(policy_of(request.type), request);
  o.faults = sh.faults.on(event_of(request, s));
  if (o.faults.drop_before) {
    o.answer = false;
    o.drop = true;
  } else if (o.faults.fail >= 0) {
    o.reply.status = static_cast<uint8_t>(o.faults.fail);
  } else if (o.faults.endless < 0) {
    o.reply.status = run_handler(sh, s, request, o);
  }
  if (request.type == KFS_FIND_FILES) shape_listing(o.faults, &o.reply);
  if (o.faults.again && o.reply.status == 0 && !o.reply.data.empty()) o.reply.data[0] = 1;
  // The open reply ends with its block count: [handle, checksummed u16, size u32, count u16].
  constexpr size_t kCountAt = 7;
  if (o.faults.count_delta != 0 && request.type == KFS_FILE_WOPEN && o.reply.status == 0 &&
      o.reply.data.size() >= kCountAt + 2) {
    int count = get16(o.reply.data.data() + kCountAt) + o.faults.count_delta;
    put16(o.reply.data.data() + kCountAt, static_cast<uint16_t>(count));
  }
  o.subject = describe(request, s);
  return o;
}

// Sends the reply with the faults planned for it; false when sending failed.
bool send_reply(Shared& sh, Conn& conn, Outcome& o) {
  FaultEffects f = sh.faults.on(FaultEvent{kKindReply, 0, ""});
  int delay = o.faults.delay_ms + f.delay_ms;
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  o.drop = o.drop || f.drop_before || f.drop_after;
  return f.drop_before || conn.send(o.reply, o.faults.corrupt_crc || f.corrupt_crc);
}

}  // namespace

void serve_connection(Shared& sh, int fd) {
  Conn conn(fd);
  Session s;
  s.id = sh.next_conn++;
  auto id = static_cast<unsigned long long>(s.id);
  FaultEffects at_connect = sh.faults.on(FaultEvent{kKindConnect, 0, ""});
  if (at_connect.drop_before || at_connect.drop_after) {
    log_line(sh, "conn %llu refused", id);
    return;
  }
  if (!conn.handshake(sh.key, sh.key_text)) {
    log_line(sh, "conn %llu handshake failed", id);
    return;
  }
  log_line(sh, "conn %llu handshake", id);
  Packet request;
  Packet late;
  int idle_cut_ms = 0;
  for (;;) {
    if (idle_cut_ms > 0 && !conn.wait_readable(idle_cut_ms)) {
      log_line(sh, "conn %llu cut after %d ms idle", id, idle_cut_ms);
      break;
    }
    if (!conn.recv(&request)) break;
    Outcome o = handle(sh, s, request);
    if (o.faults.idle_cut_ms > 0) idle_cut_ms = o.faults.idle_cut_ms;
    log_line(sh, "conn %llu %s %s-> %s%s%s", id, kfs_type_name(request.type),
             o.subject.empty() ? "" : (o.subject + " ").c_str(),
             o.answer ? kfs_error_name(o.reply.status) : "(no reply)", *o.note ? " " : "", o.note);
    if (o.answer) {
      // A copy planned with twice goes out late, ahead of the next reply: it answers no
      // request, and the client cannot see it before it sends the next one.
      if (!late.data.empty() || late.type != 0) {
        if (!conn.send(late)) break;
        late = Packet{};
      }
      if (!send_reply(sh, conn, o)) break;
      if (o.faults.twice) late = o.reply;
    }
    if (o.drop || o.faults.drop_after) {
      log_line(sh, "conn %llu dropped", id);
      break;
    }
  }
  std::lock_guard<std::mutex> guard(sh.mutex);
  orphan_locks(sh, s.id);
  // The end of a session is a point where the client may count on what it sent.
  bool synced = sh.store.sync();
  log_line(sh, "conn %llu closed%s", id, synced ? "" : " (sync failed)");
}

}  // namespace kfsd
