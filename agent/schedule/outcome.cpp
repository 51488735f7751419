#include "agent/schedule/outcome.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

constexpr const char kHeader[] = "# Varno Job Outcome";

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

bool parse_count(const std::string& text, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

bool write_whole(Env* env, int fd, const std::string& text) {
  return plat_write_all(env, fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Overwrites the file's first bytes and blanks the rest with line feeds (blank lines,
// which the reader passes over), so no new block is needed.
int rewrite_in_place(Env* env, const std::string& path, const std::string& text) {
  EnvFile file(env, env->open_file(path, PLAT_OPEN_WRITE));
  if (!file.valid()) return -1;
  int64_t size = env->file_size(file.get());
  std::string padded = text;
  if (size > static_cast<int64_t>(padded.size()))
    padded.append(static_cast<size_t>(size) - padded.size(), '\n');
  if (!write_whole(env, file.get(), padded)) return -1;
  return file.close();
}

}  // namespace

std::string outcome_path(const char* schedule_path) {
  return std::string(schedule_path) + ".outcome";
}

std::string outcome_text(const OutcomeRecord& r) {
  char counts[256];
  snprintf(counts, sizeof counts,
           "sent=%" PRIu64 "\nup_to_date=%" PRIu64 "\nfailed=%" PRIu64 "\ndeleted=%" PRIu64
           "\nrequested=%" PRIu64 "\n",
           r.sent, r.up_to_date, r.failed, r.deleted, r.requested);
  return std::string(kHeader) + "\nstate=" + one_line(r.state) + "\n" + counts +
         "reason=" + one_line(r.reason) + "\nlog_error=" + one_line(r.log_error) + "\n";
}

bool outcome_parse(const std::string& text, OutcomeRecord* record) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return false;
  OutcomeRecord r;
  const struct {
    const char* key;
    uint64_t* value;
  } counts[] = {{"sent", &r.sent},
                {"up_to_date", &r.up_to_date},
                {"failed", &r.failed},
                {"deleted", &r.deleted},
                {"requested", &r.requested}};
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (key == "state") r.state = value;
    if (key == "reason") r.reason = value;
    if (key == "log_error") r.log_error = value;
    for (const auto& c : counts) {
      if (key == c.key && !parse_count(value, c.value)) return false;
    }
  }
  *record = r;
  return true;
}

int outcome_write(Env* env, const char* schedule_path, const OutcomeRecord& record) {
  const std::string path = outcome_path(schedule_path);
  const std::string temporary = path + ".tmp";
  const std::string text = outcome_text(record);
  int written = -1;
  {
    EnvFile file(
        env, env->open_file(temporary, PLAT_OPEN_WRITE | PLAT_OPEN_CREATE | PLAT_OPEN_TRUNCATE));
    if (file.valid() && write_whole(env, file.get(), text) && file.close() == 0)
      written = env->rename_file(temporary, path);
  }
  if (written == 0) return 0;
  int error = errno;
  (void)env->delete_file(temporary);
  if (rewrite_in_place(env, path, text) == 0) return 0;
  errno = error;
  return -1;
}
