// kfs-devserver command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/kfs-devserver/server.h"

namespace {

const char kUsage[] =
    "usage: kfs-devserver --listen HOST:PORT --store DIR [--block-size BYTES]\n"
    "                     [--page-size N] [--verbose]\n"
    "                     [--drop-after N] [--fail-query N] [--hold-lock USER:SECONDS]\n"
    "                     [--refuse-login CODE] [--corrupt-crc N] [--again-first-login]\n"
    "                     [--drop-data N] [--deny-prefix PATH]\n"
    "       kfs-devserver restore --store DIR --user N --account-key HEX --to DIR\n";

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

int run_restore(int argc, char** argv) {
  std::string store, key, to;
  long user = -1;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    const char* v = argv[++i];
    if (a == "--store") {
      store = v;
    } else if (a == "--user") {
      if (!number(v, 0, 0xffffffffL, &user)) return usage();
    } else if (a == "--account-key") {
      key = v;
    } else if (a == "--to") {
      to = v;
    } else {
      return usage();
    }
  }
  if (store.empty() || to.empty() || user < 0 || key.empty()) return usage();
  return kfsd::restore(store, static_cast<uint32_t>(user), key, to);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "restore") == 0) return run_restore(argc, argv);
  kfsd::Options o;
  bool have_listen = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    long v = 0;
    auto next = [&](const char** out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    const char* value = nullptr;
    if (a == "--verbose") {
      o.verbose = true;
    } else if (a == "--again-first-login") {
      o.again_first_login = true;
    } else if (!next(&value)) {
      return usage();
    } else if (a == "--listen") {
      std::string t = value;
      size_t colon = t.rfind(':');
      if (colon == std::string::npos || !number(t.c_str() + colon + 1, 0, 65535, &v)) {
        return usage();
      }
      o.listen_host = t.substr(0, colon);
      o.listen_port = static_cast<int>(v);
      have_listen = true;
    } else if (a == "--store") {
      o.store = value;
    } else if (a == "--block-size") {
      if (!number(value, 16, 1L << 30, &v)) return usage();
      o.block_size = static_cast<uint32_t>(v);
    } else if (a == "--page-size") {
      if (!number(value, 1, 65535, &v)) return usage();
      o.page_size = static_cast<int>(v);
    } else if (a == "--drop-after") {
      if (!number(value, 1, 1L << 30, &o.drop_after)) return usage();
    } else if (a == "--fail-query") {
      if (!number(value, 1, 1L << 30, &o.fail_query)) return usage();
    } else if (a == "--deny-prefix") {
      o.deny_prefix = value;
    } else if (a == "--drop-data") {
      if (!number(value, 1, 1L << 30, &o.drop_data)) return usage();
    } else if (a == "--corrupt-crc") {
      if (!number(value, 1, 1L << 30, &o.corrupt_crc)) return usage();
    } else if (a == "--refuse-login") {
      if (!number(value, 1, 255, &v)) return usage();
      o.refuse_login = static_cast<int>(v);
    } else if (a == "--hold-lock") {
      std::string t = value;
      size_t colon = t.find(':');
      long user = 0;
      if (colon == std::string::npos || !number(t.substr(0, colon).c_str(), 0, 0xffffffffL, &user) ||
          !number(t.c_str() + colon + 1, 1, 86400, &v)) {
        return usage();
      }
      o.hold_lock_user = static_cast<uint32_t>(user);
      o.hold_lock_seconds = static_cast<int>(v);
    } else {
      return usage();
    }
  }
  if (!have_listen || o.store.empty()) return usage();
  return kfsd::serve(o);
}
