#include "util/ignore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/debug.h"
#include "platform/env.h"
#include "platform/machine.h"
#include "util/fdio.h"
#include "util/fs.h"

namespace {

constexpr const char* kIgnoredDirectories[] = {"$recycle.bin", "system volume information",
                                               "recycler", "$recycler"};
constexpr const char* kIgnoredFiles[] = {"hiberfil.sys", "pagefile.sys"};
constexpr const char* kIgnoredFilePatterns[] = {"*.lnk"};
constexpr const char* kFolderShortcutClass = "{0AFACED1-E828-11D1-9187-B532F1E9575D}";
constexpr int kLineMaximum = 512;

// The folder-shortcut list: built once, never freed, never rebuilt.
std::once_flag g_ignore_once;
List* g_ignore_paths = nullptr;

bool ascii_equal_nocase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a);
    unsigned char y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

int scan_desktop_ini(const walk_entry* entry, void* user_data) {
  List* list = static_cast<List*>(user_data);
  Env* env = plat_env();
  EnvFile fd(env, env->open_read(entry->path));
  if (!fd.valid()) return WALK_CONTINUE;
  char line[kLineMaximum + 1];
  int n;
  while ((n = read_line(env, fd.get(), line, kLineMaximum)) >= 0) {
    line[n] = '\0';
    for (int i = 0; i < n; ++i) {
      if (line[i] >= 'a' && line[i] <= 'z') line[i] = static_cast<char>(line[i] - 32);
    }
    if (strstr(line, kFolderShortcutClass) != nullptr) {
      char folder[UTIL_PATH_BUFFER];
      int length = parent_directory(folder, entry->path);
      if (length > 0) list_insert(list, folder, static_cast<size_t>(length), list_count(list));
      break;
    }
  }
  return WALK_CONTINUE;
}

// The profile root comes from the platform; none means no folder shortcuts.
void build_ignore_paths() {
  g_ignore_paths = list_create(10, 5, nullptr);
  std::string root = plat_profile_root();
  if (root.empty()) return;
  walk_request request{WALK_NOCASE | WALK_RECURSE | WALK_NO_IGNORE, "desktop.ini", scan_desktop_ini,
                       g_ignore_paths};
  int saved = errno;
  (void)dir_walk(root.c_str(), &request);
  errno = saved;
}

}  // namespace

List* get_ignore_paths() {
  std::call_once(g_ignore_once, build_ignore_paths);
  return g_ignore_paths;
}

bool is_ignore_path(const char* path, bool is_directory) {
  if (path == nullptr) return true;
  if (List* shortcuts = get_ignore_paths()) {
    // By index, not by the list's cursor: other threads may be reading it too.
    for (int i = 0, n = list_count(shortcuts); i < n; ++i) {
      if (ascii_equal_nocase(list_item(shortcuts, i), path)) return true;
    }
  }
  const char* slash = strrchr(path, '\\');
  if (slash == nullptr) {
    char message[UTIL_PATH_BUFFER + 64];
    snprintf(message, sizeof(message), "ERROR converting path name to file name: '%s'\n", path);
    plat_debug_output(message);
    return true;
  }
  // Comparing without regard to ASCII case stands for lower-casing a copy first.
  const char* name = slash + 1;
  if (is_directory) {
    for (const char* d : kIgnoredDirectories) {
      if (ascii_equal_nocase(name, d)) return true;
    }
    return false;
  }
  for (const char* f : kIgnoredFiles) {
    if (ascii_equal_nocase(name, f)) return true;
  }
  for (const char* pattern : kIgnoredFilePatterns) {
    if (shell_match(pattern, name, MATCH_CASEFOLD) == 0) return true;
  }
  return false;
}
