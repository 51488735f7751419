// The other process of the cross-process tests. Commands:
//   send MAILSLOT MESSAGE...   one message per argument, each with its NUL; "@N" sends N
//                              bytes of 'x' without a NUL, "-" an empty message
//   board NAME EVENT TEXT      reads the board, checks the status text at offset 64,
//                              then signals the event twice
//   exit CODE | sleep MS | hidden
// Exit codes: 0 done, 2 usage, 3 no such object, 4 mismatch, 5 other failure.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/error.h"
#include "platform/mailslot.h"
#include "platform/named_object.h"

namespace {

constexpr size_t kBoardSize = 4672;

int send(int argc, char** argv) {
  for (int i = 3; i < argc; ++i) {
    std::string message;
    if (argv[i][0] == '@') {
      message.assign(static_cast<size_t>(strtol(argv[i] + 1, nullptr, 10)), 'x');
    } else if (strcmp(argv[i], "-") != 0) {
      message.assign(argv[i], strlen(argv[i]) + 1);
    }
    if (plat_mailslot_send(argv[2], message.data(), message.size(), 1000) != 0) {
      return errno == ENOENT ? 3 : 5;
    }
  }
  return 0;
}

int board(char** argv) {
  SharedMemory memory;
  SharedView view;
  if (memory.open_existing(argv[2], kBoardSize, true) != 0) {
    fprintf(stderr, "peer: board %s: error %u\n", argv[2], plat_last_error());
    return errno == ENOENT ? 3 : 5;
  }
  if (memory.map(&view) != 0) return 5;
  const char* status = static_cast<const char*>(view.data()) + 64;
  if (strncmp(status, argv[4], 240) != 0) return 4;
  NamedEvent event;
  if (event.open_existing(argv[3]) != 0) {
    fprintf(stderr, "peer: event %s: error %u\n", argv[3], plat_last_error());
    return errno == ENOENT ? 3 : 5;
  }
  if (event.set() != 0 || event.set() != 0) return 5;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string command = argv[1];
  if (command == "send" && argc >= 3) return send(argc, argv);
  if (command == "board" && argc == 5) return board(argv);
  if (command == "exit" && argc == 3) return static_cast<int>(strtol(argv[2], nullptr, 10));
  if (command == "sleep" && argc == 3) {
    Sleep(static_cast<DWORD>(strtol(argv[2], nullptr, 10)));
    return 0;
  }
  if (command == "hidden") {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    bool hidden = (startup.dwFlags & STARTF_USESHOWWINDOW) && startup.wShowWindow == SW_HIDE;
    return hidden ? 0 : 4;
  }
  return 2;
}
