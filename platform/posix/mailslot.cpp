#include "platform/mailslot.h"

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/retry.h"

namespace {

constexpr char kAddressPrefix[] = "varno-mailslot:";

// Abstract address: a leading NUL, then the name bytes (no terminator counted).
int make_address(const char* name, sockaddr_un* address, socklen_t* length) {
  std::string text = std::string(kAddressPrefix) + name;
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (text.size() + 1 > sizeof address->sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(address->sun_path + 1, text.data(), text.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
  return 0;
}

// The receiver takes its own user's messages, and root's.
bool sender_allowed(uid_t sender) {
  return sender == geteuid() || sender == 0;
}

// The user of the datagram socket bound to `address`, asked of the kernel's socket
// diagnostics (the only place that tells who holds an abstract address). 1 when found,
// 0 when no socket holds it, -1 when the system cannot tell.
int receiver_user(const sockaddr_un& address, socklen_t length, uint32_t* uid) {
  UniqueObject nl(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!nl.valid()) return -1;
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } query{};
  query.header.nlmsg_len = sizeof query;
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  query.request.sdiag_family = AF_UNIX;
  query.request.udiag_states = ~0u;
  query.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_UID;
  if (plat_retry_eintr([&] { return send(nl.get(), &query, sizeof query, 0); }) !=
      static_cast<ssize_t>(sizeof query)) {
    return -1;
  }
  const size_t name_length = length - offsetof(sockaddr_un, sun_path);
  std::vector<char> buffer(32768);  // above the kernel's largest dump message
  int found = 0;
  for (;;) {
    ssize_t got = plat_retry_eintr([&] { return recv(nl.get(), buffer.data(), buffer.size(), 0); });
    if (got <= 0) return -1;
    int left = static_cast<int>(got);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) return found;
      if (h->nlmsg_type == NLMSG_ERROR) return -1;
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) continue;
      const auto* msg = static_cast<const unix_diag_msg*>(NLMSG_DATA(h));
      if (msg->udiag_type != SOCK_DGRAM) continue;
      int attributes = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *msg));
      bool named = false;
      bool has_user = false;
      uint32_t user = 0;
      for (auto* a = reinterpret_cast<const nlattr*>(msg + 1);
           attributes >= static_cast<int>(sizeof(nlattr)) && a->nla_len >= sizeof(nlattr) &&
           a->nla_len <= attributes;
           attributes -= NLA_ALIGN(a->nla_len),
                 a = reinterpret_cast<const nlattr*>(reinterpret_cast<const char*>(a) +
                                                     NLA_ALIGN(a->nla_len))) {
        const char* value = reinterpret_cast<const char*>(a) + NLA_HDRLEN;
        const size_t size = a->nla_len - NLA_HDRLEN;
        if (a->nla_type == UNIX_DIAG_NAME) {
          named = size == name_length && memcmp(value, address.sun_path, size) == 0;
        } else if (a->nla_type == UNIX_DIAG_UID && size >= sizeof user) {
          memcpy(&user, value, sizeof user);
          has_user = true;
        }
      }
      if (named && has_user) {
        *uid = user;
        found = 1;  // the dump is read to its end, so the socket is left clean
      }
    }
  }
}

}  // namespace

ssize_t MailslotReceiver::read(void* buffer, size_t capacity) {
  const int fd = handle_.get();
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  for (;;) {
    // Peek with MSG_TRUNC for the datagram's real length, so that a message too large for
    // the buffer is refused without being consumed, as a mailslot does; the sender's
    // credentials come with it.
    char probe;
    iovec part{&probe, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t size = plat_retry_eintr(
        [&] { return recvmsg(fd, &message, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT); });
    if (size == -1) return -1;
    bool allowed = false;
    uid_t sender = static_cast<uid_t>(-1);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
          c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
        ucred credentials;
        memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
        sender = credentials.uid;
        allowed = sender_allowed(sender);
      }
    }
    if (!allowed) {
      // Taken off the queue unread, so that another user can neither post a job nor
      // block the ones behind it.
      (void)plat_retry_eintr([&] { return recv(fd, &probe, 1, MSG_DONTWAIT); });
      ++refused_;
      refused_user_ = static_cast<uint32_t>(sender);
      continue;
    }
    if (static_cast<size_t>(size) > capacity) {
      errno = EMSGSIZE;
      return -1;
    }
    return plat_retry_eintr([&] { return recv(fd, buffer, capacity, MSG_DONTWAIT); });
  }
}

int plat_mailslot_create(const char* name, MailslotReceiver* out) {
  sockaddr_un address;
  socklen_t length;
  if (make_address(name, &address, &length) != 0) return -1;
  Socket s(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return -1;
  // Before the bind, so that every datagram carries its sender's credentials.
  int on = 1;
  if (setsockopt(s.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) return -1;
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return -1;
  out->reset(s.release());
  return 0;
}

int plat_mailslot_send(const char* name, const void* message, size_t length, uint32_t timeout_ms) {
  sockaddr_un address;
  socklen_t address_length;
  if (make_address(name, &address, &address_length) != 0) return -1;
  uint32_t receiver = 0;
  if (receiver_user(address, address_length, &receiver) == 1 && receiver != geteuid()) {
    errno = EACCES;
    return -1;
  }
  Socket s(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return -1;
  timeval timeout{static_cast<time_t>(timeout_ms / 1000),
                  static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
  int flags = MSG_NOSIGNAL;
  if (timeout_ms == 0) {
    flags |= MSG_DONTWAIT;
  } else {
    (void)setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }
  ssize_t n = plat_retry_eintr([&] {
    return sendto(s.get(), message, length, flags, reinterpret_cast<sockaddr*>(&address),
                  address_length);
  });
  if (n == -1) {
    if (errno == EWOULDBLOCK) errno = EAGAIN;
    return -1;
  }
  return 0;
}
