#include "agent/report/report_io.h"

#include <cerrno>
#include <cstring>

#include "agent/stream/cryptofile.h"
#include "platform/env.h"
#include "protocol/ckfs.h"

void report_io_session_names(const ckfs_session* session, std::string* account, std::string* user) {
  if (session == nullptr) {
    account->clear();
    user->clear();
    return;
  }
  account->assign(session->account.name,
                  strnlen(session->account.name, sizeof session->account.name));
  user->assign(session->user.name, strnlen(session->user.name, sizeof session->user.name));
}

int report_io_send(ckfs_session* session, int64_t schedule_id, const char* address,
                   const char* message, size_t length) {
  if (length > UINT32_MAX) return ERR_DATAMAX;
  List* recipients = list_create(1, 1, nullptr);
  list_insert(recipients, address, strlen(address), 0);
  ckfs_email_request request{static_cast<uint64_t>(schedule_id), recipients,
                             static_cast<uint32_t>(length), message};
  int code = ckfs_email(session, &request);
  list_free(recipients);
  return code;
}

namespace {

// The encrypted text into `fd`, synced; false on any failure.
bool write_encrypted(Env* env, EnvFile file, const std::string& plain) {
  CryptoFile writer;
  if (cryptofile_init_application_writer(&writer, env, file.get()) != 0) return false;
  cryptofile_write(&writer, plain.data(), plain.size());
  bool written = cryptofile_finish(&writer) == 1;
  written = written && env->sync(file.get()) == 0;
  return file.close() == 0 && written;
}

}  // namespace

int report_io_write_queue(Env* env, const char* path, const std::string& plain) {
  // Holding the name's own lock keeps readers out until the new file has replaced it; a
  // reader that holds it already makes the write fail here.
  EnvFile held(env, env->open_exclusive(path, PLAT_OPEN_WRITE));
  if (!held.valid() && errno != ENOENT) return -1;
  std::string temporary = std::string(path) + ".tmp";
  EnvFile file(
      env, env->open_exclusive(temporary, PLAT_OPEN_WRITE | PLAT_OPEN_CREATE | PLAT_OPEN_TRUNCATE));
  if (!file.valid()) return -1;
  if (!write_encrypted(env, std::move(file), plain) || env->rename_file(temporary, path) != 0) {
    int saved = errno;
    (void)env->delete_file(temporary);
    errno = saved;
    return -1;
  }
  return 0;
}
