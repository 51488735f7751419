#include "agent/report/mail_queue.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "agent/report/report_io.h"
#include "protocol/codes.h"
#include "util/error.h"
#include "util/machine.h"
#include "util/text.h"

namespace {

// A queue file is a header and one message of at most 10 MiB; anything much larger is not
// one, and is not read into memory.
constexpr int64_t kFileMax = 10485760 + 65536;

const char* const kLines[] = {"# Varno Mail Queue\n", "Opcode=0\n", "ScheduleId=", "UserId=",
                              "EncryptionToken=",     "To=",        "[message]\n"};

// The rest of the line at `*at` after `prefix`, without its line feed; false when the line
// does not start so or has no end.
bool take_line(const std::string& text, size_t* at, const char* prefix, std::string* value) {
  size_t length = strlen(prefix);
  if (text.compare(*at, length, prefix) != 0) return false;
  if (prefix[length - 1] == '\n') {
    *at += length;
    return true;
  }
  size_t end = text.find('\n', *at + length);
  if (end == std::string::npos) return false;
  value->assign(text, *at + length, end - *at - length);
  *at = end + 1;
  return true;
}

bool all_digits(const std::string& text, size_t from) {
  if (text.size() <= from || text.size() - from > 19) return false;
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

bool parse_id(const std::string& text, int64_t* out) {
  bool negative = !text.empty() && text[0] == '-';
  if (!all_digits(text, negative ? 1 : 0)) return false;
  long long value = strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return false;
  *out = value;
  return true;
}

bool parse_user(const std::string& text, uint32_t* out) {
  if (!all_digits(text, 0) || text.size() > 10) return false;
  unsigned long long value = strtoull(text.c_str(), nullptr, 10);
  if (value > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool is_token(const std::string& text) {
  if (text.size() != 40) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// The whole file from the held descriptor; false with errno on a read failure or a file
// too large to be a queue file.
bool read_all(Env* env, int fd, std::string* bytes) {
  int64_t size = env->file_size(fd);
  if (size < 0) return false;
  if (size > kFileMax) {
    errno = EFBIG;
    return false;
  }
  bytes->resize(static_cast<size_t>(size));
  size_t got = 0;
  while (got < bytes->size()) {
    ssize_t n = env->read(fd, bytes->data() + got, bytes->size() - got);
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes->resize(got);
  return true;
}

// AES-256-CBC, zero IV, under the application key, as the writer stores it. False when the
// text does not decrypt to its end.
bool decrypt(const std::string& cipher_text, std::string* plain) {
  uint8_t key[32];
  if (get_application_key(key) != 0) return false;
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  const uint8_t iv[16] = {0};
  bool ok = ctx != nullptr && cipher_text.size() <= INT32_MAX &&
            EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, iv) == 1;
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) return false;
  plain->assign(cipher_text.size() + 32, '\0');
  int first = 0;
  int last = 0;
  auto* out = reinterpret_cast<unsigned char*>(plain->data());
  ok = EVP_DecryptUpdate(ctx.get(), out, &first,
                         reinterpret_cast<const unsigned char*>(cipher_text.data()),
                         static_cast<int>(cipher_text.size())) == 1 &&
       EVP_DecryptFinal_ex(ctx.get(), out + first, &last) == 1;
  plain->resize(ok ? static_cast<size_t>(first + last) : 0);
  return ok;
}

// Opens and reads `path` into `item`; `held` keeps the file open without sharing.
void read_held(Env* env, const std::string& path, EnvFile* held, MailQueueItem* item) {
  item->path = path;
  held->reset();
  *held = EnvFile(env, env->open_exclusive(path, PLAT_OPEN_READ));
  if (!held->valid()) {
    item->code = errno;
    item->state = errno == ENOENT ? MAIL_QUEUE_ABSENT : MAIL_QUEUE_BUSY;
    if (errno != ENOENT && errno != EACCES && errno != EAGAIN) item->state = MAIL_QUEUE_DAMAGED;
    return;
  }
  std::string cipher_text;
  std::string plain;
  if (!read_all(env, held->get(), &cipher_text)) {
    item->code = errno;
    item->state = MAIL_QUEUE_DAMAGED;
    return;
  }
  bool whole = decrypt(cipher_text, &plain) && mail_queue_parse(plain, &item->report);
  OPENSSL_cleanse(plain.data(), plain.size());
  item->state = whole ? MAIL_QUEUE_READ : MAIL_QUEUE_DAMAGED;
}

}  // namespace

std::string mail_queue_name(const std::string& stem, int index) {
  return index == 0 ? stem + ".eml" : stem + "-" + std::to_string(index) + ".eml";
}

bool mail_queue_parse(const std::string& plain, QueuedReport* out) {
  size_t at = 0;
  std::string id;
  std::string user;
  QueuedReport report;
  std::string none;
  if (!take_line(plain, &at, kLines[0], &none) || !take_line(plain, &at, kLines[1], &none) ||
      !take_line(plain, &at, kLines[2], &id) || !take_line(plain, &at, kLines[3], &user) ||
      !take_line(plain, &at, kLines[4], &report.encryption_token) ||
      !take_line(plain, &at, kLines[5], &report.to) || !take_line(plain, &at, kLines[6], &none)) {
    return false;
  }
  errno = 0;
  if (!parse_id(id, &report.schedule_id) || !parse_user(user, &report.user_number) ||
      !is_token(report.encryption_token) || report.to.empty()) {
    return false;
  }
  report.message.assign(plain, at, std::string::npos);
  *out = std::move(report);
  return true;
}

MailQueueItem mail_queue_read(Env* env, const std::string& path) {
  MailQueueItem item;
  EnvFile held;
  read_held(env, path, &held, &item);
  return item;
}

MailQueueItem mail_queue_send(Env* env, const std::string& path,
                              const MailQueueSessionFor& session_for) {
  MailQueueItem item;
  EnvFile held;
  read_held(env, path, &held, &item);
  if (item.state != MAIL_QUEUE_READ) return item;
  ckfs_session* session = session_for(item.report);
  if (session == nullptr) {
    item.state = MAIL_QUEUE_NO_SESSION;
    return item;
  }
  const QueuedReport& r = item.report;
  item.code =
      report_io_send(session, r.schedule_id, r.to.c_str(), r.message.data(), r.message.size());
  if (item.code != 0) {
    item.state = MAIL_QUEUE_REFUSED;
    return item;
  }
  item.state = MAIL_QUEUE_SENT;
  // Removed while held, so nobody reads it in between; where the system refuses to remove
  // a file that is open, it is closed first.
  if (env->delete_file(path) == 0) return item;
  (void)held.close();
  if (env->delete_file(path) != 0 && errno != ENOENT) {
    item.code = errno;
    item.state = MAIL_QUEUE_NOT_REMOVED;
  }
  return item;
}

int mail_queue_remove(Env* env, const std::string& path) {
  EnvFile held(env, env->open_exclusive(path, PLAT_OPEN_READ));
  if (!held.valid()) return -1;
  if (env->delete_file(path) == 0) return 0;
  (void)held.close();
  return env->delete_file(path);
}

std::string mail_queue_token(const uint8_t key_digest[20]) {
  char hex[41];
  hex_encode(key_digest, 20, hex);
  return hex;
}

std::string mail_queue_why(const MailQueueItem& item) {
  switch (item.state) {
    case MAIL_QUEUE_SENT:
    case MAIL_QUEUE_READ:
      return "";
    case MAIL_QUEUE_ABSENT:
      return "no such file";
    case MAIL_QUEUE_BUSY:
      return "another program holds it";
    case MAIL_QUEUE_DAMAGED:
      return item.code != 0 ? std::string("unreadable: ") + error_text(item.code)
                            : "damaged, or written under another etc/varno.ak";
    case MAIL_QUEUE_NO_SESSION:
      return "it belongs to another account";
    case MAIL_QUEUE_REFUSED:
      return std::string("the server did not take it (Error ") + std::to_string(item.code) + ": " +
             kfs_error_description(item.code) + ")";
    case MAIL_QUEUE_NOT_REMOVED:
      return std::string("sent, but it could not be removed: ") + error_text(item.code);
  }
  return "";
}
