// File system redirection for 32-bit programs on 64-bit Windows, looked up at run time in
// kernel32.dll (older systems lack it). Not yet in platform/system.h: the command runner
// needs the pair to switch redirection off around a pre- or post-backup command.
#pragma once

#include <windows.h>

using Wow64DisableFn = BOOL(WINAPI*)(PVOID*);
using Wow64RevertFn = BOOL(WINAPI*)(PVOID);

// Looks both functions up; either pointer may be null. True when both exist.
bool wow64_redirection_functions(Wow64DisableFn* disable, Wow64RevertFn* revert);

// 0, or -1 with errno: ENOSYS when the system has no such function, else the system's
// error (a 64-bit process is not redirected, so there the call itself fails).
int wow64_disable_redirection(void** old_value);
int wow64_revert_redirection(void* old_value);
