// Arbitrary bytes as the drive map file "etc/drives", then paths translated both ways
// through what it maps. Every mapping the parser keeps must be usable: a path below a
// mapped drive or share reaches below its native root, and that native path names the
// same place on the way back.
#include <sys/stat.h>
#include <unistd.h>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/path.h"

namespace {

// The map is read from the working directory: it is read in a scratch folder of our own,
// and the fuzzer's working directory (its corpus paths are relative to it) is given back.
class Scratch {
 public:
  Scratch() {
    // Where a single-byte locale is installed, bytes above 127 are letters too, as they are
    // in a JVM of such a user.
    for (const char* name : {"en_US.ISO-8859-1", "de_DE.ISO-8859-1", "fr_FR.ISO-8859-1"}) {
      if (setlocale(LC_CTYPE, name) != nullptr) break;
    }
    char dir[] = "/tmp/varno-fuzz-drives-XXXXXX";
    std::error_code ec;
    home_ = std::filesystem::current_path(ec);
    if (ec || mkdtemp(dir) == nullptr || mkdir((std::string(dir) + "/etc").c_str(), 0700) != 0) {
      perror("fuzz_drives: scratch folder");
      abort();
    }
    dir_ = dir;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  void load(const uint8_t* data, size_t size) {
    std::string name = dir_.string() + "/etc/drives";
    FILE* out = fopen(name.c_str(), "wb");
    if (out == nullptr || fwrite(data, 1, size, out) != size || fclose(out) != 0 ||
        chdir(dir_.c_str()) != 0) {
      perror("fuzz_drives: writing the map");
      abort();
    }
    plat_drive_map_reload();
    if (chdir(home_.c_str()) != 0) abort();
  }

 private:
  std::filesystem::path home_, dir_;
};

// The path with "." and empty components dropped, for comparing two names of one place.
std::string normal(const std::string& native) {
  std::string out;
  size_t i = 0;
  while (i < native.size()) {
    size_t end = native.find('/', i);
    if (end == std::string::npos) end = native.size();
    std::string part = native.substr(i, end - i);
    if (!part.empty() && part != ".") out += "/" + part;
    i = end + 1;
  }
  return out.empty() ? "/" : out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  scratch.load(data, size);

  std::vector<DriveMapping> map = plat_drive_map();
  bool has_c = false;
  for (const DriveMapping& m : map) {
    const std::string& root = m.native_root;
    if (root.empty() || root[0] != '/' || root != normal(root)) abort();
    if (root.find('\0') != std::string::npos || m.windows_root.find('\0') != std::string::npos) {
      abort();
    }
    if (m.windows_root == "C:") has_c = true;
    if (m.windows_root.size() == 2 && (m.windows_root[0] < 'A' || m.windows_root[0] > 'Z')) abort();
    // Below the mapping, to the native side and back.
    std::string native;
    if (plat_native_path(m.windows_root + "\\sub\\.\\x", &native) != 0) abort();
    if (normal(native) != normal(root + "/sub/x")) abort();
    // A native root may hold names no Windows path can (a backslash) or climb (".."), and
    // another mapping may cover it more closely; the way back must still name that place.
    if (root.find('\\') != std::string::npos || root.find("..") != std::string::npos) continue;
    std::string windows, again;
    if (plat_windows_path(native, &windows) != 0) abort();
    if (plat_native_path(windows, &again) != 0) abort();
    if (normal(again) != normal(native)) abort();
  }
  if (!has_c) abort();

  // Paths from outside, whatever the map holds.
  static const char* const kPaths[] = {"C:\\x", "d:/a/../..", "\\\\fs1\\docs\\a", "\\\\?\\Z:\\",
                                       "\\\\a", "rel\\x",     "\\\\\\",           "\xe9:\\x"};
  std::string out;
  for (const char* p : kPaths) (void)plat_native_path(p, &out);
  static const char* const kNative[] = {"/", "/mnt/data/x", "//srv//docs/", "rel/x", ""};
  for (const char* p : kNative) (void)plat_windows_path(p, &out);
  return 0;
}
