// Private to the POSIX layer: the parts of the POSIX Env that live in their own files.
#pragma once

#include <string_view>

#include "platform/env.h"

PlatFindHandle posix_find_first(std::string_view pattern, PlatFindData* data);
int posix_find_next(PlatFind* find, PlatFindData* data);

int posix_process_start(const char* command_line, ChildProcess* child);
PlatWaitResult posix_process_wait(Env* env, ChildProcess& child, uint32_t timeout_ms);
int posix_process_exit_code(const ChildProcess& child, uint32_t* code);
int posix_process_terminate(ChildProcess& child);
