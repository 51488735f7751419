// varno-backup-faulty: the real agent (same entry, same procjob) whose plat_env() is a
// FaultEnv over the system's Env, failing the calls VARNO_TEST_FAULT_PLAN names. Each fault
// that fires appends "KIND CLASS PATH" to the file VARNO_TEST_FAULT_RECORD names, so a test
// counts what happened from the agent's own record.
//
// The plan: entries separated by ';', each "CLASS KIND#N [per-file] [sticky]", failed with
// EIO:
//   CLASS   source  a file on a drive ("D:\..."): what is backed up (the agent's own files
//                   are named relative to its working folder)
//           index   the change index ("*.fci", "*.fci.ro", "*.fci.tmp")
//           sort    the index's sort buckets ("$FCISORT$\N")
//           queue   the mail queue ("*.eml", "*.eml.tmp")
//           log     agent.log and the job log ("*.log")
//           outcome the job's outcome file ("*.outcome", "*.outcome.tmp")
//   KIND    open read write sync rename delete; for log files "write" is a write of their stream
//   #N      the N-th such call on the class's files in this run, or with per-file on one
//           file (counted afresh at each open of it); each entry fires once, or with
//           sticky then fails every later such call on the file it fired on (a bad disk)
// or "pause MS TEXT": the first write of a log line holding TEXT waits MS milliseconds
// first (local work that keeps the connection idle); it fails nothing.
// VARNO_TEST_FAULT_ERRNO=ENOSPC fails them with ENOSPC instead (a full disk).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "agent/agent.h"
#include "agent/schedule/procjob.h"
#include "platform/env.h"
#include "tests/support/fault_env.h"

namespace {

using testing_support::FaultEnv;

bool ends_with(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

const char* file_class(std::string_view path) {
  if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return "source";
  if (path.rfind("$FCISORT$", 0) == 0) return "sort";
  if (ends_with(path, ".fci") || ends_with(path, ".fci.ro") || ends_with(path, ".fci.tmp"))
    return "index";
  if (ends_with(path, ".eml") || ends_with(path, ".eml.tmp")) return "queue";
  if (ends_with(path, ".log")) return "log";
  if (ends_with(path, ".outcome") || ends_with(path, ".outcome.tmp")) return "outcome";
  return "";
}

struct Entry {
  std::string klass;
  FaultEnv::Kind kind = FaultEnv::kWrite;
  std::string kind_name;
  long nth = 1;
  bool per_file = false;
  bool sticky = false;
  std::string fired_on;              // the file a sticky entry fired on
  long seen = 0;                     // class-wide calls so far
  std::map<std::string, long> file;  // per-file calls since the file's last open
  bool spent = false;
};

int planned_error() {
  const char* name = getenv("VARNO_TEST_FAULT_ERRNO");
  return name != nullptr && strcmp(name, "ENOSPC") == 0 ? ENOSPC : EIO;
}

bool parse_entry(const std::string& text, Entry* entry) {
  char klass[16] = {};
  char kind[16] = {};
  char rest[2][16] = {};
  long nth = 0;
  int words =
      sscanf(text.c_str(), " %15s %15[a-z]#%ld %15s %15s", klass, kind, &nth, rest[0], rest[1]);
  if (words < 3 || nth < 1) return false;
  for (int i = 0; i < words - 3; ++i) {
    if (strcmp(rest[i], "per-file") == 0) {
      entry->per_file = true;
    } else if (strcmp(rest[i], "sticky") == 0) {
      entry->sticky = true;
    } else {
      return false;
    }
  }
  static const std::map<std::string, FaultEnv::Kind> kKinds = {
      {"open", FaultEnv::kOpen},     {"read", FaultEnv::kRead},     {"write", FaultEnv::kWrite},
      {"rename", FaultEnv::kRename}, {"delete", FaultEnv::kDelete}, {"sync", FaultEnv::kSync}};
  auto found = kKinds.find(kind);
  if (found == kKinds.end()) return false;
  entry->klass = klass;
  entry->kind = found->second;
  entry->kind_name = kind;
  entry->nth = nth;
  return true;
}

struct Pause {
  long ms = 0;
  std::string text;
  bool spent = false;
};

bool parse_pause(const std::string& text, Pause* pause) {
  char word[8] = {};
  long ms = 0;
  int used = 0;
  if (sscanf(text.c_str(), " %7s %ld %n", word, &ms, &used) < 2 || strcmp(word, "pause") != 0 ||
      ms < 1 || static_cast<size_t>(used) >= text.size()) {
    return false;
  }
  pause->ms = ms;
  pause->text = text.substr(static_cast<size_t>(used));
  return true;
}

// The plan and the record, shared by the descriptor calls (through the FaultEnv's
// predicate) and the log streams.
class Planner {
 public:
  Planner() {
    const char* plan = getenv("VARNO_TEST_FAULT_PLAN");
    std::string text = plan != nullptr ? plan : "";
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find(';', start);
      if (end == std::string::npos) end = text.size();
      Entry entry;
      Pause pause;
      if (parse_pause(text.substr(start, end - start), &pause)) {
        pauses_.push_back(pause);
      } else if (parse_entry(text.substr(start, end - start), &entry)) {
        entries_.push_back(entry);
      } else if (text.find_first_not_of(" ", start) < end) {
        fprintf(stderr, "varno-backup-faulty: bad plan entry '%s'\n",
                text.substr(start, end - start).c_str());
        abort();
      }
      start = end + 1;
    }
    const char* record = getenv("VARNO_TEST_FAULT_RECORD");
    if (record != nullptr) record_ = record;
  }

  bool wants_stream_writes(std::string_view path) const {
    const char* klass = file_class(path);
    if (!pauses_.empty() && strcmp(klass, "log") == 0) return true;
    for (const Entry& e : entries_) {
      if (e.klass == klass && e.kind == FaultEnv::kWrite) return true;
    }
    return false;
  }

  // Waits as planned before a log write of these bytes (then recorded).
  void pause_before(std::string_view bytes) {
    long ms = 0;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      for (Pause& p : pauses_) {
        if (p.spent || bytes.find(p.text) == std::string_view::npos) continue;
        p.spent = true;
        ms = p.ms;
        note("pause log " + p.text);
      }
    }
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }

  // Whether this call is a planned fault (then recorded).
  bool decide(FaultEnv::Kind kind, std::string_view path) {
    std::lock_guard<std::mutex> hold(mutex_);
    const char* klass = file_class(path);
    bool fails = false;
    for (Entry& e : entries_) {
      if (e.klass != klass) continue;
      std::string name(path);
      if (kind == FaultEnv::kOpen) e.file.erase(name);
      if (kind != e.kind || fails) continue;
      if (e.spent) {
        if (!e.sticky || e.fired_on != name) continue;
      } else {
        long n = e.per_file ? ++e.file[name] : ++e.seen;
        if (n != e.nth) continue;
        e.spent = true;
        e.fired_on = name;
      }
      fails = true;
      note(e.kind_name + " " + klass + " " + name);
    }
    return fails;
  }

 private:
  void note(const std::string& line) {
    if (record_.empty()) return;
    FILE* out = plat_system_env()->open_stream(record_, "a");
    if (out == nullptr) return;
    fprintf(out, "%s\n", line.c_str());
    fclose(out);
  }

  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::vector<Pause> pauses_;
  std::string record_;
};

// A log stream whose writes the plan can fail: a stdio stream over the real one. The C
// runtime of the Windows build has no such streams: there log writes are never failed.
#ifndef _WIN32
struct LogCookie {
  FILE* real;
  Planner* planner;
  std::string path;
};

// The cookies of the streams still open. The agent keeps its logs open to its end, and
// the leak check at exit does not see through a stream to its cookie: held here (in a
// list never destroyed, since streams are flushed after the static destructors), they stay
// reachable.
std::mutex g_cookies_mutex;
std::vector<LogCookie*>& open_cookies() {
  static auto* cookies = new std::vector<LogCookie*>;
  return *cookies;
}

ssize_t cookie_write(void* opaque, const char* bytes, size_t length) {
  auto* c = static_cast<LogCookie*>(opaque);
  c->planner->pause_before(std::string_view(bytes, length));
  if (c->planner->decide(FaultEnv::kWrite, c->path)) {
    errno = planned_error();
    return -1;
  }
  size_t n = fwrite(bytes, 1, length, c->real);
  return fflush(c->real) == 0 && n == length ? static_cast<ssize_t>(n) : -1;
}

ssize_t cookie_read(void* opaque, char* bytes, size_t length) {
  auto* c = static_cast<LogCookie*>(opaque);
  return static_cast<ssize_t>(fread(bytes, 1, length, c->real));
}

int cookie_close(void* opaque) {
  auto* c = static_cast<LogCookie*>(opaque);
  int rc = fclose(c->real);
  {
    std::lock_guard<std::mutex> lock(g_cookies_mutex);
    std::vector<LogCookie*>& open = open_cookies();
    open.erase(std::remove(open.begin(), open.end(), c), open.end());
  }
  delete c;
  return rc;
}
#endif

class FaultyEnv : public FaultEnv {
 public:
  FaultyEnv() : FaultEnv(plat_system_env()) {
    fail_if([this](Kind kind, std::string_view path) { return planner_.decide(kind, path); },
            planned_error());
  }

  FILE* open_stream(std::string_view path, const char* mode) override {
    FILE* real = FaultEnv::open_stream(path, mode);
#ifdef _WIN32
    return real;
#else
    if (real == nullptr || !planner_.wants_stream_writes(path)) return real;
    auto* cookie = new LogCookie{real, &planner_, std::string(path)};
    FILE* wrapped = fopencookie(cookie, mode, {cookie_read, cookie_write, nullptr, cookie_close});
    if (wrapped == nullptr) {
      fclose(real);
      delete cookie;
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_cookies_mutex);
    open_cookies().push_back(cookie);
    return wrapped;
#endif
  }

 private:
  Planner planner_;
};

}  // namespace

Env* plat_env() {
  static FaultyEnv env;
  return &env;
}

int main(int argc, char** argv) {
  return agent_main(argc, argv, procjob);
}
