// The plain schedule check shared by `schedule check` and `kbs encrypt`. Uses the agent's
// job settings (process-wide), so one check at a time.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

enum ScheduleSeverity { SCHEDULE_ERROR, SCHEDULE_WARNING };

struct ScheduleProblem {
  int line;  // 1-based; a missing option is reported at the last line
  ScheduleSeverity severity;
  std::string text;
};

// Every problem of the plain schedule text, ordered by line.
std::vector<ScheduleProblem> schedule_check_text(const std::string& plain);

// Reads and checks `path`: one "PATH:LINE: error|warning: TEXT" line per problem to `out`,
// then with `summary` the counts. 0 with the error count in `errors`, or -1 (unreadable;
// printed).
int schedule_check_file(const char* path, FILE* out, bool summary, int* errors);
