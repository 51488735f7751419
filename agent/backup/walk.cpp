#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "agent/backup/engine.h"
#include "agent/backup/fci/fci.h"
#include "agent/backup/filters.h"
#include "agent/backup/job_state.h"
#include "agent/report/report.h"
#include "agent/runtime/liveness.h"
#include "agent/runtime/log.h"
#include "agent/runtime/progress.h"
#include "platform/env.h"
#include "platform/error.h"
#include "platform/knobs.h"
#include "protocol/ckfs.h"
#include "util/ignore.h"

namespace {

constexpr size_t kPathMax = 1023;
// Entries one folder's listing may bring: a server whose pages never end fails the
// listing here instead of filling memory and the job log.
constexpr uint64_t kListingEntriesMax = 100000;
constexpr uint32_t kKindFolderBit = 0x10;  // the entry kind's directory attribute
constexpr uint32_t kDefaultDeletePercent = 50;

struct PresyncEntry {
  std::string name;
  uint32_t kind;
  uint32_t modification_time;
  uint64_t size;
};

// "%s%s%s": the separator is left out when the parent already ends in one.
std::string join(const std::string& parent, const char* name, char separator) {
  std::string out = parent;
  if (out.empty() || (out.back() != '/' && out.back() != '\\')) out.push_back(separator);
  out += name;
  return out;
}

// The folder's search pattern: runs of backslashes collapsed (the leading pair of a UNC
// path kept), then "\*"; "." is searched with "*" alone.
std::string search_pattern(const char* folder) {
  if (strcmp(folder, ".") == 0) return "*";
  std::string out;
  const char* p = folder;
  if (p[0] == '\\' && p[1] == '\\') {
    out = "\\\\";
    p += 2;
  } else if (p[0] != '\0' && p[1] == ':') {
    out.assign(p, 2);
    out.push_back('\\');
    p += 2;
    while (*p == '\\') ++p;
  }
  size_t prefix = out.size();
  for (; *p != '\0'; ++p) {
    if (*p == '\\' && out.size() > prefix && out.back() == '\\') continue;
    if (*p == '\\' && out.size() == prefix && prefix > 0) continue;
    out.push_back(*p);
  }
  if (out.empty() || out.back() != '\\') out.push_back('\\');
  out.push_back('*');
  return out;
}

bool times_equal(int64_t a, int64_t b) {
  return a == b || a == b + 3600 || b == a + 3600;
}

// A name the server lists that no entry of a folder can have: deleting "R/name" would
// reach another object (the folder itself, its parent, something deeper), or one cut at
// a NUL.
bool is_entry_name(const ckfs_find_entry& e) {
  if (e.name == nullptr || e.name_length == 0 || strlen(e.name) != e.name_length) return false;
  if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0) return false;
  return strpbrk(e.name, "/\\") == nullptr;
}

// The name as a log line can show it: bytes that would break the line become '?'.
std::string shown(const ckfs_find_entry& e) {
  std::string out(e.name != nullptr ? e.name : "", e.name != nullptr ? e.name_length : 0);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return out;
}

int listing_failed(const char* remote, int code) {
  // Without the whole listing nothing may be deleted; say why the folder keeps all.
  log_job("PRESYNC: ERROR: Listing of '%s' failed (Error %d); nothing is deleted there.\n", remote,
          code);
  return code;
}

// Moves one page's entries into `entries`, leaving out names that are no folder entry and
// repeats. Answers how many the page held.
int take_page(const ckfs_find_request& find, const char* local, const char* remote,
              std::vector<PresyncEntry>* entries, std::unordered_set<std::string>* names) {
  const int count = list_count(find.entries);
  for (int i = 0; i < count; ++i) {
    const ckfs_find_entry& e =
        *reinterpret_cast<const ckfs_find_entry*>(list_item(find.entries, i));
    if (!is_entry_name(e)) {
      log_job(
          "PRESYNC: WARNING: The listing of '%s' names '%s', which is no entry of a folder; it "
          "is never deleted.\n",
          remote, shown(e).c_str());
      continue;
    }
    if (!names->insert(e.name).second) {
      log_job(
          "PRESYNC: WARNING: The listing of '%s' names '%s' more than once; the repeat is "
          "ignored.\n",
          remote, shown(e).c_str());
      continue;
    }
    entries->push_back(PresyncEntry{e.name, e.kind, e.modification_time, e.size});
    log_job("PRESYNC: Added '%s' to list of files in folder '%s'\n", entries->back().name.c_str(),
            local);
  }
  return count;
}

// The server's entries of folder R, for mirroring deletions; empty when the listing
// failed or did not end.
std::vector<PresyncEntry> presync(ckfs_session* session, const char* local, const char* remote) {
  std::vector<PresyncEntry> entries;
  std::unordered_set<std::string> names;
  uint64_t received = 0;
  ckfs_find_request find{};
  find.handle = 0;
  find.flags = 0x20;
  find.pattern = "";
  find.folder = remote;
  for (;;) {
    liveness_bump();
    int code = ckfs_find_files(session, &find);
    if (code != 0) {
      ckfs_find_free(&find);
      listing_failed(remote, code);
      return {};
    }
    const int count = take_page(find, local, remote, &entries, &names);
    received += static_cast<uint64_t>(count);
    uint32_t remaining = find.remaining;
    uint8_t handle = find.reply_handle;
    ckfs_find_free(&find);
    if (remaining == 0) break;
    if (count == 0 || received > kListingEntriesMax) {
      if (count == 0) {
        log_job(
            "PRESYNC: ERROR: The listing of '%s' makes no progress: an empty page says more "
            "follow.\n",
            remote);
      } else {
        log_job("PRESYNC: ERROR: The listing of '%s' goes on beyond %d entries.\n", remote,
                static_cast<int>(kListingEntriesMax));
      }
      listing_failed(remote, ERR_SEQUENCE);
      return {};
    }
    find = ckfs_find_request{};
    find.handle = handle;
    find.flags = 0x20;
    find.pattern = "";
    find.folder = "";
  }
  return entries;
}

// A folder of the walk: the local path, its server mirror and the filter= record (or null).
struct Folder {
  std::string local;
  std::string remote;
  const ScheduleFilter* filter;
};

// Filter roots are walked under their own filter, never as part of another walk.
bool is_other_walks_root(const char* local, const ScheduleFilter* filter) {
  if (filter == nullptr) return is_filter_folder(local);
  if (strcasecmp(local, filter->folder) != 0 && is_filter_folder(local)) {
    log_job("do_dir ignore: %s\n", local);
    return true;
  }
  return false;
}

// The folder's listing, with "." in `data`; empty when the folder cannot be listed (a
// denied access is reported) or is itself a reparse point.
PlatFindHandle open_search(Env* env, const char* local, PlatFindData* data) {
  PlatFindHandle find = env->find_first(search_pattern(local), data);
  if (!find) {
    if (plat_last_error() == PLAT_ERROR_ACCESS_DENIED) report_fail_file_errno(local, EACCES);
    return find;
  }
  if (strcmp(data->name, ".") == 0 && (data->attributes & PLAT_ATTR_REPARSE_POINT) != 0) {
    log_job("Ignoring '%s' as it is a reparse point.\n", local);
    return PlatFindHandle();
  }
  return find;
}

// Creates the server folder unless the index knows it (filter walks create folders only on
// demand) and records it for the next index. False when the server refused it.
bool mirror_folder(JobContext* job, const char* local, const char* remote,
                   const ScheduleFilter* filter) {
  int current = 0;
  (void)fci_lookup(&job->index, local, 0, 0, &current);
  if (!current && filter == nullptr) {
    ckfs_path_request mkdir{0, remote};
    int code = ckfs_mkdir(&job->session, &mkdir);
    // A file of the folder's name stands in the way (a server may also call it existing).
    // Only when the parent's listing shows that file did the folder replace it.
    if ((code == ERR_NOTDIR || code == ERR_EXISTS) && is_sync_path(local) &&
        sync_make_way(job, remote)) {
      code = ckfs_mkdir(&job->session, &mkdir);
    }
    if (code != 0 && code != ERR_EXISTS) {
      report_fail_file_code(remote, code);
      return false;
    }
  }
  (void)fci_add(&job->index, local, 0, 0);
  return true;
}

// What became of an entry. kUnseen leaves its server copy listed, so Sync deletes it;
// kFailed keeps it, since a file that could not be read may well still exist.
enum class Visit { kSeen, kUnseen, kFailed, kStopped };

// The status the search read for a file (its lstat), as _stati64 gives it: asking the
// system again would only repeat it. False when the listing holds no usable time.
bool listing_status(const PlatFindData& data, ItemStatus* status) {
  constexpr int64_t kUnixEpoch = 116444736000000000LL;  // 1970 in 100-ns ticks since 1601
  constexpr int64_t kTicks = 10000000;
  if (data.status_error != 0 || data.last_write_time == 0) return false;
  const int64_t ticks = static_cast<int64_t>(data.last_write_time) - kUnixEpoch;
  int64_t seconds = ticks / kTicks;
  if (ticks % kTicks < 0) --seconds;  // the whole second at or before
  status->is_directory = (data.attributes & PLAT_ATTR_DIRECTORY) != 0;
  status->modification_time = static_cast<int32_t>(seconds);
  status->size = status->is_directory ? 0 : (uint64_t{data.size_high} << 32) | data.size_low;
  return true;
}

bool unchanged_on_server(const PresyncEntry* listed, const ItemStatus& st) {
  return listed != nullptr && times_equal(listed->modification_time, st.modification_time) &&
         listed->size == st.size;
}

// A file of the walk: sent unless the server's listing shows it unchanged.
Visit visit_file(JobContext* job, const Folder& dir, const std::string& child,
                 const std::string& remote_child, const PlatFindData& data,
                 const PresyncEntry* listed) {
  ItemStatus st{};
  if (!listing_status(data, &st) && engine_stat(job->env, child.c_str(), &st) != 0) {
    // Gone between the listing and now: nothing to send, nothing to report, and its
    // server copy stays listed so a mirrored folder drops it too.
    if (errno == ENOENT) return Visit::kUnseen;
    report_stat_failure(child.c_str(), errno);
    return Visit::kFailed;
  }
  if (unchanged_on_server(listed, st)) {
    liveness_bump();
    report_count_current();
    job->done_bytes += st.size;
    progress_begin_file(dir.remote.c_str(), st.size);
    progress_end_file(PROGRESS_CURRENT);
    (void)fci_add(&job->index, child.c_str(), st.modification_time, st.size);
    return Visit::kSeen;
  }
  if (progress_terminate_requested()) {
    log_job("User terminated backup.\n");
    set_user_terminated();
    return Visit::kStopped;
  }
  do_file(job, child.c_str(), remote_child.c_str(), &st, dir.filter);
  return Visit::kSeen;
}

Visit visit_entry(JobContext* job, const Folder& dir, const PlatFindData& data,
                  const std::string& child, const PresyncEntry* listed) {
  if (is_excluded_source(child.c_str())) return Visit::kSeen;
  if (data.status_error != 0) {
    report_stat_failure(child.c_str(), data.status_error);
    return Visit::kFailed;
  }
  if ((data.attributes & PLAT_ATTR_REPARSE_POINT) != 0) {
    log_job("Ignoring '%s' as it is a reparse point.\n", child.c_str());
    return Visit::kUnseen;
  }
  std::string remote_child = join(dir.remote, data.name, '/');
  const bool is_folder = (data.attributes & PLAT_ATTR_DIRECTORY) != 0;
  if (remote_child.size() >= ENGINE_REMOTE_PATH_MAX) {
    // The server path would not fit its buffer: the item cannot be mirrored.
    log_job("FILE: ERROR: Remote path too long for '%s'\n", child.c_str());
    report_fail_file_code(child.c_str(), ERR_INVARG);
    return Visit::kSeen;
  }
  job->swap_evidence.clear();
  if (listed != nullptr && ((listed->kind & kKindFolderBit) != 0) != is_folder) {
    job->swap_evidence = remote_child;
  }
  Visit visit = Visit::kSeen;
  if (is_folder) {
    do_dir(job, child.c_str(), remote_child.c_str(), dir.filter);
  } else {
    visit = visit_file(job, dir, child, remote_child, data, listed);
  }
  job->swap_evidence.clear();
  return visit;
}

// The server's listed entry of that name, or the end of `listed`.
template <class Listed>
auto listed_entry(Listed& listed, const char* name) {
  return std::find_if(listed.begin(), listed.end(),
                      [name](const PresyncEntry& e) { return e.name == name; });
}

// The folder's listing. While the block pool can take more, it is read ahead of the walk
// and the first block of each file about to be sent (up to the next folder) is handed to
// the pool, so that it is encoded while earlier files are on the connection. Otherwise
// entries are read one at a time as the walk takes them.
class Listing {
 public:
  Listing(JobContext* job, PlatFind* find, const PlatFindData& first)
      : job_(job), find_(find), ring_(1 + job->encoders.ahead.size()), planned_(ring_.size()) {
    ring_[0] = first;
    count_ = 1;
  }

  bool next(PlatFindData* out) {
    if (count_ == 0 && !read_one()) return false;
    *out = ring_[first_];
    planned_[first_] = 0;
    first_ = (first_ + 1) % ring_.size();
    --count_;
    return true;
  }

  void plan(const Folder& dir, const std::vector<PresyncEntry>& listed) {
    for (size_t i = 0; can_plan_ahead(job_); ++i) {
      if (i == count_ && (count_ == ring_.size() || !read_one())) return;
      const size_t at = (first_ + i) % ring_.size();
      if ((ring_[at].attributes & PLAT_ATTR_DIRECTORY) != 0) return;
      if (planned_[at]) continue;
      planned_[at] = 1;
      ItemStatus st{};
      if (will_send(dir, ring_[at], listed, &st)) plan_file_ahead(job_, child_.c_str(), st.size);
    }
  }

 private:
  bool read_one() {
    if (ended_ || job_->env->find_next(find_, &ring_[(first_ + count_) % ring_.size()]) != 0) {
      ended_ = true;
      return false;
    }
    planned_[(first_ + count_) % ring_.size()] = 0;
    ++count_;
    return true;
  }

  // What visit_entry and do_file will decide for a listed file, without their effects: the
  // walk's own passes, then the transfer's file_skip.
  bool will_send(const Folder& dir, const PlatFindData& d, const std::vector<PresyncEntry>& listed,
                 ItemStatus* st) {
    if ((d.attributes & PLAT_ATTR_REPARSE_POINT) != 0 || !listing_status(d, st)) return false;
    if (strlen(d.name) + dir.local.size() + 2 > kPathMax || strcmp(d.name, "..") == 0) return false;
    child_ = join(dir.local, d.name, '\\');
    if (is_excluded_source(child_.c_str())) return false;
    auto entry = listed_entry(listed, d.name);
    const bool unchanged = entry != listed.end() && unchanged_on_server(&*entry, *st);
    return file_skip(job_, child_.c_str(), *st, dir.filter, unchanged) == FileSkip::kNone;
  }

  JobContext* job_;
  PlatFind* find_;
  std::vector<PlatFindData> ring_;
  std::vector<char> planned_;
  size_t first_ = 0;
  size_t count_ = 0;
  bool ended_ = false;
  std::string child_;
};

// Every entry of the listing, in its order. False when the walk stopped before the end.
// `local_entries` counts what the folder holds here, whatever became of it.
bool visit_entries(JobContext* job, const Folder& dir, PlatFind* find, PlatFindData* data,
                   std::vector<PresyncEntry>* listed, size_t* local_entries) {
  Listing listing(job, find, *data);
  while (listing.next(data)) {
    if (job_ending(job)) return false;
    if (strcmp(data->name, ".") == 0 || strcmp(data->name, "..") == 0) continue;
    ++*local_entries;
    std::string child = join(dir.local, data->name, '\\');
    if (strlen(data->name) + dir.local.size() + 2 > kPathMax) {
      // Said, not passed over in silence, and its server copy kept: the file still exists.
      log_job("FILE: ERROR: Local path too long for '%s'\n", child.c_str());
      report_fail_file_code(child.c_str(), ERR_INVARG);
      auto kept = listed_entry(*listed, data->name);
      if (kept != listed->end()) listed->erase(kept);
      continue;
    }
    listing.plan(dir, *listed);
    auto found = listed_entry(*listed, data->name);
    Visit visit = visit_entry(job, dir, *data, child, found != listed->end() ? &*found : nullptr);
    if (visit == Visit::kStopped) return false;
    if (visit != Visit::kUnseen && found != listed->end()) listed->erase(found);
  }
  return true;
}

// Leaves for the end of the source's walk the deletions of what the local folder no
// longer holds.
void sync_folder(JobContext* job, const Folder& dir, const std::vector<PresyncEntry>& listed) {
  log_job("SYNC: Synchronizing '%s'\n", dir.local.c_str());
  for (const PresyncEntry& e : listed) {
    char path[ENGINE_REMOTE_PATH_MAX];
    const char* sep = !dir.remote.empty() && dir.remote.back() == '/' ? "" : "/";
    int n = snprintf(path, sizeof path, "%s%s%s", dir.remote.c_str(), sep, e.name.c_str());
    if (n < 1 || n > static_cast<int>(kPathMax)) {
      log_job("SYNC FILE: '%s' is gone; NOT deleting from server.\n", e.name.c_str());
      continue;
    }
    job->sync.pending.emplace_back(path);
  }
}

bool same_folder(const char* entry, const std::string& local) {
  size_t n = strlen(entry);
  while (n > 0 && entry[n - 1] == '\\') --n;
  size_t m = local.size();
  while (m > 0 && local[m - 1] == '\\') --m;
  return n == m && strncasecmp(entry, local.c_str(), n) == 0;
}

// A folder the schedule names (a source, or a Sync= folder): when it is empty here, the
// likelier story is a disk that is not there, not a user who deleted everything.
bool is_named_folder(const std::string& local) {
  const JobSettings& settings = job_settings();
  for (const List* list : {settings.sources, settings.sync_paths}) {
    for (int i = 0; i < list_count(list); ++i) {
      if (same_folder(list_item(list, i), local)) return true;
    }
  }
  return false;
}

// A named folder that is empty here while the server holds entries there keeps them all.
bool empty_here(const Folder& dir, size_t local_entries, const std::vector<PresyncEntry>& listed) {
  if (local_entries != 0 || listed.empty() || !is_named_folder(dir.local)) return false;
  log_job(
      "SYNC: ERROR: '%s' is empty here while the server holds %d entries there; nothing is "
      "deleted (a disk that is not mounted looks the same).\n",
      dir.local.c_str(), static_cast<int>(listed.size()));
  report_fail_item_text(dir.local.c_str(),
                        "Folder is empty here; its server copies are kept, not deleted");
  return true;
}

}  // namespace

void sync_delete(JobContext* job, const char* remote) {
  log_job("SYNC OBJECT: '%s' is gone; deleting from server.\n", remote);
  bool deleted = false;
  for (uint8_t flags : {0, 1}) {
    ckfs_delete_request del{};
    del.flags = flags;
    del.path = remote;
    deleted = ckfs_delete(&job->session, &del) == 0 || deleted;
  }
  if (deleted) report_count_deleted();
}

bool sync_make_way(JobContext* job, const char* remote) {
  if (job->swap_evidence.empty() || job->swap_evidence != remote) return false;
  job->swap_evidence.clear();
  sync_delete(job, remote);
  ++job->sync.made_way;
  return true;
}

uint32_t sync_delete_percent() {
  return plat_knob_count(KNOB_SYNC_DELETE_PERCENT, kDefaultDeletePercent);
}

void sync_end_source(JobContext* job, const char* item) {
  SyncLedger ledger = std::move(job->sync);
  job->sync = SyncLedger{};
  if (ledger.pending.empty()) return;
  if (user_terminated()) {
    log_job("SYNC: The backup was stopped; nothing more is deleted under '%s'.\n", item);
    return;
  }
  const uint32_t percent = sync_delete_percent();
  const uint64_t deletions = ledger.pending.size() + ledger.made_way;
  if (percent < 100 && deletions * 100 > ledger.listed * percent) {
    log_job(
        "SYNC: ERROR: %d of the %d entries the server listed under '%s' are gone here, more "
        "than the %d%% one run may delete (VARNO_SYNC_DELETE_PERCENT); nothing is deleted "
        "there.\n",
        static_cast<int>(deletions), static_cast<int>(ledger.listed), item,
        static_cast<int>(percent));
    report_fail_item_text(item, "Deletions held back: too large a share of the server's copies");
    return;
  }
  for (const std::string& path : ledger.pending) sync_delete(job, path.c_str());
}

void do_dir(JobContext* job, const char* local, const char* remote, const ScheduleFilter* filter) {
  check_server_lost(job);
  if (job_ending(job) || is_ignore_path(local, true)) return;
  if (is_other_walks_root(local, filter)) return;
  // Listing can take long: what the last files left held back goes out first.
  (void)ckfs_flush(&job->session);
  PlatFindData data{};
  PlatFindHandle find = open_search(job->env, local, &data);
  if (!find || !mirror_folder(job, local, remote, filter)) return;

  const Folder dir{local, remote, filter};
  bool syncing = filter == nullptr && is_sync_path(local);
  std::vector<PresyncEntry> listed;
  if (syncing) listed = presync(&job->session, local, remote);
  job->sync.listed += listed.size();
  size_t local_entries = 0;
  bool completed = visit_entries(job, dir, find.get(), &data, &listed, &local_entries);
  find.reset();
  if (syncing && completed && !job_ending(job) && !empty_here(dir, local_entries, listed)) {
    sync_folder(job, dir, listed);
  }
}
