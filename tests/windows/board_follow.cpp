// board-follow: the progress board of the agent under test, for the process tests run
// against the Windows agent. `varno-ctl status --watch --json` gives up when the board does
// not exist yet; this waits for it, so a run that ends within a Wine start is still seen.
// It then prints varno-ctl's JSON of the board at each change until the agent is gone (a
// Windows board never says so: the test ends it), and its handle keeps the board readable
// meanwhile: the last line is the board as the agent left it.
//
// usage: board-follow WAIT_MS
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/env.h"
#include "tools/varno-ctl/board.h"

int main(int argc, char** argv) {
  long wait_ms = argc == 2 ? strtol(argv[1], nullptr, 10) : 0;
  uint64_t give_up = plat_env()->tick_ms() + static_cast<uint64_t>(wait_ms > 0 ? wait_ms : 0);
  BoardReader reader;
  while (reader.open(true) != 0) {
    if (plat_env()->tick_ms() > give_up) return 1;
    plat_env()->sleep_ms(1);
  }
  ProgressBoard last{};
  bool first = true;
  for (;;) {
    bool alive = reader.alive();  // before the read: the read after the end is the last
    ProgressBoard board = reader.read();
    if (first || memcmp(&board, &last, sizeof board) != 0) {
      printf("%s\n", board_json(board).c_str());
      if (fflush(stdout) != 0) return 1;
      last = board;
      first = false;
    }
    if (!alive) return 0;
    plat_env()->sleep_ms(5);
  }
}
