// varno-ctl queue: the reports a schedule's runs could not hand to the server. show prints
// one; list, send and clear work on a schedule's whole series (SCHEDULE.eml, -1.eml ..
// -9.eml), as the agent names it.
#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "agent/report/mail_queue.h"
#include "platform/env.h"
#include "protocol/ckfs.h"
#include "tools/varno-ctl/ctl.h"
#include "tools/varno-ctl/encrypted_text.h"
#include "util/machine.h"
#include "util/text.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: varno-ctl queue show FILE\n"
          "       varno-ctl queue list|send|clear SCHEDULE\n");
  return CTL_USAGE;
}

int show(const char* path) {
  std::string plain;
  DecryptResult got = ctl_decrypt_text(path, &plain, false);
  // A damaged file shows nothing: under another key its text is noise.
  if (got == DECRYPT_DAMAGED) ctl_print_damaged(path);
  bool shown = got == DECRYPT_WHOLE && fputs(plain.c_str(), stdout) >= 0 && fflush(stdout) == 0;
  ctl_wipe(&plain);
  return shown ? CTL_OK : CTL_FAILED;
}

bool need_key() {
  if (ctl_has_application_key()) return true;
  fprintf(stderr, "varno-ctl: no application key (etc/varno.ak) in this working folder\n");
  return false;
}

// Logs in as the account a queued report names (its user number and the SHA-1 of its
// account key) from this machine; one login serves every report of the same account.
class Sender {
 public:
  Sender() { started_ = ckfs_init() == 0; }
  ~Sender() {
    end();
    if (started_) (void)ckfs_cleanup();
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  ckfs_session* session_for(const QueuedReport& r, const std::string& schedule_file) {
    if (!started_) return nullptr;
    if (session_ != nullptr && r.user_number == user_ && r.encryption_token == token_) {
      return session_.get();
    }
    end();
    session_ = std::make_unique<ckfs_session>();
    ckfs_session* s = session_.get();
    ckfs_session_init(s);
    s->env = plat_env();
    s->mode = 1;
    s->cipher_kind = 3;
    s->user_number = r.user_number;
    hex_decode(r.encryption_token.c_str(), 20, s->key_digest);
    get_machine_token(s->machine_token);
    snprintf(s->hosts_path, sizeof s->hosts_path, "%s", "etc/hosts");
    snprintf(s->schedule_file, sizeof s->schedule_file, "%s", schedule_file.c_str());
    user_ = r.user_number;
    token_ = r.encryption_token;
    return s;
  }

  // Why the last connection failed, or "".
  std::string connect_failure() const {
    return session_ != nullptr ? session_->connect_failure : "";
  }

 private:
  void end() {
    if (session_ == nullptr) return;
    OPENSSL_cleanse(session_->key_digest, sizeof session_->key_digest);
    ckfs_session_reset(session_.get());
    session_.reset();
  }

  bool started_ = false;
  std::unique_ptr<ckfs_session> session_;
  uint32_t user_ = 0;
  std::string token_;
};

std::string base_name(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

enum class Action { kList, kSend, kClear };

int series(Action action, const std::string& stem) {
  if (action != Action::kClear && !need_key()) return CTL_FAILED;
  Env* env = plat_env();
  Sender sender;
  const std::string schedule_file = base_name(stem);
  auto session_for = [&](const QueuedReport& r) { return sender.session_for(r, schedule_file); };
  int found = 0;
  int kept = 0;
  for (int i = 0; i < MAIL_QUEUE_SERIES; ++i) {
    const std::string path = mail_queue_name(stem, i);
    if (env->file_exists(path) != 1) continue;
    ++found;
    if (action == Action::kClear) {
      if (mail_queue_remove(env, path) == 0) {
        printf("removed %s\n", path.c_str());
      } else {
        ++kept;
        printf("kept %s: %s\n", path.c_str(),
               errno == EACCES ? "another program holds it" : strerror(errno));
      }
      continue;
    }
    MailQueueItem item = action == Action::kList ? mail_queue_read(env, path)
                                                 : mail_queue_send(env, path, session_for);
    if (item.state == MAIL_QUEUE_READ) {
      printf("%s\tto %s\t%zu bytes\n", path.c_str(), item.report.to.c_str(),
             item.report.message.size());
    } else if (item.state == MAIL_QUEUE_SENT) {
      printf("sent %s to %s\n", path.c_str(), item.report.to.c_str());
    } else if (item.state != MAIL_QUEUE_ABSENT) {
      ++kept;
      std::string why = mail_queue_why(item);
      if (item.state == MAIL_QUEUE_REFUSED && !sender.connect_failure().empty()) {
        why += " (" + sender.connect_failure() + ")";
      }
      printf("kept %s: %s\n", path.c_str(), why.c_str());
    }
  }
  if (found == 0) printf("no queued reports for '%s'\n", stem.c_str());
  return fflush(stdout) == 0 && kept == 0 ? CTL_OK : CTL_FAILED;
}

}  // namespace

int ctl_queue(int argc, char** argv) {
  if (argc != 3) return usage();
  if (strcmp(argv[1], "show") == 0) return show(argv[2]);
  if (strcmp(argv[1], "list") == 0) return series(Action::kList, argv[2]);
  if (strcmp(argv[1], "send") == 0) return series(Action::kSend, argv[2]);
  if (strcmp(argv[1], "clear") == 0) return series(Action::kClear, argv[2]);
  return usage();
}
