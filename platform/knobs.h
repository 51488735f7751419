// Knobs: environment variables that shorten the system's waits or keep side-by-side test
// runs apart (production never sets those), and VARNO_WORKERS, the agent's encoder threads. They
// are read here and nowhere else, every time they are asked for (tests change them within one
// process).
//
// A value that is not a plain decimal number of milliseconds (empty, a sign, spaces,
// trailing characters, more than 32 bits) or lies outside the knob's range is ignored:
// the caller gets its own value, and one line on the debugger output says why.
//
// Thread safety: any thread, as long as nobody changes the environment meanwhile.
#pragma once

#include <cstdint>

enum KnobMs {
  KNOB_LOCK_WAIT_MS,       // VARNO_LOCK_WAIT_MS: caps the waits for the user lock
  KNOB_COMMAND_LIMIT_MS,   // VARNO_COMMAND_LIMIT_MS: time limit of a pre/post command, 1..12 h
  KNOB_RECONNECT_WAIT_MS,  // VARNO_RECONNECT_WAIT_MS: wait before a reconnection, up to 1 h
  KNOB_IDLE_MS,            // VARNO_IDLE_MS: pause between idle mailslot reads
  KNOB_WATCHDOG_MS,        // VARNO_WATCHDOG_MS: the watchdog's slice, at least 1
  // Settings, not only test knobs:
  KNOB_REPLY_TIMEOUT_MS,  // VARNO_REPLY_TIMEOUT_MS: a reply that has not begun by then is a
                          // broken connection, 1 ms .. 24 h
  KNOB_GIVE_UP_MS,        // VARNO_GIVE_UP_MS: how long reconnecting may fail before the job
                          // ends, 0 .. 7 days
};

// Counts, read by the same strict parser and range rule.
enum KnobCount {
  KNOB_WORKERS,  // VARNO_WORKERS: threads that encode blocks, 1..64 (1: the backup thread
                 // alone); a setting, not only a test knob
  KNOB_SYNC_DELETE_PERCENT,  // VARNO_SYNC_DELETE_PERCENT: the share of a source's server
                             // entries one run may delete, 1..100 (100: no bound); a setting
  KNOB_SEND_QUEUE,  // VARNO_SEND_QUEUE: 1 = a job's session first sends the schedule's queued
                    // reports, 0 = it leaves them (to the desktop client); a setting
};

// VARNO_SEND_QUEUE unless set: on Windows the desktop client sends the queue, elsewhere
// nobody else would.
#ifdef _WIN32
constexpr uint32_t PLAT_SEND_QUEUE_DEFAULT = 0;
#else
constexpr uint32_t PLAT_SEND_QUEUE_DEFAULT = 1;
#endif

enum KnobText {
  KNOB_IPC_NAMESPACE,  // VARNO_IPC_NAMESPACE: suffix of the agent's shared object names
};

// The knob's environment name.
const char* plat_knob_name(KnobMs knob);

// The knob's value, or `fallback` when it is unset or ignored (see above).
uint32_t plat_knob_ms(KnobMs knob, uint32_t fallback);

// The count knob's value, or `fallback` when it is unset or ignored.
uint32_t plat_knob_count(KnobCount knob, uint32_t fallback);

// The knob's text, or "" when unset.
const char* plat_knob_text(KnobText knob);

// The strict parser behind plat_knob_ms: one or more decimal digits and nothing else, at
// most UINT32_MAX. Answers false (and leaves *value alone) for anything else.
[[nodiscard]] bool plat_knob_parse_ms(const char* text, uint32_t* value);
