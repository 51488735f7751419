#include "platform/knobs.h"

#include <cstdlib>
#include <string>

#include "platform/debug.h"

namespace {

struct KnobRange {
  const char* name;
  uint32_t low;
  uint32_t high;
};

// Indexed by KnobMs.
constexpr KnobRange kKnobs[] = {
    {"VARNO_LOCK_WAIT_MS", 0, UINT32_MAX},   {"VARNO_COMMAND_LIMIT_MS", 1, 43200000},
    {"VARNO_RECONNECT_WAIT_MS", 0, 3600000}, {"VARNO_IDLE_MS", 0, UINT32_MAX},
    {"VARNO_WATCHDOG_MS", 1, UINT32_MAX},    {"VARNO_REPLY_TIMEOUT_MS", 1, 86400000},
    {"VARNO_GIVE_UP_MS", 0, 604800000},
};

// Indexed by KnobCount.
constexpr KnobRange kCountKnobs[] = {
    {"VARNO_WORKERS", 1, 64}, {"VARNO_SYNC_DELETE_PERCENT", 1, 100}, {"VARNO_SEND_QUEUE", 0, 1}};
constexpr const char* kCountUnits[] = {"threads", "percent", "(0 or 1)"};

constexpr const char* kTextKnobs[] = {"VARNO_IPC_NAMESPACE"};

// The value of `k`'s variable when it parses and lies in range; else `fallback`, and one
// line on the debugger output says why. `unit` names what the number counts.
uint32_t knob_value(const KnobRange& k, uint32_t fallback, const char* unit) {
  const char* text = getenv(k.name);
  if (text == nullptr) return fallback;
  uint32_t value = 0;
  if (!plat_knob_parse_ms(text, &value)) {
    plat_debug_output(
        (std::string(k.name) + ": ignoring '" + text + "', not a decimal number of " + unit)
            .c_str());
    return fallback;
  }
  if (value < k.low || value > k.high) {
    plat_debug_output((std::string(k.name) + ": ignoring " + std::to_string(value) + ", outside " +
                       std::to_string(k.low) + ".." + std::to_string(k.high))
                          .c_str());
    return fallback;
  }
  return value;
}

}  // namespace

const char* plat_knob_name(KnobMs knob) {
  return kKnobs[knob].name;
}

bool plat_knob_parse_ms(const char* text, uint32_t* value) {
  if (text == nullptr || *text == '\0') return false;
  uint64_t total = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    total = total * 10 + static_cast<uint64_t>(*p - '0');
    if (total > UINT32_MAX) return false;
  }
  *value = static_cast<uint32_t>(total);
  return true;
}

uint32_t plat_knob_ms(KnobMs knob, uint32_t fallback) {
  return knob_value(kKnobs[knob], fallback, "milliseconds");
}

uint32_t plat_knob_count(KnobCount knob, uint32_t fallback) {
  return knob_value(kCountKnobs[knob], fallback, kCountUnits[knob]);
}

const char* plat_knob_text(KnobText knob) {
  const char* text = getenv(kTextKnobs[knob]);
  return text != nullptr ? text : "";
}
