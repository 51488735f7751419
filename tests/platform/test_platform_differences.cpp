// Where the Windows layer and its POSIX stand-ins behave differently, one table per
// behaviour, each case with its expected value on each platform. The Linux suite and the
// Windows suite (under Wine) build this same file; a case Wine cannot show says so.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/file_times.h"
#include "platform/instance.h"
#include "platform/launch.h"
#include "platform/named_object.h"
#include "platform/path.h"
#include "platform/security.h"
#include "tests/support/test_support.h"

using testing_support::TempDir;

namespace {

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// The value this platform expects.
template <typename T>
T per_platform(T posix, T windows) {
  return kWindows ? windows : posix;
}

bool under_wine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

class PlatformDifferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drive_ = std::make_unique<testing_support::DriveFolder>(dir_);
    root_ = drive_->root();
  }
  void TearDown() override { drive_.reset(); }

  std::string put(const std::string& name, const std::string& body) {
    const std::string path = root_ + "\\" + name;
    int fd = env_->open_file(path, PLAT_OPEN_WRITE | PLAT_OPEN_CREATE | PLAT_OPEN_TRUNCATE);
    EXPECT_GE(fd, 0) << errno;
    EXPECT_EQ(plat_write_all(env_, fd, body.data(), body.size()),
              static_cast<ssize_t>(body.size()));
    EXPECT_EQ(env_->close_file(fd), 0);
    return path;
  }

  std::string bytes_of(const std::string& path) {
    std::string out;
    EnvFile file(env_, env_->open_read(path));
    EXPECT_TRUE(file.valid()) << errno;
    char buffer[256];
    for (ssize_t n; file.valid() && (n = env_->read(file.get(), buffer, sizeof buffer)) > 0;) {
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  }

  Env* env_ = plat_env();
  TempDir dir_;
  std::unique_ptr<testing_support::DriveFolder> drive_;
  std::string root_;
};

TEST_F(PlatformDifferenceTest, PathsAndDriveLetters) {
  struct Case {
    const char* what;
    std::string path;
    int posix_result;  // plat_native_path: 0, or the errno
    std::string posix_native;
    int windows_result;
    std::string windows_native;
  };
  const std::string d = dir_.file("d");
  const Case cases[] = {
      {"mapped drive", "D:\\a\\b.txt", 0, d + "/a/b.txt", 0, "D:\\a\\b.txt"},
      {"lower-case letter", "d:\\a", 0, d + "/a", 0, "d:\\a"},
      {"forward slashes", "D:/a/b", 0, d + "/a/b", 0, "D:/a/b"},
      {"drive nobody mapped", "Q:\\x", ENOENT, "", 0, "Q:\\x"},
      {"relative", "a\\b", 0, "a/b", 0, "a\\b"},
      {"empty", "", ENOENT, "", ENOENT, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string native;
    errno = 0;
    const int result = plat_native_path(c.path, &native) == 0 ? 0 : errno;
    EXPECT_EQ(result, per_platform(c.posix_result, c.windows_result));
    if (result == 0) {
      EXPECT_EQ(native, per_platform(c.posix_native, c.windows_native));
    }
  }
  // Either way a file named through the letter, in either case, is the same file.
  const std::string path = put("same.txt", "x");
  std::string lower = path;
  lower[0] = static_cast<char>(lower[0] | 0x20);
  EXPECT_EQ(env_->file_exists(lower), 1);
}

TEST_F(PlatformDifferenceTest, FolderLinksAreReparsePointsNeverEntered) {
  struct Case {
    const char* what;
    const char* name;
    bool folder;  // a link to a folder, else to a file
  };
  const Case cases[] = {{"link to a folder", "folder-link", true},
                        {"link to a file", "file-link", false}};
  ASSERT_EQ(env_->make_dir(root_ + "\\target"), 0);
  put("target\\inside.txt", "in");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string target = root_ + (c.folder ? "\\target" : "\\target\\inside.txt");
    const std::string link = root_ + "\\" + c.name;
#ifdef _WIN32
    const DWORD flags = (c.folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), flags)) {
      std::printf("note: %s: this system made no symbolic link (error %lu)\n", c.what,
                  GetLastError());
      continue;
    }
#else
    std::string native_target, native_link;
    ASSERT_EQ(plat_native_path(target, &native_target), 0);
    ASSERT_EQ(plat_native_path(link, &native_link), 0);
    ASSERT_EQ(symlink(native_target.c_str(), native_link.c_str()), 0) << errno;
#endif
    PlatFindData data{};
    PlatFindHandle find = env_->find_first(link, &data);
    if (!find && under_wine()) {
      std::printf("note: %s: Wine made a symbolic link that its own search cannot list\n", c.what);
      continue;
    }
    ASSERT_TRUE(find) << errno;
    const bool flagged = (data.attributes & PLAT_ATTR_REPARSE_POINT) != 0;
    if (!flagged && under_wine()) {
      std::printf(
          "note: %s: Wine lists a symbolic link as what it points to, not as a "
          "reparse point\n",
          c.what);
      continue;
    }
    EXPECT_TRUE(flagged);
    // Both layers refuse to change security through a link rather than reach its target.
    uint8_t sd[256];
    const size_t n = plat_security_descriptor_build(0, 0, 0644, sd, sizeof sd);
    ASSERT_LE(n, sizeof sd);
    errno = 0;
    EXPECT_EQ(plat_set_file_security(link, sd, n), -1);
    EXPECT_EQ(errno, ELOOP);
  }
}

// The owner SID's identifier authority: 22 (Unix user) for the POSIX layer's made-up
// accounts, 5 (NT authority) for a Windows account.
TEST_F(PlatformDifferenceTest, SecurityDescriptorsComeFromTheAccountsOfTheSystem) {
  struct Case {
    const char* what;
    bool folder;
  };
  const Case cases[] = {{"file", false}, {"folder", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = root_ + "\\sd-" + c.what;
    if (c.folder) {
      ASSERT_EQ(env_->make_dir(path), 0);
    } else {
      path = put(std::string("sd-") + c.what, "x");
    }
    std::vector<uint8_t> sd(4096);
    const long n = plat_get_file_security(path, sd.data(), sd.size());
    ASSERT_GT(n, 20) << errno;
    EXPECT_EQ(sd[0], 1) << "revision";
    EXPECT_NE(sd[3] & 0x80, 0) << "self-relative";
    const uint32_t owner = sd[4] | sd[5] << 8 | sd[6] << 16 | static_cast<uint32_t>(sd[7]) << 24;
    ASSERT_LT(owner + 8u, static_cast<size_t>(n));
    const uint8_t authority = sd[owner + 7];
    if (kWindows && under_wine() && authority != 5) {
      std::printf("note: %s: Wine's owner is authority %u, not an NT account\n", c.what, authority);
    } else {
      EXPECT_EQ(authority, per_platform(22, 5));
    }
    PlatSecurityFacts facts{};
    ASSERT_EQ(plat_security_descriptor_parse(sd.data(), static_cast<size_t>(n), &facts), 0);
    EXPECT_TRUE(facts.has_owner);
    // Too small a room fails alike on both.
    uint8_t small[8] = {};
    errno = 0;
    EXPECT_EQ(plat_get_file_security(path, small, sizeof small), -1);
    EXPECT_EQ(errno, ERANGE);
  }
}

TEST_F(PlatformDifferenceTest, FileTimes) {
  const std::string path = put("times.txt", "first");
  PlatFileTimes before{};
  ASSERT_EQ(plat_file_times(path, &before), 0);
  env_->sleep_ms(1100);
  put("times.txt", "second, longer");
  struct Case {
    const char* what;
    bool posix;  // expected on Linux
    bool windows;
  };
  PlatFileTimes after{};
  ASSERT_EQ(plat_file_times(path, &after), 0);
  PlatFindData data{};
  PlatFindHandle find = env_->find_first(path, &data);
  ASSERT_TRUE(find);
  constexpr int64_t kEpoch = 11644473600;  // seconds from 1601 to 1970
  const int64_t listed = static_cast<int64_t>(data.last_write_time / 10000000) - kEpoch;
  // Linux records a birth time only on some file systems, and stands the status change
  // in for it elsewhere, which a rewrite moves.
  const Case cases[] = {
      {"the rewrite moves the last write", true, true},
      {"the listing's FILETIME is the same second", true, true},
      {"creation stays over a rewrite", after.creation == before.creation, true},
      {"creation is no later than the last write", true, true},
  };
  const bool seen[] = {after.last_write > before.last_write, listed == after.last_write,
                       after.creation == before.creation, after.creation <= after.last_write};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(cases[i].what);
    if (i == 2 && kWindows && !seen[i] && under_wine()) {
      std::printf(
          "note: Wine moves the creation time when a file is rewritten, as Windows "
          "does not\n");
      continue;
    }
    EXPECT_EQ(seen[i], per_platform(cases[i].posix, cases[i].windows));
  }
}

// Windows refuses every second open of a file held without sharing; the POSIX stand-in
// (flock and an open-file-description lock) excludes only the opens that lock too.
TEST_F(PlatformDifferenceTest, ExclusiveOpenAndItsLocks) {
  enum Open { kPlain, kExclusive };
  struct Case {
    const char* what;
    Open first;
    Open second;
    int posix_errno;  // of the second open; 0 when it succeeds
    int windows_errno;
  };
  const Case cases[] = {
      {"exclusive, then exclusive", kExclusive, kExclusive, EACCES, EACCES},
      {"exclusive, then plain", kExclusive, kPlain, 0, EACCES},
      {"plain, then exclusive", kPlain, kExclusive, 0, EACCES},
      {"plain, then plain", kPlain, kPlain, 0, 0},
  };
  const std::string path = put("held.txt", "kept");
  auto open = [&](Open how, unsigned flags) {
    return how == kExclusive ? env_->open_exclusive(path, flags) : env_->open_file(path, flags);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EnvFile first(env_, open(c.first, PLAT_OPEN_WRITE));
    ASSERT_TRUE(first.valid()) << errno;
    errno = 0;
    EnvFile second(env_, open(c.second, PLAT_OPEN_WRITE | PLAT_OPEN_TRUNCATE));
    EXPECT_EQ(second.valid() ? 0 : errno, per_platform(c.posix_errno, c.windows_errno));
    second.reset();
    first.reset();
    if (per_platform(c.posix_errno, c.windows_errno) != 0) {
      EXPECT_EQ(bytes_of(path), "kept") << "a refused open truncates nothing";
    } else {
      put("held.txt", "kept");
    }
  }
  // The single-instance lock is one such open: a second try fails on both.
  const std::string lock = root_ + "\\instance.lock";
  EXPECT_EQ(plat_instance_lock(lock), 0) << errno;
  EXPECT_EQ(plat_instance_lock(lock), -1);
}

// Linux keeps a name until it is unlinked; Windows drops it with its last handle and has
// nothing to unlink.
TEST_F(PlatformDifferenceTest, NamedObjects) {
  const std::string base = "Local\\varno-diff/" + std::to_string(plat_current_process_id());
  EXPECT_EQ(plat_object_name(base.c_str()),
            per_platform("/Local.varno-diff." + std::to_string(plat_current_process_id()), base));
  struct Case {
    const char* what;
    bool unlink_first;
    int posix_errno;  // of open_existing once the creator has closed; 0 when it opens
    int windows_errno;
  };
  const Case cases[] = {
      {"closed", false, 0, ENOENT},
      {"closed and unlinked", true, ENOENT, ENOENT},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = base + "-" + std::to_string(index++);
    const std::string event_name = name + "-event";
    {
      SharedMemory memory;
      ASSERT_EQ(memory.create(name.c_str(), 4096), 0) << errno;
      NamedEvent event;
      ASSERT_EQ(event.create(event_name.c_str(), true), 0) << errno;
      if (c.unlink_first) {
        EXPECT_EQ(SharedMemory::unlink(name.c_str()), 0);
        EXPECT_EQ(NamedEvent::unlink(event_name.c_str()), 0);
      }
    }
    const int expected = per_platform(c.posix_errno, c.windows_errno);
    SharedMemory memory;
    errno = 0;
    EXPECT_EQ(memory.open_existing(name.c_str(), 4096, true) == 0 ? 0 : errno, expected);
    NamedEvent event;
    errno = 0;
    EXPECT_EQ(event.open_existing(event_name.c_str()) == 0 ? 0 : errno, expected);
    (void)SharedMemory::unlink(name.c_str());
    (void)NamedEvent::unlink(event_name.c_str());
  }
  // On both, a reader's view (which keeps a Windows object alive) tells when its creator
  // is gone: how varno-ctl sees an agent that died.
  const std::string name = base + "-alive";
  SharedMemory owner;
  ASSERT_EQ(owner.create(name.c_str(), 4096), 0) << errno;
  SharedView view;
  ASSERT_EQ(owner.map(&view), 0) << errno;
  SharedMemory reader;
  ASSERT_EQ(reader.open_existing(name.c_str(), 4096, true), 0) << errno;
  SharedView seen;
  ASSERT_EQ(reader.map(&seen), 0) << errno;
  EXPECT_TRUE(seen.creator_alive());
  owner.reset();
  view.reset();
  EXPECT_FALSE(seen.creator_alive());
  (void)SharedMemory::unlink(name.c_str());
}

// A command line is "/bin/sh -c LINE" on Linux and a program started by CreateProcess on
// Windows: shell words are programs only on Linux, cmd.exe only on Windows.
TEST_F(PlatformDifferenceTest, LaunchingCommands) {
  constexpr int kNotStarted = -1;
  struct Case {
    const char* what;
    const char* line;
    int64_t posix;  // exit code, or kNotStarted (ENOENT)
    int64_t windows;
  };
  const Case cases[] = {
      {"shell built-in", "exit 3", 3, kNotStarted},
      {"cmd.exe", "cmd /c exit 4", kNotStarted, 4},
      {"missing program", "varno-no-such-program", kNotStarted, kNotStarted},
      {"terminated", nullptr, 128 + 9, 0xFFFFFFFF},  // SIGKILL; TerminateProcess(-1)
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int64_t expected = per_platform(c.posix, c.windows);
    const bool kill = c.line == nullptr;
    const char* line = kill ? per_platform("sleep 30", "cmd /c pause") : c.line;
    ChildProcess child;
    errno = 0;
    const int started = env_->process_start(line, &child);
    if (expected == kNotStarted) {
      EXPECT_EQ(started, -1);
      EXPECT_EQ(errno, ENOENT);
      continue;
    }
    ASSERT_EQ(started, 0) << errno;
    if (kill) {
      EXPECT_EQ(env_->process_terminate(child), 0);
    }
    ASSERT_EQ(env_->process_wait(child, 20000), PLAT_WAIT_ENDED);
    uint32_t code = 0;
    ASSERT_EQ(env_->process_exit_code(child, &code), 0);
    EXPECT_EQ(code, static_cast<uint32_t>(expected));
  }
}

// Logs are written as Windows text mode stores them on both; streams the layer opens are
// binary on both, so nothing else is translated either way.
TEST_F(PlatformDifferenceTest, CrLfTexts) {
  struct Case {
    const char* what;
    bool text;  // through plat_write_text, else fputs
    const char* written;
    const char* stored;  // the same on both platforms
  };
  const Case cases[] = {
      {"text lines", true, "a\nb\n", "a\r\nb\r\n"},
      {"text without a final line feed", true, "a\nb", "a\r\nb"},
      {"text already CR LF", true, "a\r\n", "a\r\r\n"},
      {"stream", false, "a\nb\n", "a\nb\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = root_ + "\\text.log";
    FILE* stream = env_->open_stream(path, "w");
    ASSERT_NE(stream, nullptr) << errno;
    const std::string written = c.written;
    if (c.text) {
      EXPECT_TRUE(plat_write_text(stream, written.data(), written.size()));
    } else {
      EXPECT_GE(fputs(c.written, stream), 0);
    }
    EXPECT_EQ(fclose(stream), 0);
    EXPECT_EQ(bytes_of(path), c.stored);
    FILE* back = env_->open_stream(path, "r");
    ASSERT_NE(back, nullptr);
    char line[64] = {};
    ASSERT_NE(fgets(line, sizeof line, back), nullptr);
    fclose(back);
    EXPECT_EQ(std::string(line),
              std::string(c.stored).substr(0, std::string(c.stored).find('\n') + 1))
        << "read back untranslated";
  }
}

}  // namespace
