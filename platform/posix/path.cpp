#include "platform/path.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/error.h"

namespace {

struct DriveMap {
  std::array<std::optional<std::string>, 26> letters;
  std::vector<DriveMapping> shares;  // windows_root is "\\server\share", lower case
};

// Drive letters are ASCII whatever the locale: under a single-byte one (a JVM takes the
// user's) isalpha() also answers yes for bytes such as 0xE9, which index no drive.
bool is_drive_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
size_t drive_index(char c) {
  return static_cast<size_t>((c | 0x20) - 'a');
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> split_components(std::string_view s) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && plat_is_path_separator(s[i])) ++i;
    size_t start = i;
    while (i < s.size() && !plat_is_path_separator(s[i])) ++i;
    if (i > start) parts.push_back(s.substr(start, i - start));
  }
  return parts;
}

// Parses "\\server\share" (any separators, any case) into the map key.
std::optional<std::string> unc_key(std::string_view s, size_t* consumed) {
  size_t i = 0;
  while (i < s.size() && plat_is_path_separator(s[i])) ++i;
  size_t server_start = i;
  while (i < s.size() && !plat_is_path_separator(s[i])) ++i;
  std::string_view server = s.substr(server_start, i - server_start);
  while (i < s.size() && plat_is_path_separator(s[i])) ++i;
  size_t share_start = i;
  while (i < s.size() && !plat_is_path_separator(s[i])) ++i;
  std::string_view share = s.substr(share_start, i - share_start);
  if (server.empty() || share.empty()) return std::nullopt;
  if (consumed != nullptr) *consumed = i;
  return "\\\\" + lower(server) + "\\" + lower(share);
}

// The root as the system itself spells it (realpath's form): "/mnt//data/./" would never
// prefix a resolved path, which would then be taken for one under another drive.
std::string clean_native_root(std::string_view root) {
  std::string out;
  size_t i = 0;
  while (i < root.size()) {
    size_t end = root.find('/', i);
    if (end == std::string_view::npos) end = root.size();
    std::string_view part = root.substr(i, end - i);
    if (!part.empty() && part != ".") {
      out.push_back('/');
      out.append(part);
    }
    i = end + 1;
  }
  return out.empty() ? "/" : out;
}

std::shared_ptr<const DriveMap> load_map() {
  auto map = std::make_shared<DriveMap>();
  std::ifstream in("etc/drives");
  std::string line;
  while (in && std::getline(in, line)) {
    std::string_view text = trim(line);
    if (text.empty() || text.front() == '#') continue;
    // A NUL would cut the name short where the system reads it: some other folder.
    if (text.find('\0') != std::string_view::npos) continue;
    size_t eq = text.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = trim(text.substr(0, eq));
    std::string_view value = trim(text.substr(eq + 1));
    if (value.empty() || value.front() != '/') continue;  // native roots are absolute
    std::string root = clean_native_root(value);
    if (key.size() >= 2 && is_drive_letter(key[0]) && key[1] == ':' &&
        split_components(key.substr(2)).empty()) {
      map->letters[drive_index(key[0])] = root;
    } else if (key.size() > 2 && plat_is_path_separator(key[0]) && plat_is_path_separator(key[1])) {
      size_t used = 0;
      std::optional<std::string> k = unc_key(key, &used);
      if (!k || !split_components(key.substr(used)).empty()) continue;
      // "\\?\" opens a long path, never a share: such a share could not be reached.
      if (k->compare(0, 4, "\\\\?\\") == 0) continue;
      bool replaced = false;
      for (DriveMapping& m : map->shares) {
        if (m.windows_root == *k) {
          m.native_root = root;
          replaced = true;
        }
      }
      if (!replaced) map->shares.push_back(DriveMapping{*k, root});
    }
  }
  if (!map->letters['C' - 'A']) map->letters['C' - 'A'] = "/";
  return map;
}

std::mutex g_map_mutex;
std::shared_ptr<const DriveMap> g_map;

std::shared_ptr<const DriveMap> current_map() {
  std::lock_guard<std::mutex> lock(g_map_mutex);
  if (!g_map) g_map = load_map();
  return g_map;
}

int not_found() {
  plat_set_last_error(PLAT_ERROR_PATH_NOT_FOUND);
  errno = ENOENT;
  return -1;
}

// Joins `rest` under `root`, resolving "." and ".." without climbing above the root, as
// Windows does for "D:\..".
std::string join_under(const std::string& root, std::string_view rest) {
  std::vector<std::string_view> kept;
  for (std::string_view part : split_components(rest)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }
  std::string out = root;
  for (std::string_view part : kept) {
    if (out.empty() || out.back() != '/') out.push_back('/');
    out.append(part);
  }
  return out;
}

}  // namespace

int plat_native_path(std::string_view w, std::string* native) {
  if (w.empty()) return not_found();
  // Long-path prefix "\\?\" names the same thing without it.
  if (w.size() >= 4 && plat_is_path_separator(w[0]) && plat_is_path_separator(w[1]) &&
      w[2] == '?' && plat_is_path_separator(w[3])) {
    w.remove_prefix(4);
    if (w.empty()) return not_found();
  }
  std::shared_ptr<const DriveMap> map = current_map();
  if (w.size() >= 2 && plat_is_path_separator(w[0]) && plat_is_path_separator(w[1])) {
    size_t used = 0;
    std::optional<std::string> key = unc_key(w, &used);
    if (!key) return not_found();
    for (const DriveMapping& m : map->shares) {
      if (m.windows_root == *key) {
        *native = join_under(m.native_root, w.substr(used));
        return 0;
      }
    }
    return not_found();
  }
  if (w.size() >= 2 && is_drive_letter(w[0]) && w[1] == ':') {
    const std::optional<std::string>& root = map->letters[drive_index(w[0])];
    if (!root) return not_found();
    *native = join_under(*root, w.substr(2));
    return 0;
  }
  if (plat_is_path_separator(w[0])) {  // rooted on the current drive, which is C:
    const std::optional<std::string>& root = map->letters['C' - 'A'];
    if (!root) return not_found();
    *native = join_under(*root, w);
    return 0;
  }
  std::string out;
  for (std::string_view part : split_components(w)) {
    if (!out.empty()) out.push_back('/');
    out.append(part);
  }
  *native = out;
  return 0;
}

int plat_windows_path(std::string_view n, std::string* windows) {
  if (n.find('\\') != std::string_view::npos) {
    errno = EINVAL;
    plat_set_last_error(PLAT_ERROR_INVALID_PARAMETER);
    return -1;
  }
  std::vector<std::string_view> parts = split_components(n);
  if (n.empty() || n.front() != '/') {
    std::string out;
    for (std::string_view part : parts) {
      if (!out.empty()) out.push_back('\\');
      out.append(part);
    }
    if (out.empty()) return not_found();
    *windows = out;
    return 0;
  }
  std::string norm = "/";
  for (std::string_view part : parts) {
    if (norm.size() > 1) norm.push_back('/');
    norm.append(part);
  }
  std::shared_ptr<const DriveMap> map = current_map();
  std::string best_win;
  size_t best_len = 0;
  bool found = false;
  auto consider = [&](const std::string& win, const std::string& root) {
    bool covers = root == "/" || norm == root ||
                  (norm.size() > root.size() && norm.compare(0, root.size(), root) == 0 &&
                   norm[root.size()] == '/');
    if (covers && (!found || root.size() > best_len)) {
      best_win = win;
      best_len = root == "/" ? 0 : root.size();
      found = true;
    }
  };
  for (int i = 0; i < 26; ++i) {
    if (map->letters[i])
      consider(std::string(1, static_cast<char>('A' + i)) + ":", *map->letters[i]);
  }
  for (const DriveMapping& m : map->shares) consider(m.windows_root, m.native_root);
  if (!found) return not_found();
  std::string rest =
      best_len == 0 ? norm.substr(1) : norm.substr(std::min(norm.size(), best_len + 1));
  for (char& c : rest) {
    if (c == '/') c = '\\';
  }
  bool is_drive = best_win.size() == 2;
  std::string out = best_win;
  if (is_drive || !rest.empty()) out.push_back('\\');
  out.append(rest);
  *windows = out;
  return 0;
}

std::vector<DriveMapping> plat_drive_map() {
  std::shared_ptr<const DriveMap> map = current_map();
  std::vector<DriveMapping> out;
  for (int i = 0; i < 26; ++i) {
    if (map->letters[i]) {
      out.push_back(
          DriveMapping{std::string(1, static_cast<char>('A' + i)) + ":", *map->letters[i]});
    }
  }
  out.insert(out.end(), map->shares.begin(), map->shares.end());
  return out;
}

void plat_drive_map_reload() {
  std::shared_ptr<const DriveMap> fresh = load_map();
  std::lock_guard<std::mutex> lock(g_map_mutex);
  g_map = fresh;
}
