#include "agent/backup/filters.h"

#include <strings.h>
#include <cctype>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "agent/backup/engine.h"
#include "agent/backup/fci/fci.h"
#include "agent/report/report.h"
#include "protocol/ckfs.h"

namespace {

bool remembered(const std::vector<std::string>& folders, const std::string& folder) {
  for (const std::string& f : folders) {
    if (strcasecmp(f.c_str(), folder.c_str()) == 0) return true;
  }
  return false;
}

// Remembering is an optimisation: when memory runs out the folder is simply asked for
// again later, which the server answers with ERR_EXISTS.
void remember(std::vector<std::string>* folders, const std::string& folder) {
  try {
    if (folders->capacity() == 0) folders->reserve(16);
    if (folders->size() == folders->capacity()) {
      folders->reserve(folders->capacity() + folders->capacity() / 2);
    }
    folders->push_back(folder);
  } catch (const std::bad_alloc&) {
  }
}

bool any_prefix(const List* list, const char* path) {
  for (int i = 0; i < list_count(list); ++i) {
    if (path_prefix_match(list_item(list, i), path) != 0) return true;
  }
  return false;
}

const ScheduleFilter* filter_for_folder(const char* folder) {
  for (int i = 0; i < list_count(job_settings().filters); ++i) {
    const ScheduleFilter* f = job_filter(i);
    if (strcasecmp(f->folder, folder) == 0) return f;
  }
  return nullptr;
}

bool matches_any(const ScheduleFilter* f, const char* name) {
  for (int i = 0; i < f->pattern_count; ++i) {
    if (wildcard_match(name, f->patterns[i])) return true;
  }
  return false;
}

}  // namespace

int path_prefix_match(const char* entry, const char* path) {
  size_t n = strlen(entry);
  if (strncasecmp(entry, path, n) != 0) return 0;
  if (path[n] == '\0') return 2;
  if (n == 2 && isalpha(static_cast<unsigned char>(entry[0])) && entry[1] == ':') return 1;
  return path[n] == '\\' ? 1 : 0;
}

bool is_excluded_source(const char* path) {
  return any_prefix(job_settings().exclusions, path);
}

bool is_sync_path(const char* path) {
  return any_prefix(job_settings().sync_paths, path);
}

bool is_filter_folder(const char* path) {
  return filter_for_folder(path) != nullptr;
}

// Iterative matching with one backtrack point (the last "*"): the same answers as trying
// every position after each star, without the exponential cost of patterns such as
// "*a*a*a*a*b" that a schedule may hold.
bool wildcard_match(const char* name, const char* pattern) {
  auto lower = [](char c) { return tolower(static_cast<unsigned char>(c)); };
  const char* n = name;
  const char* p = pattern;
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*n != '\0') {
    if (*p == '*') {
      while (*p == '*') ++p;
      if (*p == '\0') return true;
      star = p;
      resume = n;
    } else if (*p != '\0' && lower(*p) == lower(*n)) {
      ++p;
      ++n;
    } else if (star != nullptr) {
      p = star;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == '\0';
}

bool filter_excludes(const ScheduleFilter* filter, const char* local_path) {
  const char* slash = strrchr(local_path, '\\');
  if (slash == nullptr) return true;
  const char* name = slash + 1;
  const ScheduleFilter* f = filter;
  while (f != nullptr) {
    bool exclude_listed = (f->flags & 1) != 0;
    if (matches_any(f, name)) return exclude_listed;
    if ((f->flags & 2) == 0) return !exclude_listed;
    // Defer to the nearest ancestor folder that has a filter of its own.
    std::string folder = f->folder;
    const ScheduleFilter* ancestor = nullptr;
    for (size_t cut = folder.rfind('\\'); cut != std::string::npos && cut > 0;
         cut = folder.rfind('\\')) {
      folder.resize(cut);
      ancestor = filter_for_folder(folder.c_str());
      if (ancestor != nullptr) break;
    }
    f = ancestor;
  }
  return false;
}

int make_today_folders(JobContext* job, const char* remote_file_path) {
  const char* last = strrchr(remote_file_path, '/');
  if (last == nullptr) return -1;
  std::string parent(remote_file_path, last);
  size_t today = parent.find("/Today/");
  if (today == std::string::npos) return -1;
  size_t start = today + 7;
  for (size_t cut = parent.find('/', start);; cut = parent.find('/', cut + 1)) {
    std::string folder = cut == std::string::npos ? parent : parent.substr(0, cut);
    int current = 0;
    (void)fci_lookup(&job->index, folder.c_str(), 0, 0, &current);
    if (current) {
      (void)fci_add(&job->index, folder.c_str(), 0, 0);
    } else if (!remembered(job->today_folders, folder)) {
      ckfs_path_request request{0, folder.c_str()};
      int code = ckfs_mkdir(&job->session, &request);
      if (code != 0 && code != ERR_EXISTS) {
        report_fail_file_code(remote_file_path, code);
        return -2;
      }
      remember(&job->today_folders, folder);
      (void)fci_add(&job->index, folder.c_str(), 0, 0);
    }
    if (cut == std::string::npos) break;
  }
  return 0;
}

void free_today_folders(JobContext* job) {
  job->today_folders.clear();
  job->today_folders.shrink_to_fit();
}
