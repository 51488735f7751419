// varno-ctl kbs encrypt|decrypt: how operators and tests write and read schedules
// without the desktop client.
#include <openssl/crypto.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "agent/stream/cryptofile.h"
#include "platform/env.h"
#include "tools/varno-ctl/ctl.h"
#include "tools/varno-ctl/encrypted_text.h"
#include "tools/varno-ctl/schedule_check.h"
#include "util/machine.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: varno-ctl kbs encrypt [--force] PLAIN OUT | varno-ctl kbs decrypt KBS OUT\n");
  return CTL_USAGE;
}

int encrypt_file(const char* in_path, const char* out_path) {
  FILE* in = plat_env()->open_stream(in_path, "rb");
  if (in == nullptr) {
    fprintf(stderr, "varno-ctl: cannot open '%s': %s\n", in_path, strerror(errno));
    return CTL_FAILED;
  }
  std::vector<char> plain;
  char chunk[8192];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) plain.insert(plain.end(), chunk, chunk + n);
  fclose(in);

  uint8_t key[32];
  if (get_application_key(key) != 0) {
    fprintf(stderr, "varno-ctl: the application key (etc/varno.ak) cannot be read or made\n");
    return CTL_FAILED;
  }
  FILE* out = plat_env()->open_stream(out_path, "wb");
  if (out == nullptr) {
    OPENSSL_cleanse(key, sizeof key);
    fprintf(stderr, "varno-ctl: cannot create '%s': %s\n", out_path, strerror(errno));
    return CTL_FAILED;
  }
  CryptoFile writer;
  int started = cryptofile_init(&writer, out, 1, key);
  OPENSSL_cleanse(key, sizeof key);
  if (started != 0) {
    fclose(out);
    fprintf(stderr, "varno-ctl: cannot start the cipher\n");
    return CTL_FAILED;
  }
  cryptofile_write(&writer, plain.data(), plain.size());
  OPENSSL_cleanse(plain.data(), plain.size());
  bool ok = cryptofile_finish(&writer) == 1;
  ok = fclose(out) == 0 && ok;
  if (!ok) {
    fprintf(stderr, "varno-ctl: writing '%s' failed\n", out_path);
    return CTL_FAILED;
  }
  return CTL_OK;
}

}  // namespace

int ctl_decrypt_text(const char* in_path, FILE* out) {
  FILE* in = plat_env()->open_stream(in_path, "rb");
  if (in == nullptr) {
    fprintf(stderr, "varno-ctl: cannot open '%s': %s\n", in_path, strerror(errno));
    return -1;
  }
  CryptoFile reader;
  if (cryptofile_init_application(&reader, in, 0) != 0) {
    fclose(in);
    fprintf(stderr, "varno-ctl: the application key (etc/varno.ak) cannot be read\n");
    return -1;
  }
  char line[4096];
  while (cryptofile_gets(&reader, line, sizeof line) != nullptr) fputs(line, out);
  OPENSSL_cleanse(line, sizeof line);
  (void)cryptofile_finish(&reader);
  fclose(in);
  return 0;
}

int ctl_kbs(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "encrypt") == 0 && strcmp(argv[2], "--force") == 0) {
    return encrypt_file(argv[3], argv[4]);
  }
  if (argc != 4) return usage();
  if (strcmp(argv[1], "encrypt") == 0) {
    // A schedule the agent would refuse is caught here rather than at run time.
    int errors = 0;
    if (schedule_check_file(argv[2], stderr, false, &errors) != 0) return CTL_FAILED;
    if (errors > 0) {
      fprintf(stderr, "varno-ctl: '%s' not encrypted: correct the errors above, or use --force\n",
              argv[2]);
      return CTL_FAILED;
    }
    return encrypt_file(argv[2], argv[3]);
  }
  if (strcmp(argv[1], "decrypt") != 0) return usage();
  FILE* out = plat_env()->open_stream(argv[3], "wb");
  if (out == nullptr) {
    fprintf(stderr, "varno-ctl: cannot create '%s': %s\n", argv[3], strerror(errno));
    return CTL_FAILED;
  }
  int rc = ctl_decrypt_text(argv[2], out);
  if (fclose(out) != 0) rc = -1;
  return rc == 0 ? CTL_OK : CTL_FAILED;
}
