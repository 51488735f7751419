#include "agent/report/report_io.h"

#include <cstring>

#include "agent/runtime/unique_file.h"
#include "agent/stream/cryptofile.h"
#include "platform/file.h"
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

int report_io_write_queue(const char* path, const std::string& plain) {
  UniqueFile file(plat_fopen_exclusive(path, "wb"));
  if (!file) return -1;
  CryptoFile writer;
  if (cryptofile_init_application(&writer, file.get(), 1) != 0) return -1;
  cryptofile_write(&writer, plain.data(), plain.size());
  bool written = cryptofile_finish(&writer) == 1;
  // The close flushes the last bytes: a queue file is written only when it succeeds.
  written = file.close() == 0 && written;
  return written ? 0 : -1;
}
