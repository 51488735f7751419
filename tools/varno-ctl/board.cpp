#include "tools/varno-ctl/board.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "agent/runtime/ipc_names.h"
#include "platform/error.h"

namespace {

constexpr int kBarWidth = 30;

int percent(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  if (done >= total) return 100;
  return static_cast<int>((done * 100.0) / static_cast<double>(total));
}

// Length of the valid UTF-8 sequence at `p` (at most `left` bytes), or 0.
size_t utf8_length(const unsigned char* p, size_t left) {
  unsigned char c = p[0];
  size_t n;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (n > left) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < n; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return n;
}

}  // namespace

int BoardReader::open(bool quiet, std::string* why) {
  std::string name = ipc_object_name(PROGRESS_BOARD_NAME);
  std::string reason;
  if (memory_.open_existing(name.c_str(), PROGRESS_BOARD_SIZE, true) != 0 ||
      memory_.map(&view_) != 0) {
    if (errno == ENOENT) {
      reason = "no agent is running (no progress board)";
    } else if (errno == EACCES) {
      reason = "the running agent belongs to another user; its progress is not shown to this one";
    } else {
      reason = std::string("cannot open the progress board: ") + plat_error_message(errno);
    }
  } else if (!view_.creator_alive()) {
    reason = "no agent is running (the progress board was left behind)";
  } else {
    return 0;
  }
  if (!quiet) fprintf(stderr, "varno-ctl: %s\n", reason.c_str());
  if (why != nullptr) *why = reason;
  return -1;
}

ProgressBoard BoardReader::read() const {
  ProgressBoard board;
  memcpy(&board, view_.data(), sizeof board);
  return board;
}

std::string board_field(const char* text, size_t size) {
  return std::string(text, strnlen(text, size));
}

bool board_complete(const ProgressBoard& b) {
  return board_field(b.status, sizeof b.status) == "Complete";
}

void board_print(const ProgressBoard& b) {
  std::string item = board_field(b.current_item, sizeof b.current_item);
  printf("Schedule:     %s\n", board_field(b.schedule_name, sizeof b.schedule_name).c_str());
  printf("Status:       %s\n", board_field(b.status, sizeof b.status).c_str());
  if (item.empty()) {
    printf("Current item: (none)\n");
  } else {
    printf("Current item: %s (%" PRIu64 " of %" PRIu64 " bytes)\n", item.c_str(), b.item_done,
           b.item_size);
  }
  printf("Items:        %" PRIu64 " backed up, %" PRIu64 " current, %" PRIu64 " failed\n",
         b.items_backed_up, b.items_current, b.items_failed);
  printf("Bytes:        %" PRIu64 " of %" PRIu64 " (%d%%)\n", b.done_bytes, b.total_bytes,
         percent(b.done_bytes, b.total_bytes));
}

void board_draw_bar(const ProgressBoard& b, bool terminal) {
  int pct = percent(b.done_bytes, b.total_bytes);
  char bar[kBarWidth + 1];
  int filled = pct * kBarWidth / 100;
  for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kBarWidth] = '\0';
  std::string status = board_field(b.status, sizeof b.status);
  std::string item = board_field(b.current_item, sizeof b.current_item);
  if (item.size() > 40) item = "..." + item.substr(item.size() - 37);
  if (terminal) {
    printf("\r\033[K[%s] %3d%%  %s  %s", bar, pct, status.c_str(), item.c_str());
  } else {
    printf("[%s] %3d%%  %s  %s\n", bar, pct, status.c_str(), item.c_str());
  }
  fflush(stdout);
}

std::string json_quote(const std::string& text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  char esc[8];
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      size_t len = utf8_length(p + i, n - i);
      if (len == 0) {
        snprintf(esc, sizeof esc, "\\u%04x", c);
        out += esc;
      } else {
        out.append(text, i, len);
        i += len;
        continue;
      }
    }
    ++i;
  }
  out.push_back('"');
  return out;
}

std::string board_json(const ProgressBoard& b) {
  const uint16_t* t = b.created_time;
  char started[48];
  snprintf(started, sizeof started, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", t[0], t[1], t[3], t[4],
           t[5], t[6], t[7]);
  char numbers[512];
  snprintf(numbers, sizeof numbers,
           "\"item_size\":%" PRIu64 ",\"item_done\":%" PRIu64 ",\"items\":{\"backed_up\":%" PRIu64
           ",\"current\":%" PRIu64 ",\"failed\":%" PRIu64 "},\"bytes\":{\"total\":%" PRIu64
           ",\"done\":%" PRIu64 "},\"percent\":%d",
           b.item_size, b.item_done, b.items_backed_up, b.items_current, b.items_failed,
           b.total_bytes, b.done_bytes, percent(b.done_bytes, b.total_bytes));
  std::string out =
      "{\"running\":true,\"status\":" + json_quote(board_field(b.status, sizeof b.status));
  out += ",\"complete\":";
  out += board_complete(b) ? "true" : "false";
  out += ",\"schedule\":" + json_quote(board_field(b.schedule_name, sizeof b.schedule_name));
  out += ",\"current_item\":" + json_quote(board_field(b.current_item, sizeof b.current_item));
  out += ",";
  out += numbers;
  out += ",\"started\":" + json_quote(started);
  if (b.transfer_start_tick != 0) {
    out +=
        ",\"transfer_started_after_ms\":" + std::to_string(b.transfer_start_tick - b.created_tick);
  } else {
    out += ",\"transfer_started_after_ms\":null";
  }
  out += "}";
  return out;
}
