// Private to the Win32 layer: the parts of the Win32 Env that live in their own files.
#pragma once

#include "platform/env.h"

int win32_process_start(const char* command_line, ChildProcess* child);
PlatWaitResult win32_process_wait(ChildProcess& child, uint32_t timeout_ms);
int win32_process_exit_code(const ChildProcess& child, uint32_t* code);
int win32_process_terminate(ChildProcess& child);
