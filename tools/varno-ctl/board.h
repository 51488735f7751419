// The progress board as varno-ctl reads it: opening the running agent's board, and the
// ways of showing one record (text, a one-line bar, JSON).
#pragma once

#include <cstddef>
#include <string>

#include "agent/runtime/progress.h"
#include "platform/named_object.h"

class BoardReader {
 public:
  // 0, or -1 after printing why unless `quiet`. `why` (when given) gets the reason.
  int open(bool quiet = false, std::string* why = nullptr);
  // Whether the agent that made the board still runs.
  bool alive() { return view_.creator_alive(); }
  ProgressBoard read() const;

 private:
  SharedMemory memory_;
  SharedView view_;
};

// A text field of the board: up to its size, stopping at a NUL.
std::string board_field(const char* text, size_t size);
bool board_complete(const ProgressBoard& b);

void board_print(const ProgressBoard& b);
// One progress line: redrawn in place on a terminal, else one line per call.
void board_draw_bar(const ProgressBoard& b, bool terminal);
// The record as one JSON object on one line (no line feed).
std::string board_json(const ProgressBoard& b);

// `text` as a JSON string literal. Valid UTF-8 passes through; every other byte is taken
// as its Latin-1 character, since board texts are in the machine's narrow code page.
std::string json_quote(const std::string& text);
