// The server address file, read (and perhaps rewritten) from a scratch file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "protocol/ckfs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static char path[] = "/tmp/varno-fuzz-hosts-XXXXXX";
  static int fd = mkstemp(path);
  if (fd < 0) return 0;
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
