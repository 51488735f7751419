#include "agent/report/report.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "agent/report/mail_queue.h"
#include "agent/report/report_io.h"
#include "agent/runtime/log.h"
#include "agent/runtime/unique_file.h"
#include "platform/env.h"
#include "protocol/codes.h"
#include "util/error.h"
#include "util/memory.h"
#include "util/text.h"

#ifndef VARNO_REMOVAL_HOST
#define VARNO_REMOVAL_HOST "www.example.invalid"
#endif

namespace {

constexpr size_t kMessageStart = 131072;
constexpr size_t kMessageMax = 10485760;
constexpr size_t kTemplateBuffer = 32768;
constexpr const char* kInternalRecipient = "internal-backup-agent";
constexpr const char* kSuccess = "etc/success";
constexpr const char* kFailInfo = "etc/failinfo";
constexpr const char* kFailNoInfo = "etc/failnoinfo";

// The message buffer: grows by doubling up to 10 MiB; an append that cannot fit is
// dropped and breaks the delivery under way.
class MessageBuffer {
 public:
  ~MessageBuffer() { free(data_); }
  void allocate() {
    if (data_ == nullptr) {
      data_ = static_cast<char*>(util_alloc(kMessageStart));
      capacity_ = kMessageStart;
    }
    clear();
  }
  void clear() {
    length_ = 0;
    if (data_ != nullptr) data_[0] = '\0';
    failed_ = false;
  }
  // Answers false when the text was dropped.
  bool append(const char* text, size_t n) {
    if (failed_ || data_ == nullptr) return false;
    if (length_ + n + 1 > capacity_) {
      size_t grown = capacity_;
      while (grown < length_ + n + 1 && grown < kMessageMax)
        grown = std::min(grown * 2, kMessageMax);
      if (length_ + n + 1 > grown) {
        failed_ = true;
        return false;
      }
      data_ = static_cast<char*>(util_realloc(data_, grown));
      capacity_ = grown;
    }
    memcpy(data_ + length_, text, n);
    length_ += n;
    data_[length_] = '\0';
    return true;
  }
  bool append(const std::string& s) { return append(s.data(), s.size()); }
  const char* data() const { return data_ != nullptr ? data_ : ""; }
  size_t length() const { return length_; }
  size_t capacity() const { return capacity_; }

 private:
  char* data_ = nullptr;
  size_t length_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

struct Report {
  int stage = REPORT_IDLE;
  Env* env = plat_env();  // the job's clock and files
  std::string queue_path;
  std::string queue_stem;
  std::string job_name;
  std::vector<std::string> recipients;
  int64_t schedule_id = 0;
  uint32_t user_number = 0;
  char encryption_token[41] = {0};
  int default_flags = REPORT_FLAG_HTML;
  int64_t start_time = 0;
  int64_t stop_time = 0;
  bool stopped = false;
  std::string account_name;
  std::string user_name;
  ckfs_session* session = nullptr;
  uint64_t start_size = 0;
  uint64_t requested = 0;
  std::string destination;
  uint64_t transferred = 0;
  uint64_t up_to_date = 0;
  uint64_t failed = 0;
  uint64_t deleted = 0;
  uint64_t stop_size = 0;
  std::string failure_message;
  List* errors = nullptr;
  MessageBuffer message;
};

// The one report of the job in progress (process-wide by design: every stage of the job
// reaches it without threading it through).
Report g_report;

void break_report() {
  g_report.stage = REPORT_BROKEN;
}

std::string html_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string ctime_text(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  char buf[64];
  if (ctime_r(&t, buf) == nullptr) return std::string();
  std::string s(buf);
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

std::string bytes_text(uint64_t n) {
  char buf[32];
  snprintf(buf, sizeof buf, "%" PRIu64 " bytes", n);
  return buf;
}

std::string count_text(uint64_t n) {
  char buf[32];
  snprintf(buf, sizeof buf, "%" PRId64, static_cast<int64_t>(n));
  return buf;
}

// Stop minus start, signed: a run that ends with fewer bytes than it sized shows a
// negative difference instead of a wrapped 20-digit number.
std::string delta_size_text(uint64_t stop, uint64_t start) {
  char buf[40];
  if (stop >= start) {
    snprintf(buf, sizeof buf, "%" PRIu64 " bytes", stop - start);
  } else {
    snprintf(buf, sizeof buf, "-%" PRIu64 " bytes", start - stop);
  }
  return buf;
}

std::string dst_path_text(const Report& r) {
  std::string tail;
  if (r.destination.size() > 1) {
    size_t slash = r.destination.find('/', 1);
    if (slash != std::string::npos) tail = r.destination.substr(slash);
  }
  return "My Dorn/" + r.user_name + tail;
}

std::string error_rows(const Report& r, bool html) {
  int count = list_count(r.errors);
  std::string out;
  if (count <= 0)
    return html ? "<tr><td class=\"rowtitle\" align=center>None!</td></tr>\n" : " - None!\n";
  if (html) out = "<tr><td class=\"rowtitle\">File</td><td class=\"rowtitle\">Error</td></tr>";
  for (int i = 0; i + 1 < count; i += 2) {
    std::string path = list_item(r.errors, i);
    std::string text = list_item(r.errors, i + 1);
    if (html) {
      out += "<tr><td>" + html_escape(path) + "</td><td>" + html_escape(text) + "</td></tr>\n";
    } else {
      out += " - " + path + ": " + text + "\n";
    }
  }
  return out;
}

std::string escaped(const std::string& text, bool html) {
  return html ? html_escape(text) : text;
}

std::string delta_time_text(const Report& r) {
  char buf[9];
  int64_t d = r.stop_time - r.start_time;
  format_duration(d > 0 ? static_cast<uint64_t>(d) : 0, buf);
  return buf;
}

// The report's tags and what each stands for.
struct Tag {
  const char* name;
  std::string (*text)(const Report& r, bool html);
};

constexpr Tag kTags[] = {
    {"#JOB#", [](const Report& r, bool html) { return escaped(r.job_name, html); }},
    {"#ERROR_MESSAGE#",
     [](const Report& r, bool html) { return escaped(r.failure_message, html); }},
    {"#ACCNAME#", [](const Report& r, bool html) { return escaped(r.account_name, html); }},
    {"#USERNAME#", [](const Report& r, bool html) { return escaped(r.user_name, html); }},
    {"#DSTPATH#", [](const Report& r, bool html) { return escaped(dst_path_text(r), html); }},
    {"#START_TIME#", [](const Report& r, bool) { return ctime_text(r.start_time); }},
    {"#START_SIZE#", [](const Report& r, bool) { return bytes_text(r.start_size); }},
    {"#STOP_TIME#", [](const Report& r, bool) { return ctime_text(r.stop_time); }},
    {"#STOP_SIZE#", [](const Report& r, bool) { return bytes_text(r.stop_size); }},
    {"#DELTA_TIME#", [](const Report& r, bool) { return delta_time_text(r); }},
    {"#DELTA_SIZE#",
     [](const Report& r, bool) { return delta_size_text(r.stop_size, r.start_size); }},
    {"#NUM_REQUESTED#", [](const Report& r, bool) { return count_text(r.requested); }},
    {"#NUM_TRANSFERED#", [](const Report& r, bool) { return count_text(r.transferred); }},
    {"#NUM_UP2DATE#", [](const Report& r, bool) { return count_text(r.up_to_date); }},
    {"#NUM_FAILED#", [](const Report& r, bool) { return count_text(r.failed); }},
    {"#NUM_DELETED#", [](const Report& r, bool) { return count_text(r.deleted); }},
    {"#ERROR_LIST#", [](const Report& r, bool html) { return error_rows(r, html); }},
    {"#REMOVE_ME_URL#",
     [](const Report&, bool) {
       return std::string("https://" VARNO_REMOVAL_HOST "/remove_notification");
     }},
};

// The text a tag at the start of `at` stands for; false when no tag starts there.
bool expand_tag(const char* at, bool html, size_t* tag_length, std::string* value) {
  for (const Tag& tag : kTags) {
    size_t n = strlen(tag.name);
    if (strncmp(at, tag.name, n) != 0) continue;
    *tag_length = n;
    *value = tag.text(g_report, html);
    return true;
  }
  return false;
}

// Fills the message buffer from the template. Answers false when an append was dropped.
bool scan_template(const char* text, bool html) {
  bool ok = true;
  const char* p = text;
  while (*p != '\0') {
    const char* hash = strchr(p, '#');
    if (hash == nullptr) {
      ok &= g_report.message.append(p, strlen(p));
      break;
    }
    ok &= g_report.message.append(p, static_cast<size_t>(hash - p));
    size_t tag_length = 0;
    std::string value;
    if (expand_tag(hash, html, &tag_length, &value)) {
      ok &= g_report.message.append(value);
      p = hash + tag_length;
    } else {
      ok &= g_report.message.append("#", 1);
      p = hash + 1;
    }
  }
  return ok;
}

std::string load_template(const char* kind, bool html) {
  char path[256];
  snprintf(path, sizeof path, "%s%s.emt", kind, html ? "_html" : "_txt");
  UniqueFile f(g_report.env->open_stream(path, "rb"));
  if (!f) return "\nEmail template missing!";
  std::vector<char> buffer(kTemplateBuffer);
  size_t n = fread(buffer.data(), 1, kTemplateBuffer - 1, f.get());
  f.reset();
  if (n == 0 || n == kTemplateBuffer - 1) return "\nError loading email template!";
  buffer[n] = '\0';
  replace_all(buffer.data(), kTemplateBuffer, "\r", "");
  return std::string(buffer.data());
}

bool file_present(const std::string& path) {
  return g_report.env->file_exists(path) != 0;
}

// The queue file for the n-th queued message of one delivery. The first takes the name the
// schedule chose, or a lower name of its series freed since then (by sending the queue);
// later ones take the next free names of the same ".eml", "-1.eml" .. "-9.eml" series, so
// several recipients' reports do not replace one another. The series comes from the stem,
// never from the first name: a "-3" may belong to the schedule's own name. `*full` tells
// that every name of the series is taken, so the answer replaces a queued report.
std::string queue_path_for(int queued_before, bool* full) {
  const std::string& base = g_report.queue_stem;
  *full = false;
  int chosen = MAIL_QUEUE_SERIES;
  for (int i = 0; i < MAIL_QUEUE_SERIES && queued_before == 0; ++i) {
    if (mail_queue_name(base, i) == g_report.queue_path) chosen = i;
  }
  if (queued_before == 0 && chosen == MAIL_QUEUE_SERIES) return g_report.queue_path;
  for (int i = 0; i < chosen; ++i) {
    std::string candidate = mail_queue_name(base, i);
    if (!file_present(candidate)) return candidate;
  }
  if (queued_before == 0) {
    *full = chosen == MAIL_QUEUE_SERIES - 1 && file_present(g_report.queue_path);
    return g_report.queue_path;
  }
  *full = true;
  return mail_queue_name(base, MAIL_QUEUE_SERIES - 1);
}

std::string queue_text(const std::string& address) {
  char head[512];
  snprintf(head, sizeof head,
           "# Varno Mail Queue\nOpcode=0\nScheduleId=%" PRId64 "\nUserId=%" PRIu32
           "\nEncryptionToken=%s\nTo=",
           g_report.schedule_id, g_report.user_number, g_report.encryption_token);
  std::string text = head;
  text += address;
  text += "\n[message]\n";
  text.append(g_report.message.data(), g_report.message.length());
  return text;
}

// Composes for one recipient; answers whether a report was produced. `queued` counts the
// queue files tried so far in this delivery.
bool compose(const char* kind, const std::string& address, int flags, int* queued) {
  if ((flags & REPORT_FLAG_ONLY_ON_ERRORS) != 0 && list_count(g_report.errors) <= 0) return false;
  bool html = (flags & REPORT_FLAG_HTML) != 0;
  std::string text = load_template(kind, html);
  g_report.message.clear();
  if (!scan_template(text.c_str(), html)) break_report();
  if (strcmp(kind, kSuccess) == 0 && g_report.session != nullptr &&
      report_io_send(g_report.session, g_report.schedule_id, address.c_str(),
                     g_report.message.data(), g_report.message.length()) == 0) {
    return true;
  }
  // A name that could not be written (held open by a reader) is passed over by the next
  // recipient too: it takes the next free name instead of failing on the same one. A
  // report that replaces a queued one, or is lost, leaves a line in the agent log.
  bool full = false;
  std::string path = queue_path_for(*queued, &full);
  ++*queued;
  if (full) {
    log_agent("Mail queue full (%s to %s taken); the report of '%s' to %s replaces '%s'.\n",
              mail_queue_name(g_report.queue_stem, 0).c_str(),
              mail_queue_name(g_report.queue_stem, MAIL_QUEUE_SERIES - 1).c_str(),
              g_report.job_name.c_str(), address.c_str(), path.c_str());
  }
  if (report_io_write_queue(g_report.env, path.c_str(), queue_text(address)) != 0) {
    log_agent(
        "Could not write the mail queue file '%s' (%s); the report of '%s' to %s was "
        "not queued.\n",
        path.c_str(), error_text(errno), g_report.job_name.c_str(), address.c_str());
    break_report();
  }
  return true;
}

void deliver(const char* kind) {
  Report& r = g_report;
  if (!r.stopped) r.stop_time = r.env->unix_time();
  bool any = false;
  int queued = 0;
  for (const std::string& entry : r.recipients) {
    int flags = r.default_flags;
    std::string address = entry;
    size_t comma = entry.find(',');
    if (comma != std::string::npos) {
      long value = decimal_number(entry.substr(0, comma).c_str());
      flags = static_cast<int>(value > INT32_MAX   ? INT32_MAX
                               : value < INT32_MIN ? INT32_MIN
                                                   : value);
      address = entry.substr(comma + 1);
    }
    any |= compose(kind, address, flags, &queued);
  }
  if (!any) compose(kind, kInternalRecipient, REPORT_FLAG_HTML, &queued);
  list_free(r.errors);
  r.errors = nullptr;
  r.stage = REPORT_IDLE;
}

bool in_stage(int wanted) {
  if (g_report.stage == wanted) return true;
  break_report();
  return false;
}

void add_failure(const char* path, const char* text) {
  ++g_report.failed;
  list_insert(g_report.errors, path, strlen(path), list_count(g_report.errors));
  list_insert(g_report.errors, text, strlen(text), list_count(g_report.errors));
}

void fail(const std::string& message) {
  int stage = g_report.stage;
  if (stage < REPORT_STARTED || stage > REPORT_TRANSFER) {
    break_report();
    return;
  }
  g_report.failure_message = message;
  deliver(stage == REPORT_STARTED ? kFailNoInfo : kFailInfo);
}

}  // namespace

void report_start(const char* queue_path, const char* queue_stem, const char* job_name,
                  const List* recipients, int64_t schedule_id, uint32_t user_number,
                  const uint8_t key_digest[20], int default_flags, Env* env) {
  // Every job starts a fresh report, whatever became of the last one: a broken or
  // undelivered report of an earlier job must not silence this job's.
  Report& r = g_report;
  list_free(r.errors);
  r.errors = nullptr;
  r.env = env != nullptr ? env : plat_env();
  r.queue_path = queue_path != nullptr ? queue_path : "";
  r.queue_stem = queue_stem != nullptr ? queue_stem : "";
  r.job_name = job_name != nullptr ? job_name : "";
  r.recipients.clear();
  for (int i = 0; i < list_count(recipients); ++i)
    r.recipients.emplace_back(list_item(recipients, i));
  r.schedule_id = schedule_id;
  r.user_number = user_number;
  hex_encode(key_digest, 20, r.encryption_token);
  r.default_flags = default_flags;
  r.start_time = r.env->unix_time();
  r.stop_time = 0;
  r.stopped = false;
  r.account_name.clear();
  r.user_name.clear();
  r.session = nullptr;
  r.start_size = r.requested = r.transferred = r.up_to_date = r.failed = r.deleted = r.stop_size =
      0;
  r.destination.clear();
  r.failure_message.clear();
  r.message.allocate();
  r.stage = REPORT_STARTED;
}

void report_session_gone(const ckfs_session* session) {
  if (g_report.session == session) g_report.session = nullptr;
}

void report_session(ckfs_session* session) {
  if (!in_stage(REPORT_STARTED)) return;
  report_io_session_names(session, &g_report.account_name, &g_report.user_name);
  g_report.session = session;
  g_report.stage = REPORT_SESSION;
}

void report_begin(uint64_t requested, uint64_t start_size, const char* destination) {
  if (!in_stage(REPORT_SESSION)) return;
  g_report.requested = requested;
  g_report.start_size = start_size;
  g_report.destination = destination != nullptr ? destination : "";
  g_report.transferred = g_report.up_to_date = g_report.failed = g_report.deleted = 0;
  g_report.errors = list_create(1, 16, nullptr);
  g_report.stage = REPORT_TRANSFER;
}

void report_count_current() {
  if (in_stage(REPORT_TRANSFER)) ++g_report.up_to_date;
}

void report_count_transferred() {
  if (in_stage(REPORT_TRANSFER)) ++g_report.transferred;
}

void report_count_deleted() {
  if (in_stage(REPORT_TRANSFER)) ++g_report.deleted;
}

void report_fail_item_text(const char* path, const char* text) {
  if (in_stage(REPORT_TRANSFER)) add_failure(path, text);
}

void report_fail_file_errno(const char* path, int errnum) {
  if (in_stage(REPORT_TRANSFER)) add_failure(path, error_text(errnum));
}

void report_fail_file_code(const char* path, int kfs_code) {
  if (in_stage(REPORT_TRANSFER)) add_failure(path, kfs_error_description(kfs_code));
}

void report_success(uint64_t stop_size) {
  if (!in_stage(REPORT_TRANSFER)) return;
  g_report.stop_time = g_report.env->unix_time();
  g_report.stopped = true;
  g_report.stop_size = stop_size;
  g_report.failure_message.clear();
  deliver(kSuccess);
}

void report_failure_code(int kfs_code) {
  fail(kfs_error_description(kfs_code));
}

void report_failure_text(const char* text) {
  fail(text != nullptr ? text : "");
}

int report_stage() {
  return g_report.stage;
}

ReportCounts report_counts() {
  const Report& r = g_report;
  ReportCounts counts;
  counts.requested = r.requested;
  counts.transferred = r.transferred;
  counts.up_to_date = r.up_to_date;
  counts.failed = r.failed;
  counts.deleted = r.deleted;
  counts.failure_message = r.failure_message;
  return counts;
}

std::string report_compose_for_test(const std::string& template_text, bool html) {
  g_report.message.allocate();
  scan_template(template_text.c_str(), html);
  return std::string(g_report.message.data(), g_report.message.length());
}
