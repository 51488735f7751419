// varno-ctl schedule check: a plain schedule read by the agent's own parser, before it
// is encrypted and long before it would fail at run time. The parser says what it
// refuses and with which text; a line scan here says on which line, since the parser
// sees only the text. Checks that need this machine (sources, filter folders) read the
// drive map of the working folder, as the agent does.
#include <openssl/crypto.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/backup/filters.h"
#include "agent/backup/settings.h"
#include "agent/runtime/log.h"
#include "agent/schedule/procjob.h"
#include "platform/env.h"
#include "platform/launch.h"
#include "tools/varno-ctl/ctl.h"
#include "tools/varno-ctl/encrypted_text.h"
#include "tools/varno-ctl/schedule_check.h"

namespace {

constexpr size_t kPieceMax = 259;  // bytes the agent's line reader hands out at once
constexpr const char kHeader[] = "# Varno Backup Schedule";
constexpr size_t kTextMax = 16400;  // room for the longest log line

// The list keys, in the order the parser tests them (the options follow, in their table's
// order, taken from the parser itself).
enum LineKind {
  LINE_NONE,
  LINE_COMMENT,
  LINE_HEADER,
  LINE_UNKNOWN,
  LINE_SRC,
  LINE_FILTER,
  LINE_XSRC,
  LINE_SYNC,
  LINE_EMAIL,
  LINE_HTML,
  LINE_SCHEDULE_EMAIL,
  LINE_OPTION
};

struct ListKey {
  const char* key;
  LineKind kind;
};
constexpr ListKey kListKeys[] = {
    {"Src=", LINE_SRC},
    {"filter=", LINE_FILTER},
    {"XSrc=", LINE_XSRC},
    {"Sync=", LINE_SYNC},
    {"Email=", LINE_EMAIL},
    {"html=", LINE_HTML},
    {"schedule_email=", LINE_SCHEDULE_EMAIL},
};

// Texts the agent logs outside the parser (the job's own checks and the first look at a
// source). The process tests compare them with what the agent writes.
constexpr const char kDisabled[] = "The schedule is disabled; aborting.";
constexpr const char kBadKey[] = "Error parsing encryption key; aborting.";
constexpr const char kStatFailed[] = "FILE: ERROR (errno %d) while attempting to stat() file: '%s'";
constexpr const char kNotFound[] = "Previous error indicates the file was not found.";
constexpr const char kNoToday[] =
    "FILE: ERROR: Failed to generate filter parent directories while on '%s'";
constexpr const char kUndecryptable[] = "Unable to decrypt file; aborting.";

struct Line {
  std::string raw;   // as in the file, line feed included
  std::string text;  // what the parser matches: the first piece, cut at "\n" then "\r"
  LineKind kind = LINE_NONE;
  int option = -1;       // for LINE_OPTION
  bool dropped = false;  // neutralised after a refusal, so the parser can go on
};

struct Checker {
  std::vector<Line> lines;
  std::vector<ScheduleProblem> problems;
  std::vector<std::string> keys;  // the option table's keys, copied from the parser

  void add(int line, ScheduleSeverity severity, std::string text) {
    problems.push_back({line, severity, std::move(text)});
  }
  int end_line() const { return lines.empty() ? 1 : static_cast<int>(lines.size()); }
};

std::string value_of(const Line& l, const char* key) {
  return l.text.substr(strlen(key));
}

// What the parser would match on `text`, with the option index for options.
LineKind classify(const std::string& text, int* option) {
  if (text.empty()) return LINE_NONE;
  if (text[0] == ';' || text[0] == '#') return LINE_COMMENT;
  for (const ListKey& k : kListKeys) {
    if (strncasecmp(text.c_str(), k.key, strlen(k.key)) == 0) return k.kind;
  }
  const JobSettings& j = job_settings();
  for (int i = 0; i < OPT_COUNT; ++i) {
    if (strncasecmp(text.c_str(), j.options[i].key, j.options[i].key_length) == 0) {
      *option = i;
      return LINE_OPTION;
    }
  }
  return LINE_UNKNOWN;
}

void split_lines(const std::string& plain, Checker* c) {
  size_t at = 0;
  while (at < plain.size()) {
    size_t end = plain.find('\n', at);
    size_t next = end == std::string::npos ? plain.size() : end + 1;
    Line l;
    l.raw = plain.substr(at, next - at);
    std::string first = l.raw.substr(0, std::min(kPieceMax, l.raw.size()));
    first = first.substr(0, first.find('\n'));
    l.text = first.substr(0, first.find('\r'));
    l.text = l.text.substr(0, strnlen(l.text.c_str(), l.text.size()));  // a NUL ends it
    c->lines.push_back(std::move(l));
    at = next;
  }
}

std::string joined(const Checker& c) {
  std::string text;
  for (const Line& l : c.lines) text += l.dropped ? std::string(";\n") : l.raw;
  return text;
}

// Runs `parse` with a scratch job log open and answers its code; puts the last message
// the parser logged, without its time prefix, in `message`. The parser's texts are the
// agent's own, read back from where the agent writes them.
template <typename Parse>
int caught(Parse parse, std::string* message) {
  std::error_code ec;
  std::string base = (std::filesystem::temp_directory_path(ec) /
                      ("varno-check-" + std::to_string(plat_current_process_id())))
                         .string();
  bool open = !ec && log_job_open(base.c_str(), plat_env()) == 0;
  int code = parse();
  message->clear();
  if (!open) return code;
  log_job_close();
  std::string log_path = base + ".log";
  FILE* log = plat_env()->open_stream(log_path, "rb");
  if (log != nullptr) {
    std::vector<char> buffer(kTextMax);
    while (fgets(buffer.data(), static_cast<int>(buffer.size()), log) != nullptr) {
      std::string line = buffer.data();
      size_t mark = line.find("] ");
      if (mark != std::string::npos) line = line.substr(mark + 2);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      if (!line.empty() && line.rfind("Initialized log file", 0) != 0) *message = line;
    }
    OPENSSL_cleanse(buffer.data(), buffer.size());
    fclose(log);
  }
  plat_env()->delete_file(log_path);
  return code;
}

// The second live line of the option `option`: the one the parser refused.
int second_option_line(const Checker& c, int option) {
  int seen = 0;
  for (size_t i = 1; i < c.lines.size(); ++i) {
    const Line& l = c.lines[i];
    if (!l.dropped && l.kind == LINE_OPTION && l.option == option && ++seen == 2)
      return static_cast<int>(i);
  }
  return -1;
}

// The live Email= line met when a recipient list already existed.
int late_email_line(const Checker& c) {
  bool list = false;
  for (size_t i = 1; i < c.lines.size(); ++i) {
    const Line& l = c.lines[i];
    if (l.dropped) continue;
    if (l.kind == LINE_EMAIL && list) return static_cast<int>(i);
    if (l.kind == LINE_EMAIL || l.kind == LINE_SCHEDULE_EMAIL) list = true;
  }
  return -1;
}

int option_line(const Checker& c, int option) {
  for (size_t i = 1; i < c.lines.size(); ++i) {
    const Line& l = c.lines[i];
    if (!l.dropped && l.kind == LINE_OPTION && l.option == option) return static_cast<int>(i);
  }
  return -1;
}

// Parses until the parser takes the text, dropping each refused line (or adding each
// missing option) so that one run reports every refusal. Leaves the settled settings in
// place and answers true, or false when nothing more can be checked.
bool parse_all(Checker* c) {
  std::vector<int> added;  // options appended because they were missing
  for (int round = 0; round < static_cast<int>(c->lines.size()) + OPT_COUNT + 2; ++round) {
    std::string text = joined(*c);
    for (int o : added) {
      text += c->keys[static_cast<size_t>(o)];
      text += o == OPT_ENABLED ? "1\n" : o == OPT_ACCKEY ? std::string(64, '0') + "\n" : "0\n";
    }
    std::string message;
    int code = caught([&] { return schedule_parse_plain(text.data(), text.size()); }, &message);
    OPENSSL_cleanse(text.data(), text.size());
    if (code == PROCJOB_DECRYPT_FAILED) {
      c->add(1, SCHEDULE_ERROR, message + " (the file is empty)");
      return false;
    }
    if (code == PROCJOB_BAD_HEADER) {
      c->add(1, SCHEDULE_ERROR, message + " (line 1 must begin with \"" + kHeader + "\")");
      c->lines[0].raw = std::string(kHeader) + "\n";
      continue;
    }
    if (code == PROCJOB_OPTION_TWICE || code == PROCJOB_EMAIL_TWICE) {
      int at = -1;
      if (code == PROCJOB_EMAIL_TWICE) {
        at = late_email_line(*c);
      } else {
        for (int o = 0; o < OPT_COUNT && at < 0; ++o) {
          std::string quoted = "'" + c->keys[static_cast<size_t>(o)] + "'";
          if (message.find(quoted) != std::string::npos) at = second_option_line(*c, o);
        }
      }
      if (at < 0) {  // the scan and the parser disagree: report and stop
        c->add(c->end_line(), SCHEDULE_ERROR, message);
        return false;
      }
      c->add(at + 1, SCHEDULE_ERROR, message);
      c->lines[static_cast<size_t>(at)].dropped = true;
      continue;
    }
    if (code != 0) {
      c->add(c->end_line(), SCHEDULE_ERROR, message);
      return false;
    }
    // Parsed: which required option the settling will miss first.
    int missing = -1;
    for (int o = 0; o < OPT_COUNT && missing < 0; ++o) {
      const ScheduleOption& opt = job_settings().options[o];
      if (opt.required && !opt.seen && o != OPT_AUTOREMOVE && o != OPT_MIRROR) missing = o;
    }
    code = caught([] { return schedule_settle(); }, &message);
    if (code == 0) return true;
    if (missing < 0) {
      c->add(c->end_line(), SCHEDULE_ERROR, message);
      return false;
    }
    c->add(c->end_line(), SCHEDULE_ERROR, message);
    added.push_back(missing);
  }
  return false;
}

bool is_hex(char ch) {
  return isxdigit(static_cast<unsigned char>(ch)) != 0;
}

// Whether a Windows-form path names something on this machine; the agent's texts if not.
bool exists_here(const std::string& path, std::string* why, std::string* note) {
  PlatFileStatus st{};
  if (plat_env()->file_status(path, &st) == 0) return true;
  int e = errno;
  char line[kTextMax];
  snprintf(line, sizeof line, kStatFailed, e, path.c_str());
  *why = line;
  if (e == ENOENT) *note = kNotFound;
  return false;
}

std::string filter_drop_reason(const std::string& value) {
  size_t bar = value.find('|');
  if (bar == std::string::npos) return "it has no '|' after the folder";
  if (bar >= static_cast<size_t>(SCHEDULE_FOLDER_MAX))
    return "its folder is 300 characters or longer";
  size_t second = value.find('|', bar + 1);
  if (second == std::string::npos) return "it has no second '|' after the flags";
  if (schedule_number(value.substr(bar + 1, second - bar - 1).c_str()) < 0)
    return "its flags are negative";
  return "it names no pattern";
}

bool under_any(const std::vector<std::string>& roots, const std::string& path) {
  for (const std::string& r : roots) {
    if (path_prefix_match(r.c_str(), path.c_str()) != 0) return true;
  }
  return false;
}

void check_enabled_and_key(Checker* c) {
  int enabled_line = option_line(*c, OPT_ENABLED);
  if (strcmp(job_option(OPT_ENABLED), "1") != 0 && enabled_line >= 0) {
    c->add(enabled_line + 1, SCHEDULE_ERROR,
           std::string(kDisabled) + " (enabled= must be exactly 1 for the job to run)");
  }
  int key_line = option_line(*c, OPT_ACCKEY);
  if (key_line < 0) return;
  const char* key = job_option(OPT_ACCKEY);
  size_t n = strlen(key);
  if (n != 64) {
    c->add(key_line + 1, SCHEDULE_ERROR,
           std::string(kBadKey) + " (acckey= holds " + std::to_string(n) +
               " characters; it needs exactly 64 hexadecimal digits)");
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    if (!is_hex(key[i])) {
      c->add(key_line + 1, SCHEDULE_ERROR,
             "acckey= character " + std::to_string(i + 1) +
                 " is not a hexadecimal digit; the agent would encrypt under a key nobody "
                 "can give back");
      return;
    }
  }
}

void check_user_and_dest(Checker* c) {
  int user_line = option_line(*c, OPT_USER_ID);
  const char* user = job_option(OPT_USER_ID);
  if (user_line >= 0 && !isdigit(static_cast<unsigned char>(user[0]))) {
    c->add(user_line + 1, SCHEDULE_WARNING,
           std::string("UserId= '") + user +
               "' does not begin with a digit; the agent reads it as " +
               std::to_string(schedule_number(user)));
  }
  int dest_line = option_line(*c, OPT_DEST);
  if (dest_line >= 0 && job_option(OPT_DEST)[0] != '/') {
    c->add(dest_line + 1, SCHEDULE_WARNING,
           "Dest= should be a server folder such as /1 (a '/' and the destination number)");
  }
}

// What the sources and filters select, for the checks that follow them.
struct Selection {
  std::vector<std::string> roots;     // Src= paths and filter folders
  std::vector<std::string> excluded;  // XSrc= prefixes
  int sources = 0;
};

void check_sources(Checker* c, Selection* s) {
  for (size_t i = 1; i < c->lines.size(); ++i) {
    const Line& l = c->lines[i];
    if (l.dropped || l.kind != LINE_SRC) continue;
    int at = static_cast<int>(i) + 1;
    std::string src = value_of(l, "Src=");
    ++s->sources;
    s->roots.push_back(src);
    std::string why, note;
    if (src.empty()) {
      c->add(at, SCHEDULE_ERROR, "Src= names no path");
    } else if (!exists_here(src, &why, &note)) {
      c->add(at, SCHEDULE_ERROR, why + (note.empty() ? "" : "; " + note));
    } else if (under_any(s->excluded, src)) {
      c->add(at, SCHEDULE_WARNING,
             "Src= '" + src + "' lies under an XSrc= prefix; nothing of it is backed up");
    }
  }
}

// The flags as the agent reads them: leading digits only, so "0x1", "one" or an empty
// field read as 0, and the patterns then name the only files kept instead of the files
// left out. `value` is a filter= value the parser kept.
void check_flags(Checker* c, int at, const std::string& value, const ScheduleFilter* f) {
  size_t bar = value.find('|');
  size_t second = value.find('|', bar + 1);
  std::string flags = value.substr(bar + 1, second - bar - 1);
  size_t b = flags.find_first_not_of(" \t");
  size_t e = flags.find_last_not_of(" \t");
  std::string digits = b == std::string::npos ? "" : flags.substr(b, e - b + 1);
  bool decimal = !digits.empty() && digits.size() <= 10 &&
                 digits.find_first_not_of("0123456789") == std::string::npos &&
                 std::stoll(digits) <= INT32_MAX;
  if (decimal) return;
  std::string read = "the flags '" + flags + "' read as " + std::to_string(f->flags);
  if ((f->flags & 1) == 0) {
    c->add(at, SCHEDULE_ERROR,
           read +
               ": the patterns name the only files kept, not the files left out (write the "
               "flags as a decimal number: 1 leaves the patterns out, 0 keeps only them)");
  } else {
    c->add(at, SCHEDULE_WARNING, read + "; write them as a decimal number");
  }
}

// One filter= line the parser kept, at line `at`.
void check_filter(Checker* c, const Selection& s, int at, const ScheduleFilter* f,
                  const std::vector<std::string>& folders, bool today) {
  std::string folder = f->folder;
  for (const std::string& seen : folders) {
    if (strcasecmp(seen.c_str(), folder.c_str()) == 0) {
      c->add(
          at, SCHEDULE_WARNING,
          "another filter= line names the folder '" + folder + "'; only one of them is ever used");
      break;
    }
  }
  if (!today) {
    char line[kTextMax];
    snprintf(line, sizeof line, kNoToday, (folder + "\\...").c_str());
    c->add(at, SCHEDULE_ERROR,
           std::string(line) +
               " (for every file the filter keeps: Dest= must name a folder below "
               "/Today, as Dest=/1/Today)");
  }
  for (int p = 0; p < f->pattern_count; ++p) {
    if (strpbrk(f->patterns[p], "\\/") != nullptr) {
      c->add(at, SCHEDULE_WARNING,
             std::string("pattern '") + f->patterns[p] +
                 "' can never match: patterns are matched against file names, which hold no '\\' "
                 "or '/'");
    }
  }
  std::string why, note;
  if (!exists_here(folder, &why, &note)) {
    c->add(at, SCHEDULE_ERROR, why + (note.empty() ? "" : "; " + note));
  } else if (under_any(s.excluded, folder)) {
    c->add(at, SCHEDULE_WARNING,
           "the filter's folder lies under an XSrc= prefix; the filter never applies");
  }
}

// Filters: each line on its own, as the parser would take it. The files a filter keeps
// are placed below a "/Today/" server folder, which only the destination can provide.
void check_filters(Checker* c, Selection* s) {
  const JobSettings& j = job_settings();
  std::string dest = std::string(job_option(OPT_DEST)) + "/";
  bool today = dest.find("/Today/") != std::string::npos;
  std::vector<std::string> folders;
  for (size_t i = 1; i < c->lines.size(); ++i) {
    const Line& l = c->lines[i];
    if (l.dropped || l.kind != LINE_FILTER) continue;
    int at = static_cast<int>(i) + 1;
    std::string value = value_of(l, "filter=");
    int before = list_count(j.filters);
    schedule_parse_filter(value.c_str());
    if (list_count(j.filters) == before) {
      c->add(at, SCHEDULE_WARNING,
             "the agent drops this filter= line without a word: " + filter_drop_reason(value) +
                 " (expected FOLDER|FLAGS|PATTERN;PATTERN...)");
      continue;
    }
    const ScheduleFilter* f = job_filter(before);
    check_flags(c, at, value, f);
    check_filter(c, *s, at, f, folders, today);
    ++s->sources;
    s->roots.push_back(f->folder);
    folders.push_back(f->folder);
  }
}

// Whether the folder exists here and holds nothing but "." and "..".
bool empty_folder_here(const std::string& folder) {
  Env* env = plat_env();
  PlatFileStatus st{};
  if (env->file_status(folder, &st) != 0 || !st.is_directory) return false;
  std::string pattern = folder;
  if (pattern.empty() || pattern.back() != '\\') pattern += '\\';
  PlatFindData data{};
  PlatFindHandle find = env->find_first(pattern + "*", &data);
  if (!find) return false;
  do {
    if (strcmp(data.name, ".") != 0 && strcmp(data.name, "..") != 0) return false;
  } while (env->find_next(find.get(), &data) == 0);
  return true;
}

void check_prefixes(Checker* c, const Selection& s) {
  for (size_t i = 1; i < c->lines.size(); ++i) {
    const Line& l = c->lines[i];
    if (l.dropped || (l.kind != LINE_XSRC && l.kind != LINE_SYNC)) continue;
    std::string value = value_of(l, l.kind == LINE_XSRC ? "XSrc=" : "Sync=");
    bool covered = false;
    for (const std::string& r : s.roots) {
      if (path_prefix_match(r.c_str(), value.c_str()) != 0 ||
          path_prefix_match(value.c_str(), r.c_str()) != 0) {
        covered = true;
      }
    }
    if (!covered) {
      c->add(static_cast<int>(i) + 1, SCHEDULE_WARNING,
             std::string(l.kind == LINE_XSRC ? "XSrc=" : "Sync=") + " '" + value +
                 "' is under no Src= or filter= folder; it has no effect");
    } else if (l.kind == LINE_SYNC && empty_folder_here(value)) {
      c->add(static_cast<int>(i) + 1, SCHEDULE_WARNING,
             "Sync= '" + value +
                 "' is empty on this machine; while a source or Sync= folder is empty, the agent "
                 "deletes nothing of it on the server (an empty folder looks like a disk that is "
                 "not mounted), and a run never deletes more than VARNO_SYNC_DELETE_PERCENT (50) "
                 "percent of what the server holds under a source");
    }
  }
}

void check_values(Checker* c) {
  check_enabled_and_key(c);
  check_user_and_dest(c);
  const JobSettings& j = job_settings();
  Selection s;
  for (int i = 0; i < list_count(j.exclusions); ++i)
    s.excluded.push_back(list_item(j.exclusions, i));
  check_sources(c, &s);
  check_filters(c, &s);
  if (s.sources == 0) {
    c->add(c->end_line(), SCHEDULE_WARNING, "no Src= or filter= line: the job backs up nothing");
  }
  check_prefixes(c, s);
}

// Edits between two short words (a swap of neighbours counts as one).
size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

std::string lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  return s;
}

// The known key that an unknown line's key is a slip of ("Scr=" for "Src=", " Src=" with a
// blank before it), or "". The agent ignores such a line without a word, and what it
// names is then never backed up, left out or mirrored.
std::string near_key(const Checker& c, const std::string& text) {
  size_t eq = text.find('=');
  if (eq == std::string::npos) return "";
  std::string typed = text.substr(0, eq);
  size_t b = typed.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  typed = lower(typed.substr(b, typed.find_last_not_of(" \t") - b + 1));
  std::vector<std::string> known;
  for (const ListKey& k : kListKeys) known.push_back(k.key);
  known.insert(known.end(), c.keys.begin(), c.keys.end());
  for (const std::string& key : known) {
    std::string name = lower(key.substr(0, key.size() - 1));
    size_t allowed = name.size() >= 8 ? 2 : 1;
    if (edit_distance(typed, name) <= allowed) return key;
  }
  return "";
}

void scan_lines(Checker* c) {
  job_settings_reset();  // the option table, for classify()
  for (const ScheduleOption& o : job_settings().options) c->keys.push_back(o.key);
  for (size_t i = 0; i < c->lines.size(); ++i) {
    Line& l = c->lines[i];
    int at = static_cast<int>(i) + 1;
    if (i == 0) {
      l.kind = LINE_HEADER;
      continue;
    }
    l.kind = classify(l.text, &l.option);
    std::string content = l.raw.substr(0, l.raw.find('\n'));
    if (content.size() > kPieceMax) {
      c->add(at, SCHEDULE_WARNING,
             "the line is longer than " + std::to_string(kPieceMax) +
                 " bytes; the agent reads only its first " + std::to_string(kPieceMax) +
                 " and drops the rest");
    }
    if (l.kind == LINE_UNKNOWN) {
      std::string shown = l.text.substr(0, std::min<size_t>(40, l.text.size()));
      std::string near = near_key(*c, l.text);
      if (near.empty()) {
        c->add(at, SCHEDULE_WARNING,
               "'" + shown + "' begins with no key the agent knows; the line is ignored");
      } else {
        std::string typed = l.text.substr(0, l.text.find('=') + 1);  // never the value
        c->add(at, SCHEDULE_ERROR,
               "'" + typed + "' is no key the agent knows but is close to '" + near +
                   "'; the agent ignores the line without a word");
      }
    }
  }
  job_settings_free();
}

}  // namespace

std::vector<ScheduleProblem> schedule_check_text(const std::string& plain) {
  Checker c;
  split_lines(plain, &c);
  if (!c.lines.empty()) scan_lines(&c);
  if (parse_all(&c)) check_values(&c);
  job_settings_free();
  std::stable_sort(
      c.problems.begin(), c.problems.end(),
      [](const ScheduleProblem& a, const ScheduleProblem& b) { return a.line < b.line; });
  return c.problems;
}

namespace {

// An encrypted schedule (.kbs) is checked through its plain text, as the agent reads it;
// one that is damaged is refused by the agent whatever its lines say. Anything that does
// not decrypt to a schedule's header is checked as the plain text it is.
std::vector<ScheduleProblem> check_bytes(const char* path, std::string* bytes) {
  if (bytes->compare(0, sizeof kHeader - 1, kHeader) == 0 || bytes->empty() ||
      !ctl_has_application_key()) {
    return schedule_check_text(*bytes);
  }
  std::string plain;
  DecryptResult got = ctl_decrypt_text(path, &plain, false);
  if (got == DECRYPT_FAILED || plain.compare(0, sizeof kHeader - 1, kHeader) != 0) {
    ctl_wipe(&plain);
    return schedule_check_text(*bytes);
  }
  ctl_wipe(bytes);
  if (got == DECRYPT_WHOLE) {
    std::vector<ScheduleProblem> problems = schedule_check_text(plain);
    ctl_wipe(&plain);
    return problems;
  }
  int lines = 0;
  for (char ch : plain) lines += ch == '\n' ? 1 : 0;
  ctl_wipe(&plain);
  return {{std::max(lines, 1), SCHEDULE_ERROR,
           std::string(kUndecryptable) + " (the file is damaged after line " +
               std::to_string(std::max(lines, 1)) +
               ": cut short or changed; encrypt the schedule again)"}};
}

}  // namespace

int schedule_check_file(const char* path, FILE* out, bool summary, int* errors) {
  FILE* in = plat_env()->open_stream(path, "rb");
  if (in == nullptr) {
    fprintf(stderr, "varno-ctl: cannot open '%s': %s\n", path, strerror(errno));
    return -1;
  }
  std::string bytes;
  char chunk[8192];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) bytes.append(chunk, n);
  fclose(in);
  OPENSSL_cleanse(chunk, sizeof chunk);
  std::vector<ScheduleProblem> problems = check_bytes(path, &bytes);
  ctl_wipe(&bytes);
  *errors = 0;
  int warnings = 0;
  for (const ScheduleProblem& p : problems) {
    bool error = p.severity == SCHEDULE_ERROR;
    (error ? *errors : warnings) += 1;
    fprintf(out, "%s:%d: %s: %s\n", path, p.line, error ? "error" : "warning", p.text.c_str());
  }
  if (!summary) return 0;
  fprintf(out, "%s: %d error%s, %d warning%s\n", path, *errors, *errors == 1 ? "" : "s", warnings,
          warnings == 1 ? "" : "s");
  return 0;
}

int ctl_schedule(int argc, char** argv) {
  if (argc != 3 || strcmp(argv[1], "check") != 0) {
    fprintf(stderr, "usage: varno-ctl schedule check PLAIN|KBS\n");
    return CTL_USAGE;
  }
  int errors = 0;
  if (schedule_check_file(argv[2], stdout, true, &errors) != 0) return CTL_FAILED;
  if (fflush(stdout) != 0) return CTL_FAILED;
  return errors == 0 ? CTL_OK : CTL_FAILED;
}
