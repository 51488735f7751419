// Debugger output: the channel a developer attaches to. Here it is one line on
// standard error per call. Thread-safe.
#pragma once

// Writes `text` as one line: trailing CR/LF are dropped and a single LF is added.
void plat_debug_output(const char* text);
