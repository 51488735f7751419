// Mailslots: a one-way, message-oriented channel with a machine-wide name. The receiver
// creates it and owns the name; local processes write messages to it by name.
// Here a mailslot is a Unix datagram socket in the abstract namespace at
// "varno-mailslot:" + name; one message is one datagram. Anyone can reach such an
// address, so the receiver takes a message only from a sender of its own user or root
// (the kernel's credentials of each datagram) and drops the rest, and a sender refuses
// to post to a receiver of another user, so that neither side's jobs reach the other.
//
// Thread safety: a MailslotReceiver belongs to one thread at a time.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>

#include "platform/handle.h"

class MailslotReceiver {
 public:
  // Move-only through its handle.
  MailslotReceiver() = default;

  bool valid() const { return handle_.valid(); }
  int get() const { return handle_.get(); }
  [[nodiscard]] int release() { return handle_.release(); }
  void reset(int fd = -1) { handle_.reset(fd); }

  // Takes the next message without waiting (read time-out 0). Answers its length (0 for
  // an empty message), or -1 with errno: EAGAIN when no message waits, EMSGSIZE when the
  // next message is larger than `capacity` (it stays queued), EBADF when not open.
  // A message from another user is dropped unread and counted here.
  [[nodiscard]] ssize_t read(void* buffer, size_t capacity);

  // Messages dropped so far because their sender was another user, and the last one's
  // user id.
  uint32_t refused() const { return refused_; }
  uint32_t refused_user() const { return refused_user_; }

 private:
  UniqueObject handle_;
  uint32_t refused_ = 0;
  uint32_t refused_user_ = 0;
};

// Creates the mailslot `name`. 0, or -1 with errno (EADDRINUSE when another receiver
// holds the name, ENAMETOOLONG when the name does not fit an address).
[[nodiscard]] int plat_mailslot_create(const char* name, MailslotReceiver* out);

// Sends one message to the mailslot `name`. Waits at most `timeout_ms` for room when the
// receiver's queue is full. 0, or -1 with errno: ECONNREFUSED or ENOENT when no receiver
// holds the name, EAGAIN when the queue stayed full, EACCES when the receiver runs as
// another user (when the system cannot tell, the receiver's own check still holds).
[[nodiscard]] int plat_mailslot_send(const char* name, const void* message, size_t length,
                                     uint32_t timeout_ms);
