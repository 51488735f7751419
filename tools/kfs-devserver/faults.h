// The faults a test plans for kfs-devserver, given as data, and how often each fired.
//
// FORMAT: one fault per --fault option, or per line of a --fault-plan file (blank lines
// and lines starting with '#' are skipped). Words are separated by blanks:
//
//     WHEN ACTION [ARGUMENTS] [under PATH]
//
//   WHEN       KIND[,KIND...][#N[-M]]: without #N every matching event, with it only the
//              N-th one (1-based, counted for this fault alone; file-data counts per open
//              file), with #N-M the N-th to the M-th (a while)
//   KIND       request          any request
//              reply            any reply the server sends
//              login lock mkdir delete find open write close mail
//                               requests of that type
//              query data end   the block messages of a file write
//              file-data        data messages, counted afresh for every opened file
//              connect          a new connection, before its handshake
//   ACTION     drop             close the connection after the request and its reply
//              drop-before      close it instead of handling the request (for reply:
//                               instead of sending it)
//              fail CODE        answer CODE (a number or a name, ERR_ACCESS) unhandled
//              corrupt-crc      send the reply with a broken CRC
//              delay MS         wait MS milliseconds before sending the reply
//              hold USER SECS   lock only: another session holds USER's lock for SECS
//                               seconds after start; fires at each refused lock request
//              again            login only: the reply asks the client to log in again
//              idle-cut MS      close the connection once it has been idle MS
//                               milliseconds after this event (a link that times out)
//              count DELTA      open only: the reply's block count plus DELTA (a count
//                               that does not cover the file)
//              twice            send the reply again, late: ahead of the connection's next
//                               reply (a reply no request asked for)
//              list-extra ENTRIES  find only: the listing's page carries these entries
//                               after its own; ENTRIES is KIND:NAME[,KIND:NAME...] with KIND
//                               f (file) or d (folder) and NAME percent-encoded (%00 a NUL,
//                               %2C a comma, %20 a blank; empty is allowed)
//              list-endless N   find only: answered, unhandled, with a page of N new names
//                               and "more follow" (N = 0: an empty page), whatever is asked
//   under PATH only requests naming PATH or a path below it (mkdir, delete, open, and the
//              first request of a listing); PATH is the rest of the line and may hold blanks
//
// Examples: "request#10 drop", "query#3 fail ERR_SCKREAD", "mkdir,open fail 4 under /ro",
// "open,query#5-40 fail ERR_IO" (a full disk for a while), "connect#2-9 drop-before"
// (connections refused for a while), "find list-extra f:,d:..,f:a%5Cb" (a listing that
// names what no folder holds), "find list-endless 500".
//
// At exit (SIGTERM or SIGINT) every fault is reported on stderr with how often it fired;
// one that never fired makes the exit status kExitFaultMissed, so a test cannot pass
// because its fault missed.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace kfsd {

constexpr int kExitFaultMissed = 3;

// Kinds as bits: one event carries all that apply (a query is a request, a write and a
// query).
enum FaultKind : uint32_t {
  kKindRequest = 1u << 0,
  kKindReply = 1u << 1,
  kKindLogin = 1u << 2,
  kKindLock = 1u << 3,
  kKindMkdir = 1u << 4,
  kKindDelete = 1u << 5,
  kKindFind = 1u << 6,
  kKindOpen = 1u << 7,
  kKindWrite = 1u << 8,
  kKindClose = 1u << 9,
  kKindMail = 1u << 10,
  kKindQuery = 1u << 11,
  kKindData = 1u << 12,
  kKindEnd = 1u << 13,
  kKindFileData = 1u << 14,
  kKindConnect = 1u << 15,
};

enum class FaultAction {
  kDrop,
  kDropBefore,
  kFail,
  kCorruptCrc,
  kDelay,
  kHold,
  kAgain,
  kIdleCut,
  kCount,
  kTwice,
  kListExtra,
  kListEndless,
};

// One entry a shaped listing carries.
struct ListedName {
  bool folder = false;
  std::string name;
};

struct Fault {
  std::string text;  // as planned, for the report
  uint32_t kinds = 0;
  long nth = 0;   // 0 = every match
  long last = 0;  // with nth: the matches nth to last (a while), 0 = only the nth
  std::string under;
  FaultAction action = FaultAction::kDrop;
  long value = 0;    // fail: code; delay, idle-cut: milliseconds; hold: user; count: delta;
                     // list-endless: names
  long seconds = 0;  // hold
  std::vector<ListedName> entries;  // list-extra
  long matched = 0;                 // events seen so far
  long fired = 0;
};

// Parses one fault; false with a reason in `error`.
bool parse_fault(const std::string& text, Fault* fault, std::string* error);

// What happens to one request or reply.
struct FaultEvent {
  uint32_t kinds = 0;
  long nth_in_file = 0;  // data messages of this open file so far, this one included
  std::string path;      // mkdir, delete and open
};

struct FaultEffects {
  bool drop_before = false;
  bool drop_after = false;
  int fail = -1;  // a reply code, or -1
  bool corrupt_crc = false;
  int delay_ms = 0;
  bool again = false;
  int idle_cut_ms = 0;
  int count_delta = 0;
  bool twice = false;
  std::vector<ListedName> extra;  // entries appended to a listing's page
  long endless = -1;              // names of an endless page, or -1
  long endless_page = 0;          // the page's number, which keeps its names new
};

class FaultPlan {
 public:
  void add(const Fault& fault) { faults_.push_back(fault); }
  bool empty() const { return faults_.empty(); }
  // Starts the clock of the hold faults.
  void start();
  // Counts the event against every fault and answers the combined effects of those that fire.
  FaultEffects on(const FaultEvent& event);
  // Whether a hold fault keeps `user` locked now; counts as a firing when it does.
  bool holds_lock(uint32_t user);
  // One line per fault; false when one never fired.
  bool report(FILE* out);

 private:
  std::mutex mutex_;
  std::vector<Fault> faults_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace kfsd
