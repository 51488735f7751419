// varno-ctl kbs encrypt|decrypt: how operators and tests write and read schedules
// without the desktop client.
#include <openssl/crypto.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
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
          "usage: varno-ctl kbs encrypt [--force] PLAIN OUT | varno-ctl kbs decrypt [--force] KBS "
          "OUT\n");
  return CTL_USAGE;
}

constexpr char kKeyFile[] = "etc/varno.ak";
constexpr char kHeader[] = "# Varno Backup Schedule";

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

// The plain text holds the account key: written for the owner alone, and never over a
// file the operator did not name for replacing.
int decrypt_file(const char* in_path, const char* out_path, bool force) {
  if (!force && plat_env()->file_exists(out_path) != 0) {
    fprintf(stderr, "varno-ctl: '%s' exists; not overwritten (use --force)\n", out_path);
    return CTL_FAILED;
  }
  std::string plain;
  DecryptResult got = ctl_decrypt_text(in_path, &plain, false);
  if (got == DECRYPT_DAMAGED) ctl_print_damaged(in_path);
  if (got != DECRYPT_WHOLE) {
    ctl_wipe(&plain);
    return CTL_FAILED;
  }
  // The padding lets one wrong key in 256 through; a schedule's first line does not.
  if (plain.compare(0, strlen(kHeader), kHeader) != 0) {
    ctl_wipe(&plain);
    fprintf(stderr,
            "varno-ctl: '%s' is not a schedule under this etc/varno.ak (its first line is not "
            "\"%s\"); nothing written\n",
            in_path, kHeader);
    return CTL_FAILED;
  }
  if (force) (void)plat_env()->delete_file(out_path);
  int rc = plat_env()->publish_new_file(out_path, 0600, plain.data(), plain.size());
  int e = errno;
  ctl_wipe(&plain);
  if (rc != 0) {
    fprintf(stderr, "varno-ctl: cannot create '%s': %s\n", out_path, strerror(e));
    return CTL_FAILED;
  }
  return CTL_OK;
}

}  // namespace

void ctl_wipe(std::string* plain) {
  OPENSSL_cleanse(plain->data(), plain->size());
  plain->clear();
}

bool ctl_has_application_key() {
  return plat_env()->file_exists(kKeyFile) == 1;
}

void ctl_print_damaged(const char* path) {
  fprintf(stderr,
          "varno-ctl: '%s' is damaged: it is cut short or changed, or was written under "
          "another etc/varno.ak\n",
          path);
}

DecryptResult ctl_decrypt_text(const char* in_path, std::string* plain, bool make_key) {
  ctl_wipe(plain);
  // A key made now could decrypt nothing written before it.
  if (!make_key && !ctl_has_application_key()) {
    fprintf(stderr, "varno-ctl: no application key (%s) in this working folder\n", kKeyFile);
    return DECRYPT_FAILED;
  }
  FILE* in = plat_env()->open_stream(in_path, "rb");
  if (in == nullptr) {
    fprintf(stderr, "varno-ctl: cannot open '%s': %s\n", in_path, strerror(errno));
    return DECRYPT_FAILED;
  }
  CryptoFile reader;
  if (cryptofile_init_application(&reader, in, 0) != 0) {
    fclose(in);
    fprintf(stderr, "varno-ctl: the application key (%s) cannot be read\n", kKeyFile);
    return DECRYPT_FAILED;
  }
  char line[4096];
  while (cryptofile_gets(&reader, line, sizeof line) != nullptr) plain->append(line);
  OPENSSL_cleanse(line, sizeof line);
  bool whole = cryptofile_finish(&reader) == 1;
  fclose(in);
  return whole ? DECRYPT_WHOLE : DECRYPT_DAMAGED;
}

int ctl_kbs(int argc, char** argv) {
  bool force = argc == 5 && strcmp(argv[2], "--force") == 0;
  if (argc != 4 && !force) return usage();
  const char* in = argv[force ? 3 : 2];
  const char* out = argv[force ? 4 : 3];
  if (strcmp(argv[1], "decrypt") == 0) return decrypt_file(in, out, force);
  if (strcmp(argv[1], "encrypt") != 0) return usage();
  if (force) return encrypt_file(in, out);
  // A schedule the agent would refuse is caught here rather than at run time.
  int errors = 0;
  if (schedule_check_file(in, stderr, false, &errors) != 0) return CTL_FAILED;
  if (errors > 0) {
    fprintf(stderr, "varno-ctl: '%s' not encrypted: correct the errors above, or use --force\n",
            in);
    return CTL_FAILED;
  }
  return encrypt_file(in, out);
}
