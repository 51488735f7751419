// Encrypted text files (schedules, mail queues) under the installation's application key
// of etc/varno.ak in the working directory.
#pragma once

#include <string>

enum DecryptResult {
  DECRYPT_WHOLE,    // the file decrypted to its end
  DECRYPT_DAMAGED,  // cut short, changed or under another key: `plain` holds what came before
  DECRYPT_FAILED,   // not opened, or no key; printed
};

// Decrypts the whole of `in_path` into `plain` (replaced). With `make_key` false a missing
// etc/varno.ak fails instead of being created. The caller wipes `plain`.
DecryptResult ctl_decrypt_text(const char* in_path, std::string* plain, bool make_key);

// Whether this working folder holds the application key (nothing is created).
bool ctl_has_application_key();

// "varno-ctl: 'PATH' is damaged: ..." on standard error.
void ctl_print_damaged(const char* path);

// Wipes and empties a plain text.
void ctl_wipe(std::string* plain);
