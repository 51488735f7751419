#include "agent/report/report_io.h"

#include "protocol/codes.h"

// Placeholder binding until the session and the encrypted text file are in the tree.
void report_io_session_names(const ckfs_session*, std::string* account, std::string* user) {
  account->clear();
  user->clear();
}

int report_io_send(ckfs_session*, int64_t, const char*, const char*, size_t) { return ERR_SCKWRITE; }

int report_io_write_queue(const char*, const std::string&) { return -1; }
