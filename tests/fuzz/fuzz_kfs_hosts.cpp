// The server address file, read (and perhaps rewritten) from a scratch file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "protocol/ckfs.h"

namespace {

// One scratch file for the whole run; the test run replays the seeds often, so it goes
// again at exit.
struct Scratch {
  char path[32] = "/tmp/varno-fuzz-hosts-XXXXXX";
  int fd = mkstemp(path);
  ~Scratch() {
    if (fd < 0) return;
    close(fd);
    unlink(path);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  if (scratch.fd < 0) return 0;
  const char* path = scratch.path;
  FILE* f = fopen(path, "wb");
  if (f == nullptr) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  static ckfs_session session;
  ckfs_session_init(&session);
  snprintf(session.hosts_path, sizeof session.hosts_path, "%s", path);
  (void)ckfs_read_hosts(&session);
  for (int i = 0; i < ckfs_host_count(); ++i) (void)ckfs_host_name(i);
  return 0;
}
