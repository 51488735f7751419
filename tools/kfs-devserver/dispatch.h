// Serving one accepted connection. Internal to kfs-devserver.
#pragma once

namespace kfsd {

struct Shared;

// Runs the key exchange and the request loop until the peer leaves or a fault drops the
// connection; closes `fd`.
void serve_connection(Shared& sh, int fd);

}  // namespace kfsd
