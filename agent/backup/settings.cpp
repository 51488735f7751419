#include "agent/backup/settings.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include "util/text.h"

namespace {

JobSettings g_job;  // the job in progress

constexpr ScheduleOption kOptionTable[OPT_COUNT] = {
    {"UserId=", true, nullptr, 7, false},         {"AccountId=", true, nullptr, 10, false},
    {"Schedule=", true, nullptr, 9, false},       {"Dest=", true, nullptr, 5, false},
    {"name=", true, nullptr, 5, false},           {"enabled=", true, nullptr, 8, false},
    {"acckey=", true, nullptr, 7, false},         {"autoremove=", true, nullptr, 11, false},
    {"mirror=", true, nullptr, 7, false},         {"precmd=", false, nullptr, 7, false},
    {"postcmd=", false, nullptr, 8, false},       {"fatalprecmd=", false, nullptr, 12, false},
    {"fatalpostcmd=", false, nullptr, 13, false},
};

void free_filter(void* data, size_t, int) {
  ScheduleFilter* f = static_cast<ScheduleFilter*>(data);
  for (int i = 0; i < f->pattern_count; ++i) free(f->patterns[i]);
  free(f->patterns);
  free(f);
}

}  // namespace

JobSettings& job_settings() {
  return g_job;
}

void job_settings_free() {
  JobSettings& j = g_job;
  list_free(j.sources);
  list_free(j.filters);
  list_free(j.exclusions);
  list_free(j.sync_paths);
  list_free(j.recipients);
  for (ScheduleOption& o : j.options) {
    if (&o == &j.options[OPT_ACCKEY] && o.value != nullptr)
      OPENSSL_cleanse(o.value, strlen(o.value));
    free(o.value);
  }
  OPENSSL_cleanse(j.account_key, sizeof j.account_key);
  memset(&j, 0, sizeof j);
}

void job_settings_reset() {
  job_settings_free();
  JobSettings& j = g_job;
  j.sources = list_create(50, 25, nullptr);
  j.filters = list_create(10, 10, free_filter);
  j.exclusions = list_create(1, 1, nullptr);
  j.sync_paths = list_create(1, 10, nullptr);
  j.recipients = nullptr;
  j.html = true;
  memcpy(j.options, kOptionTable, sizeof kOptionTable);
}

const char* job_option(ScheduleOptionIndex index) {
  const char* v = g_job.options[index].value;
  return v != nullptr ? v : "";
}

const ScheduleFilter* job_filter(int index) {
  return reinterpret_cast<const ScheduleFilter*>(list_item(g_job.filters, index));
}

long schedule_number(const char* text) {
  return decimal_number(text);
}
