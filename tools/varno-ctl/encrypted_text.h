// Encrypted text files (schedules, mail queues) under the installation's application key
// of etc/varno.ak in the working directory (created when absent).
#pragma once

#include <cstdio>

// Decrypts `in` line by line to `out`. 0, or -1 after printing why.
int ctl_decrypt_text(const char* in_path, FILE* out);
