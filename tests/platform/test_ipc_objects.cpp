#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "platform/mailslot.h"
#include "platform/named_object.h"
#include "platform/thread.h"

namespace {

// Names are machine-wide: every test gets its own.
std::string unique_name(const char* base) {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  return std::string(base) + "." + info->name() + "." + std::to_string(getpid());
}

}  // namespace

// ---- mailslot ---------------------------------------------------------------------------

TEST(MailslotTest, MessagesArriveWholeAndInOrder) {
  std::string name = unique_name("\\\\.\\mailslot\\Test");
  MailslotReceiver rx;
  ASSERT_EQ(plat_mailslot_create(name.c_str(), &rx), 0);
  ASSERT_EQ(plat_mailslot_send(name.c_str(), "first", 6, 1000), 0);
  ASSERT_EQ(plat_mailslot_send(name.c_str(), "", 0, 1000), 0);
  ASSERT_EQ(plat_mailslot_send(name.c_str(), "x", 1, 1000), 0);
  char buffer[64];
  ASSERT_EQ(rx.read(buffer, sizeof buffer), 6);
  EXPECT_STREQ(buffer, "first");
  EXPECT_EQ(rx.read(buffer, sizeof buffer), 0) << "an empty message is a message";
  EXPECT_EQ(rx.read(buffer, sizeof buffer), 1);
  EXPECT_EQ(buffer[0], 'x');
}

TEST(MailslotTest, ReadDoesNotWaitWhenEmpty) {
  std::string name = unique_name("ms");
  MailslotReceiver rx;
  ASSERT_EQ(plat_mailslot_create(name.c_str(), &rx), 0);
  char buffer[8];
  errno = 0;
  EXPECT_EQ(rx.read(buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, EAGAIN);
}

TEST(MailslotTest, AMessageLargerThanTheBufferFailsTheReadAndStaysQueued) {
  std::string name = unique_name("ms");
  MailslotReceiver rx;
  ASSERT_EQ(plat_mailslot_create(name.c_str(), &rx), 0);
  std::string big(100, 'b');
  ASSERT_EQ(plat_mailslot_send(name.c_str(), big.data(), big.size(), 1000), 0);
  char small[99];
  errno = 0;
  EXPECT_EQ(rx.read(small, sizeof small), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_EQ(rx.read(small, sizeof small), -1) << "still there, still too big";
  char exact[100];
  ASSERT_EQ(rx.read(exact, sizeof exact), 100);
  EXPECT_EQ(std::string(exact, 100), big);
  EXPECT_EQ(rx.read(exact, sizeof exact), -1);
  EXPECT_EQ(errno, EAGAIN);
}

TEST(MailslotTest, SendWithoutReceiverFailsAndNameIsExclusive) {
  std::string name = unique_name("ms");
  errno = 0;
  EXPECT_EQ(plat_mailslot_send(name.c_str(), "a", 2, 100), -1);
  EXPECT_TRUE(errno == ECONNREFUSED || errno == ENOENT) << strerror(errno);
  MailslotReceiver rx;
  ASSERT_EQ(plat_mailslot_create(name.c_str(), &rx), 0);
  MailslotReceiver second;
  EXPECT_EQ(plat_mailslot_create(name.c_str(), &second), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  rx.reset();
  EXPECT_EQ(plat_mailslot_send(name.c_str(), "a", 2, 100), -1) << "closing frees the name";
  EXPECT_EQ(plat_mailslot_create(name.c_str(), &second), 0);
}

TEST(MailslotTest, MovedReceiverKeepsTheNameAndClosedOneRefusesReads) {
  std::string name = unique_name("ms");
  MailslotReceiver rx;
  ASSERT_EQ(plat_mailslot_create(name.c_str(), &rx), 0);
  MailslotReceiver moved = std::move(rx);
  EXPECT_FALSE(rx.valid());
  char buffer[4];
  EXPECT_EQ(rx.read(buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, EBADF);
  ASSERT_EQ(plat_mailslot_send(name.c_str(), "ok", 3, 100), 0);
  EXPECT_EQ(moved.read(buffer, sizeof buffer), 3);
}

TEST(MailslotTest, TooLongNameIsRefused) {
  std::string name(200, 'n');
  MailslotReceiver rx;
  EXPECT_EQ(plat_mailslot_create(name.c_str(), &rx), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(plat_mailslot_send(name.c_str(), "a", 2, 100), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(MailslotTest, FullQueueFailsTheSendAfterTheTimeOut) {
  std::string name = unique_name("ms");
  MailslotReceiver rx;
  ASSERT_EQ(plat_mailslot_create(name.c_str(), &rx), 0);
  int sent = 0;
  while (sent < 100000 && plat_mailslot_send(name.c_str(), "job", 4, 0) == 0) ++sent;
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(plat_mailslot_send(name.c_str(), "job", 4, 20), -1);
  EXPECT_EQ(errno, EAGAIN);
  char buffer[8];
  ASSERT_EQ(rx.read(buffer, sizeof buffer), 4);
  EXPECT_EQ(plat_mailslot_send(name.c_str(), "job", 4, 1000), 0) << "room again after a read";
}

// ---- names and shared memory ------------------------------------------------------------

TEST(NamedObjectTest, WindowsNamesMapToOnePosixComponent) {
  EXPECT_EQ(plat_object_name("Global\\Varno/Varno Backup/Backup Progress Information"),
            "/Global.Varno.Varno Backup.Backup Progress Information");
  EXPECT_EQ(plat_object_name("a\\\\b//c"), "/a..b..c");
}

TEST(SharedMemoryTest, CreatorAndReaderShareBytesAndObjectIsTheUsersAlone) {
  std::string name = unique_name("Global\\Test/Board");
  SharedMemory owner;
  ASSERT_EQ(owner.create(name.c_str(), 4672), 0);
  SharedView view;
  ASSERT_EQ(owner.map(&view), 0);
  struct stat st;
  ASSERT_EQ(stat(("/dev/shm" + plat_object_name(name.c_str())).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_EQ(st.st_size, 4672);
  memcpy(view.data(), "hello", 6);

  SharedMemory reader;
  ASSERT_EQ(reader.open_existing(name.c_str(), 4672, true), 0);
  SharedView seen;
  ASSERT_EQ(reader.map(&seen), 0);
  EXPECT_STREQ(static_cast<const char*>(seen.data()), "hello");
  EXPECT_TRUE(seen.creator_alive());
  EXPECT_TRUE(view.sole_creator()) << "readers do not count";
  {
    SharedMemory second;  // a second agent opening the same board
    ASSERT_EQ(second.create(name.c_str(), 4672), 0);
    SharedView second_view;
    ASSERT_EQ(second.map(&second_view), 0);
    second.reset();
    EXPECT_FALSE(view.sole_creator());
    EXPECT_FALSE(second_view.sole_creator());
  }
  EXPECT_TRUE(view.sole_creator());

  owner.reset();  // the handle goes, the view keeps the object and the creator's lock
  EXPECT_TRUE(seen.creator_alive());
  memcpy(view.data(), "again", 6);
  EXPECT_STREQ(static_cast<const char*>(seen.data()), "again");
  view.reset();
  EXPECT_FALSE(seen.creator_alive());
  EXPECT_EQ(SharedMemory::unlink(name.c_str()), 0);
  EXPECT_STREQ(static_cast<const char*>(seen.data()), "again") << "mapped views outlive the name";
  EXPECT_EQ(reader.open_existing(name.c_str(), 4672, true), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(SharedMemoryTest, ObjectLeftByADeadCreatorIsReopenedAndGrown) {
  std::string name = unique_name("Board");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SharedMemory m;
    if (m.create(name.c_str(), 16) != 0) _exit(1);
    SharedView v;
    if (m.map(&v) != 0) _exit(1);
    memcpy(v.data(), "stale", 6);
    _exit(0);  // killed agents unlink nothing
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);

  SharedMemory reader;
  ASSERT_EQ(reader.open_existing(name.c_str(), 16, true), 0);
  SharedView seen;
  ASSERT_EQ(reader.map(&seen), 0);
  EXPECT_FALSE(seen.creator_alive()) << "a board left behind must read as such";
  EXPECT_EQ(reader.open_existing(name.c_str(), 4672, true), -1);
  EXPECT_EQ(errno, EINVAL) << "too small for the record";

  SharedMemory owner;
  ASSERT_EQ(owner.create(name.c_str(), 4672), 0);
  SharedView view;
  ASSERT_EQ(owner.map(&view), 0);
  EXPECT_STREQ(static_cast<const char*>(view.data()), "stale");
  EXPECT_TRUE(seen.creator_alive());
  EXPECT_TRUE(view.sole_creator());
  EXPECT_EQ(SharedMemory::unlink(name.c_str()), 0);
}

TEST(SharedMemoryTest, ReadOnlyViewAndMissingObject) {
  std::string name = unique_name("Board");
  SharedMemory none;
  EXPECT_EQ(none.open_existing(name.c_str(), 8, true), -1);
  EXPECT_EQ(errno, ENOENT);
  SharedView view;
  EXPECT_EQ(none.map(&view), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(view.creator_alive());
}

// ---- auto-reset event -------------------------------------------------------------------

TEST(NamedEventTest, ManySetsAreAnsweredOnceAndCrossProcesses) {
  std::string name = unique_name("Global\\Test/Event");
  NamedEvent agent;
  ASSERT_EQ(agent.create(name.c_str(), true), 0);
  EXPECT_EQ(agent.try_wait(), 0) << "created not signalled";

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedEvent client;
    if (client.open_existing(name.c_str()) != 0) _exit(1);
    _exit(client.set() == 0 && client.set() == 0 && client.set() == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(agent.try_wait(), 1);
  EXPECT_EQ(agent.try_wait(), 0);
  EXPECT_EQ(agent.set(), 0);
  EXPECT_EQ(agent.try_wait(), 1);
  EXPECT_EQ(agent.try_wait(), 0);
  EXPECT_EQ(NamedEvent::unlink(name.c_str()), 0);
}

TEST(NamedEventTest, StaleSignalIsDroppedAtCreateAndUnlinkedNameIsGone) {
  std::string name = unique_name("Event");
  {
    NamedEvent left;
    ASSERT_EQ(left.create(name.c_str(), true), 0);
    ASSERT_EQ(left.set(), 0);
  }  // closed, never unlinked: what a killed agent leaves
  NamedEvent agent;
  ASSERT_EQ(agent.create(name.c_str(), true), 0);
  EXPECT_EQ(agent.try_wait(), 0);
  struct stat st;
  ASSERT_EQ(stat(("/dev/shm/sem." + plat_object_name(name.c_str()).substr(1)).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_EQ(NamedEvent::unlink(name.c_str()), 0);
  NamedEvent client;
  EXPECT_EQ(client.open_existing(name.c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(client.set(), -1);
  EXPECT_EQ(client.try_wait(), -1);
}

// One holder at a time; a guard removed while another process waited for it is taken
// afresh, so the waiter does not hold a file that a third process could not see.
TEST(NameGuardTest, OneHolderAtATimeAndARemovedGuardIsTakenAfresh) {
  std::string name = unique_name("Guard");
  std::string path = "/dev/shm" + plat_object_name(name.c_str()) + ".guard";
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  pid_t child = fork();
  if (child == 0) {
    NameGuard guard(name.c_str());
    if (!guard.held() || write(pipe_fds[1], "h", 1) != 1) _exit(1);
    usleep(300000);
    guard.remove();
    _exit(write(pipe_fds[1], "r", 1) == 1 ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  close(pipe_fds[1]);
  char c = 0;
  ASSERT_EQ(read(pipe_fds[0], &c, 1), 1);
  ASSERT_EQ(c, 'h');
  {
    NameGuard guard(name.c_str());
    ASSERT_TRUE(guard.held());
    ASSERT_EQ(read(pipe_fds[0], &c, 1), 1) << "taken while the other process held it";
    EXPECT_EQ(c, 'r');
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << "holding a removed guard";
    guard.remove();
  }
  struct stat st;
  EXPECT_NE(stat(path.c_str(), &st), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(pipe_fds[0]);
}

// ---- another user ----------------------------------------------------------------------

namespace {

// A datagram to the mailslot's address straight from the socket, past the sender's check.
int raw_send(const std::string& name, const std::string& message) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string text = "varno-mailslot:" + name;
  memcpy(address.sun_path + 1, text.data(), text.size());
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ssize_t n = sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&address),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size()));
  int saved = errno;
  close(fd);
  errno = saved;
  return n < 0 ? -1 : 0;
}

int errno_of(int result) {
  return result == 0 ? 0 : errno;
}

}  // namespace

// Root's agent objects and "nobody": neither reads, stops or feeds the other's, and objects
// that one made first under the other's names are not taken over.
TEST(IpcObjectsTest, AnotherUserCanNeitherWatchStopNorPost) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  constexpr uid_t kNobody = 65534;
  const std::string board = unique_name("Board"), event = unique_name("Event");
  const std::string slot = unique_name("ms");
  const std::string squat_board = board + ".squat", squat_event = event + ".squat";
  const std::string their_slot = slot + ".theirs";
  SharedMemory memory;
  ASSERT_EQ(memory.create(board.c_str(), 64), 0);
  NamedEvent stop;
  ASSERT_EQ(stop.create(event.c_str(), true), 0);
  MailslotReceiver rx;
  ASSERT_EQ(plat_mailslot_create(slot.c_str(), &rx), 0);

  struct Case {
    const char* what;
    std::function<int()> run;  // in the other user's process: 0 or the errno
    int expected;
  };
  const std::vector<Case> theirs = {
      {"open root's board",
       [&] {
         SharedMemory m;
         return errno_of(m.open_existing(board.c_str(), 64, true));
       },
       EACCES},
      {"open root's stop event",
       [&] {
         NamedEvent e;
         return errno_of(e.open_existing(event.c_str()));
       },
       EACCES},
      {"post to root's agent",
       [&] { return errno_of(plat_mailslot_send(slot.c_str(), "x.kbs", 6, 100)); }, EACCES},
      {"raw datagram to root's agent", [&] { return errno_of(raw_send(slot, "y.kbs")); }, 0},
      {"make a board under root's next name",
       [&] {
         SharedMemory m;
         return errno_of(m.create(squat_board.c_str(), 64));
       },
       0},
      {"make an event under root's next name",
       [&] {
         NamedEvent e;
         return errno_of(e.create(squat_event.c_str(), true));
       },
       0},
  };
  int results[2];
  int go[2];
  ASSERT_EQ(pipe(results), 0);
  ASSERT_EQ(pipe(go), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
    for (const Case& c : theirs) {
      int e = c.run();
      if (write(results[1], &e, sizeof e) != sizeof e) _exit(2);
    }
    MailslotReceiver mine;  // an agent of nobody's: root's varno-ctl does not post to it
    int e = errno_of(plat_mailslot_create(their_slot.c_str(), &mine));
    if (write(results[1], &e, sizeof e) != sizeof e) _exit(2);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(2);
    char buffer[16] = {};
    ssize_t got = mine.read(buffer, sizeof buffer);
    _exit(got == 5 && memcmp(buffer, "r.kbs", 5) == 0 ? 0 : 1);
  }
  for (const Case& c : theirs) {
    int e = -1;
    ASSERT_EQ(read(results[0], &e, sizeof e), static_cast<ssize_t>(sizeof e)) << c.what;
    EXPECT_EQ(e, c.expected) << c.what << ": " << strerror(e);
  }
  int e = -1;
  ASSERT_EQ(read(results[0], &e, sizeof e), static_cast<ssize_t>(sizeof e));
  ASSERT_EQ(e, 0) << "nobody's mailslot";

  char buffer[16];
  errno = 0;
  EXPECT_EQ(rx.read(buffer, sizeof buffer), -1) << "nobody's datagram was taken";
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(rx.refused(), 1u);
  EXPECT_EQ(rx.refused_user(), kNobody);
  SharedMemory squatted;
  EXPECT_EQ(squatted.create(squat_board.c_str(), 64), -1) << "nobody's board taken over";
  EXPECT_EQ(errno, EACCES);
  NamedEvent squatted_event;
  EXPECT_EQ(squatted_event.create(squat_event.c_str(), true), -1) << "nobody's event taken over";
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(plat_mailslot_send(their_slot.c_str(), "r.kbs", 6, 100), -1) << "posted to nobody";
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(raw_send(their_slot, "r.kbs"), 0);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "nobody's agent takes root's job";
  for (int fd : {results[0], results[1], go[0], go[1]}) close(fd);
  for (const std::string& n : {board, squat_board}) (void)SharedMemory::unlink(n.c_str());
  for (const std::string& n : {event, squat_event}) (void)NamedEvent::unlink(n.c_str());
}

// ---- thread -----------------------------------------------------------------------------

TEST(PlatThreadTest, WaitSeesTheEndAndTheExitCode) {
  std::atomic<bool> release{false};
  PlatThread thread;
  ASSERT_EQ(thread.start([&] {
    while (!release.load()) std::this_thread::yield();
    return 7u;
  }),
            0);
  uint32_t code = 0;
  EXPECT_EQ(thread.exit_code(&code), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(thread.wait_for(1), ThreadWait::timed_out);
  release = true;
  EXPECT_EQ(thread.wait_for(60000), ThreadWait::ended);
  ASSERT_EQ(thread.exit_code(&code), 0);
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(thread.terminate(1), -1) << "nothing left to terminate";
  EXPECT_FALSE(thread.terminated());
}

TEST(PlatThreadTest, TerminatedThreadCountsAsEndedWithTheGivenCode) {
  auto stuck = std::make_shared<std::atomic<bool>>(true);
  PlatThread thread;
  ASSERT_EQ(thread.start([stuck] {
    while (stuck->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0u;
  }),
            0);
  EXPECT_EQ(thread.wait_for(5), ThreadWait::timed_out);
  ASSERT_EQ(thread.terminate(1), 0);
  EXPECT_TRUE(thread.terminated());
  EXPECT_EQ(thread.wait_for(0), ThreadWait::ended);
  uint32_t code = 0;
  ASSERT_EQ(thread.exit_code(&code), 0);
  EXPECT_EQ(code, 1u);
  stuck->store(false);  // let the abandoned thread go so the test process ends cleanly
}

TEST(PlatThreadTest, LoweredPriorityIsTheCallingThreadsAlone) {
  const int before = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  if (before >= 19) GTEST_SKIP() << "the test runs at the lowest priority already";
  int inside = before;
  std::thread helper([&inside] {
    if (plat_lower_thread_priority() == 0) {
      inside = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    }
  });
  helper.join();
  EXPECT_GT(inside, before);
  EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), before);
}

TEST(PlatThreadTest, NeverStartedThreadCannotBeWaitedFor) {
  PlatThread thread;
  EXPECT_EQ(thread.wait_for(0), ThreadWait::failed);
  uint32_t code;
  EXPECT_EQ(thread.exit_code(&code), -1);
  EXPECT_EQ(thread.terminate(1), -1);
}

// ---- descriptors are not inherited ------------------------------------------------------

TEST(IpcObjectsTest, DescriptorsAreNotInheritedByChildProcesses) {
  std::string slot = unique_name("ms");
  MailslotReceiver rx;
  ASSERT_EQ(plat_mailslot_create(slot.c_str(), &rx), 0);
  std::string board = unique_name("Board");
  SharedMemory memory;
  ASSERT_EQ(memory.create(board.c_str(), 64), 0);
  SharedView view;
  ASSERT_EQ(memory.map(&view), 0);

  // The child lists its own descriptors; only the standard ones and the pipe may be there.
  FILE* pipe = popen("ls -l /proc/self/fd/ 2>/dev/null", "r");
  ASSERT_NE(pipe, nullptr);
  std::string listing;
  char chunk[1024];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) listing.append(chunk, n);
  pclose(pipe);
  EXPECT_EQ(listing.find("socket:"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("/dev/shm"), std::string::npos) << listing;
  (void)SharedMemory::unlink(board.c_str());
}
