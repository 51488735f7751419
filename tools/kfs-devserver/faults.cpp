// Parsing, matching and reporting of planned faults; the syntax is in faults.h.
#include "tools/kfs-devserver/faults.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "protocol/codes.h"

namespace kfsd {

namespace {

struct KindName {
  const char* name;
  uint32_t bit;
};

constexpr KindName kKindNames[] = {
    {"request", kKindRequest}, {"reply", kKindReply}, {"login", kKindLogin},
    {"lock", kKindLock},       {"mkdir", kKindMkdir}, {"delete", kKindDelete},
    {"find", kKindFind},       {"open", kKindOpen},   {"write", kKindWrite},
    {"close", kKindClose},     {"mail", kKindMail},   {"query", kKindQuery},
    {"data", kKindData},       {"end", kKindEnd},     {"file-data", kKindFileData},
    {"connect", kKindConnect},
};

struct ActionName {
  const char* name;
  FaultAction action;
  int arguments;
};

constexpr ActionName kActionNames[] = {
    {"drop", FaultAction::kDrop, 0},
    {"drop-before", FaultAction::kDropBefore, 0},
    {"fail", FaultAction::kFail, 1},
    {"corrupt-crc", FaultAction::kCorruptCrc, 0},
    {"delay", FaultAction::kDelay, 1},
    {"hold", FaultAction::kHold, 2},
    {"again", FaultAction::kAgain, 0},
    {"idle-cut", FaultAction::kIdleCut, 1},
    {"count", FaultAction::kCount, 1},
    {"twice", FaultAction::kTwice, 0},
    {"list-extra", FaultAction::kListExtra, 1},
    {"list-endless", FaultAction::kListEndless, 1},
};

bool number(const std::string& text, long low, long high, long* out) {
  errno = 0;
  char* end = nullptr;
  long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

bool reply_code(const std::string& text, long* out) {
  if (number(text, 0, 255, out)) return true;
  for (int code = 0; code <= 255; ++code) {
    if (text == kfs_error_name(code)) {
      *out = code;
      return true;
    }
  }
  return false;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "KIND:NAME,..." with percent-encoded names.
bool parse_entries(const std::string& text, std::vector<ListedName>* out) {
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    if (item.size() < 2 || item[1] != ':' || (item[0] != 'f' && item[0] != 'd')) return false;
    ListedName e;
    e.folder = item[0] == 'd';
    for (size_t i = 2; i < item.size(); ++i) {
      if (item[i] != '%') {
        e.name.push_back(item[i]);
        continue;
      }
      int high = i + 2 < item.size() ? hex_digit(item[i + 1]) : -1;
      int low = high >= 0 ? hex_digit(item[i + 2]) : -1;
      if (low < 0) return false;
      e.name.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    }
    if (e.name.size() > 255) return false;
    out->push_back(e);
  }
  return !out->empty();
}

bool parse_when(const std::string& when, Fault* f, std::string* error) {
  std::string kinds = when;
  size_t hash = when.find('#');
  if (hash != std::string::npos) {
    kinds = when.substr(0, hash);
    std::string count = when.substr(hash + 1);
    size_t dash = count.find('-');
    f->last = 0;
    if (dash != std::string::npos && !number(count.substr(dash + 1), 1, 1L << 30, &f->last)) {
      *error = "bad count in '" + when + "'";
      return false;
    }
    if (!number(count.substr(0, dash), 1, f->last != 0 ? f->last : 1L << 30, &f->nth)) {
      *error = "bad count in '" + when + "'";
      return false;
    }
  }
  std::stringstream list(kinds);
  std::string name;
  while (std::getline(list, name, ',')) {
    uint32_t bit = 0;
    for (const KindName& k : kKindNames) {
      if (name == k.name) bit = k.bit;
    }
    if (bit == 0) {
      *error = "unknown kind '" + name + "'";
      return false;
    }
    f->kinds |= bit;
  }
  if (f->kinds == 0) *error = "no kind in '" + when + "'";
  return f->kinds != 0;
}

bool parse_arguments(const std::vector<std::string>& args, Fault* f, std::string* error) {
  bool ok = true;
  switch (f->action) {
    case FaultAction::kFail:
      ok = reply_code(args[0], &f->value);
      break;
    case FaultAction::kDelay:
    case FaultAction::kIdleCut:
      ok = number(args[0], 0, 600000, &f->value);
      break;
    case FaultAction::kCount:
      ok = number(args[0], -65535, 65535, &f->value);
      break;
    case FaultAction::kHold:
      ok = number(args[0], 0, 0xffffffffL, &f->value) && number(args[1], 1, 86400, &f->seconds);
      break;
    case FaultAction::kListExtra:
      ok = parse_entries(args[0], &f->entries);
      break;
    case FaultAction::kListEndless:
      ok = number(args[0], 0, 1000, &f->value);
      break;
    default:
      break;
  }
  if (!ok) *error = "bad argument";
  return ok;
}

// Combinations that could never do what they say.
bool check_combination(const Fault& f, std::string* error) {
  bool only_lock = f.kinds == kKindLock && f.nth == 0 && f.under.empty();
  if (f.action == FaultAction::kHold && !only_lock) {
    *error = "hold goes with the kind lock alone";
  } else if (f.action == FaultAction::kAgain && f.kinds != kKindLogin) {
    *error = "again goes with the kind login alone";
  } else if (f.action == FaultAction::kTwice && (f.kinds & kKindReply) != 0) {
    *error = "twice goes with request kinds";
  } else if (f.action == FaultAction::kCount && f.kinds != kKindOpen) {
    *error = "count goes with the kind open alone";
  } else if ((f.kinds & kKindConnect) != 0 &&
             (f.kinds != kKindConnect ||
              (f.action != FaultAction::kDropBefore && f.action != FaultAction::kDrop))) {
    *error = "connect goes alone, with drop or drop-before";
  } else if ((f.action == FaultAction::kListExtra || f.action == FaultAction::kListEndless) &&
             f.kinds != kKindFind) {
    *error = "list-extra and list-endless go with the kind find alone";
  } else if ((f.kinds & kKindFileData) != 0 && f.kinds != kKindFileData) {
    *error = "file-data counts per file and mixes with no other kind";
  } else if ((f.kinds & kKindReply) != 0 && f.kinds != kKindReply) {
    *error = "reply mixes with no request kind";
  } else if (f.kinds == kKindReply && f.action == FaultAction::kFail) {
    *error = "a reply cannot fail: plan the failure on its request";
  } else {
    return true;
  }
  return false;
}

}  // namespace

bool parse_fault(const std::string& text, Fault* fault, std::string* error) {
  Fault f;
  error->clear();
  std::string head = text;
  size_t under = text.find(" under ");
  if (under != std::string::npos) {
    head = text.substr(0, under);
    f.under = text.substr(under + 7);
    if (f.under.empty()) {
      *error = "no path after under";
      return false;
    }
  }
  std::vector<std::string> words;
  std::stringstream in(head);
  for (std::string w; in >> w;) words.push_back(w);
  if (words.size() < 2 || !parse_when(words[0], &f, error)) {
    if (error->empty()) *error = "want WHEN ACTION";
    return false;
  }
  const ActionName* action = nullptr;
  for (const ActionName& a : kActionNames) {
    if (words[1] == a.name) action = &a;
  }
  if (action == nullptr || words.size() != 2 + static_cast<size_t>(action->arguments)) {
    *error = action == nullptr ? "unknown action '" + words[1] + "'" : "wrong argument count";
    return false;
  }
  f.action = action->action;
  std::vector<std::string> args(words.begin() + 2, words.end());
  if (!parse_arguments(args, &f, error) || !check_combination(f, error)) return false;
  f.text = text;
  *fault = f;
  return true;
}

void FaultPlan::start() {
  std::lock_guard<std::mutex> guard(mutex_);
  start_ = std::chrono::steady_clock::now();
}

namespace {

bool at_or_below(const std::string& path, const std::string& prefix) {
  return path.compare(0, prefix.size(), prefix) == 0 &&
         (path.size() == prefix.size() || path[prefix.size()] == '/');
}

void apply(const Fault& f, FaultEffects* e) {
  switch (f.action) {
    case FaultAction::kDrop:
      e->drop_after = true;
      break;
    case FaultAction::kDropBefore:
      e->drop_before = true;
      break;
    case FaultAction::kFail:
      if (e->fail < 0) e->fail = static_cast<int>(f.value);
      break;
    case FaultAction::kCorruptCrc:
      e->corrupt_crc = true;
      break;
    case FaultAction::kDelay:
      e->delay_ms += static_cast<int>(f.value);
      break;
    case FaultAction::kAgain:
      e->again = true;
      break;
    case FaultAction::kIdleCut:
      e->idle_cut_ms = static_cast<int>(f.value);
      break;
    case FaultAction::kCount:
      e->count_delta += static_cast<int>(f.value);
      break;
    case FaultAction::kTwice:
      e->twice = true;
      break;
    case FaultAction::kListExtra:
      e->extra.insert(e->extra.end(), f.entries.begin(), f.entries.end());
      break;
    case FaultAction::kListEndless:
      e->endless = f.value;
      e->endless_page = f.fired;
      break;
    case FaultAction::kHold:
      break;
  }
}

}  // namespace

FaultEffects FaultPlan::on(const FaultEvent& event) {
  std::lock_guard<std::mutex> guard(mutex_);
  FaultEffects effects;
  for (Fault& f : faults_) {
    if (f.action == FaultAction::kHold || (f.kinds & event.kinds) == 0) continue;
    if (!f.under.empty() && (event.path.empty() || !at_or_below(event.path, f.under))) continue;
    long nth = f.kinds == kKindFileData ? event.nth_in_file : ++f.matched;
    if (f.nth != 0 && (nth < f.nth || nth > (f.last != 0 ? f.last : f.nth))) continue;
    ++f.fired;
    apply(f, &effects);
  }
  return effects;
}

bool FaultPlan::holds_lock(uint32_t user) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto now = std::chrono::steady_clock::now();
  for (Fault& f : faults_) {
    if (f.action != FaultAction::kHold || static_cast<uint32_t>(f.value) != user) continue;
    if (now >= start_ + std::chrono::seconds(f.seconds)) continue;
    ++f.fired;
    return true;
  }
  return false;
}

bool FaultPlan::report(FILE* out) {
  std::lock_guard<std::mutex> guard(mutex_);
  bool all = true;
  for (const Fault& f : faults_) {
    if (f.fired == 0) {
      fprintf(out, "kfs-devserver: fault never fired: %s\n", f.text.c_str());
      all = false;
    } else {
      fprintf(out, "kfs-devserver: fault fired %ld times: %s\n", f.fired, f.text.c_str());
    }
  }
  fflush(out);
  return all;
}

}  // namespace kfsd
