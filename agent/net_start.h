// Start and stop of the socket library for the protocol client. Here sockets need no
// start-up, so only the start-up counter remains: the library counts as started while it
// is not 0.
//
// Thread safety: called by the backup thread only.
#pragma once

// Starts the socket library: 0 with the counter incremented, -1 on failure.
[[nodiscard]] int ckfs_init();
// Decrements the counter: 0, or -1 when the library was not started.
int ckfs_cleanup();
// True while the counter is not 0.
bool ckfs_started();
