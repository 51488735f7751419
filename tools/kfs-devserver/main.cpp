// kfs-devserver command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tools/kfs-devserver/server.h"

namespace {

const char kUsage[] =
    "usage: kfs-devserver --listen HOST:PORT --store DIR [--block-size BYTES]\n"
    "                     [--page-size N] [--checkpoint-ms MS] [--no-sync] [--verbose]\n"
    "                     [--inline-max BYTES]\n"
    "                     [--fault FAULT]... [--fault-plan FILE]\n"
    "                     [--drop-after N] [--fail-query N] [--hold-lock USER:SECONDS]\n"
    "                     [--refuse-login CODE] [--corrupt-crc N] [--again-first-login]\n"
    "                     [--drop-data N] [--deny-prefix PATH]\n"
    "       kfs-devserver restore --store DIR --dest N --account-key HEX --to DIR\n"
    "       kfs-devserver --help | --version\n";

const char kStoreHelp[] =
    "\n"
    "The store keeps one tree per destination in STORE/store.db (SQLite): the tree of\n"
    "destination N holds what was backed up under the schedule's Dest=/N (N is the\n"
    "destination number, not the login's user number), as folders and files with their\n"
    "block payloads (those up to --inline-max, 16384, in the file's own row); STORE/mail\n"
    "the reports handed to the server. Changes are committed in groups, at a lock's release\n"
    "and every --checkpoint-ms. 'restore --dest N' writes the plain files of tree N below\n"
    "the --to folder (decrypted with the account key); --user N is an old name for --dest N.\n";

const char kFaultHelp[] =
    "\n"
    "Planned faults: each --fault FAULT, or each line of a --fault-plan FILE (blank lines\n"
    "and lines starting with '#' skipped), is\n"
    "    WHEN ACTION [ARGUMENTS] [under PATH]\n"
    "  WHEN    KIND[,KIND...][#N[-M]]  every matching event, or only the N-th (1-based,\n"
    "          counted per fault; file-data counts per open file), or the N-th to M-th\n"
    "  KIND    request reply login lock mkdir delete find open write close mail\n"
    "          query data end (block messages) file-data (data, per open file)\n"
    "          connect (a new connection, before its handshake)\n"
    "  ACTION  drop                close the connection after the request and its reply\n"
    "          drop-before         close it instead of handling (reply: of sending) it\n"
    "          fail CODE           answer CODE (number or name) without handling it\n"
    "          corrupt-crc         send the reply with a broken CRC\n"
    "          delay MS            wait before sending the reply\n"
    "          hold USER SECONDS   lock only: USER's lock is taken for SECONDS after start\n"
    "          again               login only: the reply asks for another login\n"
    "          idle-cut MS         close the connection once idle MS ms after the event\n"
    "          count DELTA         open only: the reply's block count plus DELTA\n"
    "          twice               send the reply again, ahead of the next reply\n"
    "          list-extra ENTRIES  find only: the page also lists ENTRIES, KIND:NAME,...\n"
    "                              (KIND f or d, NAME percent-encoded, %00 a NUL)\n"
    "          list-endless N      find only: a page of N new names that says more follow\n"
    "  under PATH  only requests naming PATH or below (mkdir, delete, open, find)\n"
    "On SIGTERM or SIGINT each fault is reported on stderr with how often it fired; one\n"
    "that never fired makes the exit status 3.\n"
    "Shorthands: --drop-after N = 'request#N drop', --fail-query N = 'query#N fail\n"
    "ERR_SCKREAD', --corrupt-crc N = 'reply#N corrupt-crc', --drop-data N = 'file-data#N\n"
    "drop', --refuse-login CODE = 'login fail CODE', --hold-lock U:S = 'lock hold U S',\n"
    "--again-first-login = 'login#1 again', --deny-prefix PATH = 'mkdir,open fail\n"
    "ERR_ACCESS under PATH'.\n";

// Fault flags that stand for one plan entry; "@" is replaced by the flag's value.
struct Shorthand {
  const char* flag;
  const char* entry;
};

constexpr Shorthand kShorthands[] = {
    {"--drop-after", "request#@ drop"},
    {"--fail-query", "query#@ fail ERR_SCKREAD"},
    {"--corrupt-crc", "reply#@ corrupt-crc"},
    {"--drop-data", "file-data#@ drop"},
    {"--refuse-login", "login fail @"},
    {"--hold-lock", "lock hold @"},
    {"--deny-prefix", "mkdir,open fail ERR_ACCESS under @"},
};

bool number(const char* text, long low, long high, long* out) {
  errno = 0;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

int usage() {
  fputs(kUsage, stderr);
  return 2;
}

bool add_fault(kfsd::Options* o, const std::string& entry, const std::string& where) {
  kfsd::Fault f;
  std::string error;
  if (!kfsd::parse_fault(entry, &f, &error)) {
    fprintf(stderr, "kfs-devserver: %sbad fault '%s': %s\n", where.c_str(), entry.c_str(),
            error.c_str());
    return false;
  }
  o->faults.push_back(f);
  return true;
}

bool read_plan(kfsd::Options* o, const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    fprintf(stderr, "kfs-devserver: cannot read the fault plan %s\n", path.c_str());
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    if (!add_fault(o, line.substr(start), path + ":" + std::to_string(number) + ": ")) {
      return false;
    }
  }
  return true;
}

// The shorthand's plan entry, or "" when `flag` is none.
std::string shorthand(const std::string& flag, std::string value) {
  for (const Shorthand& s : kShorthands) {
    if (flag != s.flag) continue;
    if (flag == "--hold-lock" && value.find(':') != std::string::npos) {
      value[value.find(':')] = ' ';
    }
    std::string entry = s.entry;
    return entry.replace(entry.find('@'), 1, value);
  }
  return "";
}

int run_restore(int argc, char** argv) {
  std::string store, key, to;
  long dest = -1;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      printf("%s%s", kUsage, kStoreHelp);
      return 0;
    }
    if (i + 1 >= argc) return usage();
    const char* v = argv[++i];
    if (a == "--store") {
      store = v;
    } else if (a == "--dest" || a == "--user") {
      if (a == "--user") {
        fputs("kfs-devserver: --user is an old name for --dest (the destination number)\n", stderr);
      }
      if (!number(v, 0, 0xffffffffL, &dest)) return usage();
    } else if (a == "--account-key") {
      key = v;
    } else if (a == "--to") {
      to = v;
    } else {
      return usage();
    }
  }
  if (store.empty() || to.empty() || dest < 0 || key.empty()) return usage();
  return kfsd::restore(store, static_cast<uint32_t>(dest), key, to);
}

// One option with a value; false on a bad one.
bool option(kfsd::Options* o, const std::string& a, const char* value, bool* have_listen) {
  long v = 0;
  if (a == "--listen") {
    std::string t = value;
    size_t colon = t.rfind(':');
    if (colon == std::string::npos || !number(t.c_str() + colon + 1, 0, 65535, &v)) return false;
    o->listen_host = t.substr(0, colon);
    o->listen_port = static_cast<int>(v);
    *have_listen = true;
  } else if (a == "--store") {
    o->store = value;
  } else if (a == "--block-size") {
    if (!number(value, 16, 1L << 30, &v)) return false;
    o->block_size = static_cast<uint32_t>(v);
  } else if (a == "--page-size") {
    if (!number(value, 1, 65535, &v)) return false;
    o->page_size = static_cast<int>(v);
  } else if (a == "--inline-max") {
    if (!number(value, 0, 65536, &v)) return false;
    o->inline_max = static_cast<size_t>(v);
  } else if (a == "--checkpoint-ms") {
    if (!number(value, 1, 86400000L, &v)) return false;
    o->checkpoint_ms = static_cast<int>(v);
  } else if (a == "--fault") {
    return add_fault(o, value, "");
  } else if (a == "--fault-plan") {
    return read_plan(o, value);
  } else {
    std::string entry = shorthand(a, value);
    return !entry.empty() && add_fault(o, entry, a + ": ");
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "restore") == 0) return run_restore(argc, argv);
  kfsd::Options o;
  bool have_listen = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      printf("%s%s%s", kUsage, kFaultHelp, kStoreHelp);
      return 0;
    } else if (a == "--version") {
      printf("kfs-devserver %s\n", VARNO_VERSION);
      return 0;
    } else if (a == "--verbose") {
      o.verbose = true;
    } else if (a == "--no-sync") {
      o.no_sync = true;
    } else if (a == "--again-first-login") {
      if (!add_fault(&o, "login#1 again", "")) return usage();
    } else if (i + 1 >= argc || !option(&o, a, argv[i + 1], &have_listen)) {
      return usage();
    } else {
      ++i;
    }
  }
  if (!have_listen || o.store.empty()) return usage();
  return kfsd::serve(o);
}
