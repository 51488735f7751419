// Start-up, the listening socket, the accept loop, the periodic checkpoint, and the fault
// plan's report at exit.
#include "tools/kfs-devserver/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tools/kfs-devserver/conn.h"
#include "tools/kfs-devserver/dispatch.h"
#include "tools/kfs-devserver/session.h"

namespace kfsd {

namespace {

constexpr int kListenBacklog = 16;
constexpr std::chrono::milliseconds kAcceptPause{50};  // after a failure such as EMFILE

int fail(const char* what, const Options& o) {
  fprintf(stderr, "kfs-devserver: cannot listen on %s:%d: %s: %s\n", o.listen_host.c_str(),
          o.listen_port, what, strerror(errno));
  return -1;
}

// A listening IPv4 socket; fills the port it got. -1 (reported) on failure.
int open_listener(const Options& o, uint16_t* port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(o.listen_port));
  if (inet_pton(AF_INET, o.listen_host.c_str(), &address.sin_addr) != 1) {
    errno = EINVAL;
    return fail("not an IPv4 address", o);
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail("socket", o);
  int one = 1;
  const char* step = nullptr;
  socklen_t length = sizeof address;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    step = "SO_REUSEADDR";
  } else if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    step = "bind";
  } else if (listen(fd, kListenBacklog) != 0) {
    step = "listen";
  } else if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    step = "getsockname";
  }
  if (step != nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
    return fail(step, o);
  }
  *port = ntohs(address.sin_port);
  return fd;
}

bool prepare_store(Shared& sh, const Options& options) {
  sh.options = options;
  sh.store = Store(options.store, !options.no_sync, options.inline_max);
  if (!sh.store.open()) {
    fprintf(stderr, "kfs-devserver: cannot open the store %s\n", options.store.c_str());
    return false;
  }
  sh.key = load_or_create_key((fs::path(options.store) / "server_key.pem").string());
  if (sh.key == nullptr) {
    fprintf(stderr, "kfs-devserver: cannot read or create the server key in %s\n",
            options.store.c_str());
    return false;
  }
  sh.key_text = public_key_pem(sh.key);
  for (const Fault& f : options.faults) sh.faults.add(f);
  sh.faults.start();
  return true;
}

// SIGTERM and SIGINT end the server through one thread, which first reports the fault
// plan; blocked here before any other thread starts, so they all inherit the mask.
bool start_stop_thread(Shared& sh) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) return false;
  std::thread([&sh, stop] {
    int signal_number = 0;
    if (sigwait(&stop, &signal_number) != 0) _exit(1);
    {
      std::lock_guard<std::mutex> store_guard(sh.mutex);
      if (!sh.store.shut()) fprintf(stderr, "kfs-devserver: the store's last sync failed\n");
    }
    std::lock_guard<std::mutex> guard(sh.out_mutex);
    fflush(stdout);
    bool all_fired = sh.faults.report(stderr);
    _exit(all_fired ? 0 : kExitFaultMissed);
  }).detach();
  return true;
}

// Bounds what a crash can take of a long upload whose client has not yet released its lock.
void start_checkpoints(Shared& sh) {
  auto every = std::chrono::milliseconds(sh.options.checkpoint_ms);
  auto tick = std::clamp(every / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
  std::thread([&sh, every, tick] {
    for (;;) {
      std::this_thread::sleep_for(tick);
      uint64_t count = 0;
      auto start = std::chrono::steady_clock::now();
      {
        std::lock_guard<std::mutex> guard(sh.mutex);
        if (!sh.store.dirty() || start - sh.store.dirty_since() < every) continue;
        if (!sh.store.commit()) {
          fprintf(stderr, "kfs-devserver: checkpoint: the commit failed\n");
          continue;
        }
        count = sh.store.changes();
      }
      // Requests go on meanwhile: a flush of seconds of data would stall the client.
      if (!sh.store.flush()) {
        fprintf(stderr, "kfs-devserver: checkpoint: %s\n", strerror(errno));
        continue;
      }
      std::lock_guard<std::mutex> guard(sh.mutex);
      sh.store.synced(count, start);
    }
  }).detach();
}

[[noreturn]] void accept_loop(Shared& sh, int listener) {
  int one = 1;
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EINTR && errno != ECONNABORTED) std::this_thread::sleep_for(kAcceptPause);
      continue;
    }
    // Only latency depends on it: the connection is served either way.
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
      fprintf(stderr, "kfs-devserver: TCP_NODELAY: %s\n", strerror(errno));
    }
    std::thread([&sh, fd] { serve_connection(sh, fd); }).detach();
  }
}

}  // namespace

int serve(const Options& options) {
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) return 1;
  static Shared shared;  // lives as long as the process: connection threads are detached
  if (!prepare_store(shared, options)) return 1;
  uint16_t port = 0;
  int listener = open_listener(options, &port);
  if (listener < 0) return 1;
  if (!start_stop_thread(shared)) {
    fprintf(stderr, "kfs-devserver: cannot block the stop signals\n");
    return 1;
  }
  start_checkpoints(shared);
  printf("listening %s:%u\n", options.listen_host.c_str(), port);
  fflush(stdout);
  accept_loop(shared, listener);
}

}  // namespace kfsd
