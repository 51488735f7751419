// Paths up to the walk's 1023 characters and names the narrow code page may not hold,
// through the Env of the platform the suite runs on: the Linux suite and the Windows suite
// (under Wine) build this same file. Windows limits the narrow API to MAX_PATH (260) and
// folder creation to 248, so the cases straddle both.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/error.h"
#include "platform/file_times.h"
#include "platform/security.h"
#include "tests/support/test_support.h"
#include "util/fs.h"

using testing_support::TempDir;

namespace {

class LongPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drive_ = std::make_unique<testing_support::DriveFolder>(dir_);
    root_ = drive_->root();
  }

  // The entries of a listing by name (without "." and "..").
  std::vector<PlatFindData> list(const std::string& folder) {
    std::vector<PlatFindData> out;
    PlatFindData data{};
    PlatFindHandle find = env_->find_first(folder + "\\*", &data);
    EXPECT_TRUE(find) << folder.size() << " " << errno;
    if (!find) return out;
    do {
      if (std::string(data.name) != "." && std::string(data.name) != "..") out.push_back(data);
    } while (env_->find_next(find.get(), &data) == 0);
    return out;
  }

  std::vector<std::string> walk(const std::string& folder) {
    std::vector<std::string> seen;
    walk_request request{};
    request.flags = WALK_RECURSE | WALK_DIRS_FIRST | WALK_NO_IGNORE;
    request.callback = [](const walk_entry* e, void* user) -> int {
      static_cast<std::vector<std::string>*>(user)->push_back(e->path);
      return WALK_CONTINUE;
    };
    request.user_data = &seen;
    EXPECT_EQ(dir_walk(folder.c_str(), &request), 0) << errno;
    return seen;
  }

  Env* env_ = plat_env();
  TempDir dir_;
  std::unique_ptr<testing_support::DriveFolder> drive_;
  std::string root_;
};

// Wine answers the final path of a handle from a buffer of about MAX_PATH characters.
bool wine_final_path_limit(const std::string& path) {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return path.size() > 260 && ntdll != nullptr &&
         GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  (void)path;
  return false;
#endif
}

// Folders of exactly `length` characters below `base`, components of at most 60.
std::vector<std::string> folders_to(const std::string& base, size_t length) {
  std::vector<std::string> levels;
  std::string path = base;
  for (int level = 1; path.size() < length; ++level) {
    std::string part = "\\level-" + std::to_string(level) + "-";
    size_t take = std::min<size_t>(60, length - path.size());
    if (length - path.size() - take > 0 && length - path.size() - take < part.size() + 1) {
      take -= part.size() + 1;  // leave room for a whole last component
    }
    part.resize(std::max(take, part.size()), 'x');
    path += part.substr(0, take);
    levels.push_back(path);
  }
  return levels;
}

TEST_F(LongPathTest, EveryCallReachesPathsUpToTheWalksLimit) {
  struct Case {
    const char* what;
    size_t folder;  // length of the folder's path
    size_t file;    // length of the file's path
  };
  const Case cases[] = {
      {"short", 120, 150},
      {"folder past CreateDirectory's 248", 250, 258},
      {"folder whose search pattern passes MAX_PATH", 259, 275},
      {"file just past MAX_PATH", 240, 261},
      {"as deep as the walk goes", 900, 1023},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string top = root_ + "\\lp";
    ASSERT_LT(top.size() + 10, c.folder) << "the temporary folder is too deep for this case";
    ASSERT_EQ(env_->make_dir(top), 0) << errno;
    std::vector<std::string> levels = folders_to(top, c.folder);
    for (const std::string& level : levels) ASSERT_EQ(env_->make_dir(level), 0) << level.size();
    const std::string folder = levels.back();
    ASSERT_EQ(folder.size(), c.folder);
    const std::string name = "f" + std::string(c.file - c.folder - 1 - 1, 'n');
    const std::string file = folder + "\\" + name;
    ASSERT_EQ(file.size(), c.file);

    int fd = env_->open_file(file, PLAT_OPEN_WRITE | PLAT_OPEN_CREATE | PLAT_OPEN_TRUNCATE);
    ASSERT_GE(fd, 0) << errno;
    const std::string body = c.what;
    EXPECT_EQ(plat_write_all(env_, fd, body.data(), body.size()),
              static_cast<ssize_t>(body.size()));
    EXPECT_EQ(env_->close_file(fd), 0);

    EXPECT_EQ(env_->file_exists(file), 1);
    PlatFileStatus status{};
    ASSERT_EQ(env_->file_status(file, &status), 0) << errno;
    EXPECT_TRUE(status.is_regular);
    EXPECT_EQ(status.size, body.size());
    PlatFileTimes times{};
    EXPECT_EQ(plat_file_times(file, &times), 0) << errno;
    EXPECT_GT(times.last_write, 0);
    std::vector<uint8_t> descriptor(20480);
    EXPECT_GT(plat_get_file_security(file, descriptor.data(), descriptor.size()), 0) << errno;

    std::vector<PlatFindData> entries = list(folder);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, name);
    EXPECT_EQ(entries[0].size_low, body.size());
    EXPECT_EQ(entries[0].status_error, 0);
    PlatFindData self{};
    PlatFindHandle find = env_->find_first(folder, &self);  // the folder itself, by name
    ASSERT_TRUE(find) << errno;
    EXPECT_NE(self.attributes & PLAT_ATTR_DIRECTORY, 0u);
    find.reset();
    EXPECT_EQ(env_->dir_usable(folder), 1);
    std::string full_root, full;
    ASSERT_EQ(env_->full_directory_path(root_, &full_root), 0);
    if (!full_root.empty() && full_root.back() == '\\') full_root.pop_back();  // "D:\"
    if (env_->full_directory_path(folder, &full) != 0 && wine_final_path_limit(folder)) {
      std::printf(
          "note: Wine's GetFinalPathNameByHandle stops near MAX_PATH; a folder of %zu "
          "characters is not resolved here\n",
          folder.size());
    } else {
      EXPECT_EQ(full, full_root + folder.substr(root_.size())) << plat_last_error();
    }

    FILE* stream = env_->open_stream(file, "rb");
    ASSERT_NE(stream, nullptr) << errno;
    char back[64] = {};
    EXPECT_EQ(fread(back, 1, sizeof back, stream), body.size());
    fclose(stream);
    EXPECT_EQ(std::string(back), body);

    const std::string renamed = folder + "\\r" + name.substr(1);
    ASSERT_EQ(env_->rename_file(file, renamed), 0) << errno;
    EXPECT_EQ(env_->file_exists(file), 0);
    std::vector<std::string> expected = levels;  // folders before what they hold
    expected.push_back(renamed);
    EXPECT_EQ(walk(top), expected);

    EXPECT_EQ(env_->delete_file(renamed), 0) << errno;
    for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
      EXPECT_EQ(env_->remove_dir(*level), 0) << level->size();
    }
    EXPECT_EQ(env_->remove_dir(top), 0);
  }
}

// Windows lists a name the ANSI code page cannot hold with the error and a stand-in that
// names no file ("?" is in no Windows name), and the walker neither enters it nor fails on
// it; Linux names are bytes and list as themselves, as they do under a UTF-8 code page.
TEST_F(LongPathTest, NamesTheCodePageCannotHoldAreListedAsFailures) {
  struct Case {
    const char* what;
    const char* utf8;    // the name as Linux stores it
    bool folder;         // one that holds "inner.txt"
    const char* cp1252;  // what Windows lists under code page 1252...
    int cp1252_error;    // ...and the entry's status_error
  };
  const Case cases[] = {
      {"Chinese", "\xe4\xb8\xad\xe6\x96\x87.txt", false, "??.txt", EILSEQ},
      {"outside the BMP", "smile-\xf0\x9f\x98\x80", false, "smile-?", EILSEQ},
      {"folder held in part", "\xc3\xa9t\xc3\xa9-\xe4\xb8\xad", true, "\xe9t\xe9-?", EILSEQ},
      {"held whole", "caf\xc3\xa9.txt", false, "caf\xe9.txt", 0},
  };
  const std::string top = root_ + "\\odd";
  ASSERT_EQ(env_->make_dir(top), 0);
#ifdef _WIN32
  const bool as_itself = GetACP() == CP_UTF8;        // the code page holds every name
  const bool exact = as_itself || GetACP() == 1252;  // the listed names are checked
  if (!exact) std::printf("note: code page %u: only the failures are checked\n", GetACP());
  wchar_t wide_top[MAX_PATH];
  ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, top.c_str(), -1, wide_top, MAX_PATH), 0);
#else
  const bool as_itself = true;  // names are bytes
  const bool exact = true;
#endif
  for (const Case& c : cases) {
#ifdef _WIN32
    wchar_t name[64];
    ASSERT_GT(MultiByteToWideChar(CP_UTF8, 0, c.utf8, -1, name, 64), 0);
    std::wstring path = std::wstring(wide_top) + L"\\" + name;
    if (c.folder) {
      ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
      path += L"\\inner.txt";
    }
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.what;
    CloseHandle(h);
#else
    testing_support::write_file(
        dir_.file(std::string("d/odd/") + c.utf8 + (c.folder ? "/inner.txt" : "")), "");
#endif
  }
  std::vector<PlatFindData> entries = list(top);
  std::vector<std::string> walked = walk(top);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = as_itself ? c.utf8 : c.cp1252;
    const int error = as_itself ? 0 : c.cp1252_error;
    auto found = std::find_if(entries.begin(), entries.end(), [&](const PlatFindData& e) {
      return exact ? e.name == name : e.status_error == error;
    });
    ASSERT_NE(found, entries.end());
    EXPECT_EQ(found->status_error, error);
    EXPECT_EQ((found->attributes & PLAT_ATTR_DIRECTORY) != 0, c.folder);
    const std::string path = top + "\\" + found->name;
    EXPECT_NE(std::find(walked.begin(), walked.end(), path), walked.end()) << "reported";
    const bool inner =
        std::find(walked.begin(), walked.end(), path + "\\inner.txt") != walked.end();
    EXPECT_EQ(inner, c.folder && error == 0) << "entered only when it has a name";
    if (error != 0) {
      EXPECT_NE(env_->file_exists(path), 1) << "the stand-in names no file";
    }
  }
}

}  // namespace
