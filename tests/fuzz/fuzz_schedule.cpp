// Arbitrary plain schedule text through the schedule's line parser (header, keys, lists,
// filter records), then the settle step, as procjob does after decrypting.
#include <cstddef>
#include <cstdint>

#include "agent/backup/settings.h"
#include "agent/schedule/procjob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int code = schedule_parse_plain(reinterpret_cast<const char*>(data), size);
  if (code == 0) {
    (void)schedule_settle();
    for (int i = 0; job_filter(i) != nullptr; ++i) {
      const ScheduleFilter* f = job_filter(i);
      if (f->pattern_count <= 0 || f->flags < 0) __builtin_trap();
    }
  }
  job_settings_free();
  return 0;
}
