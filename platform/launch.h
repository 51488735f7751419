// Starting programs for the desktop client: a Windows command line (CreateProcess with
// no application name) and the shell's "open" verb. Started programs run in their own
// session with the standard streams inherited and every other descriptor closed; nobody
// waits for them (they are reaped in the background). Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// This process's id (GetCurrentProcessId).
[[nodiscard]] uint32_t plat_current_process_id();

// Starts `command_line`, split into arguments by the C runtime's rules (whitespace
// separates, double quotes group, backslashes escape only quotes). A program name
// without a separator is looked up in the working directory first, then on the search
// path; one with a separator is a Windows-form path. 0 when the program started; -1 with
// errno (ENOENT when it cannot be found).
[[nodiscard]] int plat_start_command_line(std::string_view command_line);

// Opens a Windows-form path with its associated program ("xdg-open" here). 0 when the
// opener started; -1 with errno (ENOENT when nothing exists at the path or there is no
// opener).
[[nodiscard]] int plat_shell_open(std::string_view path);

// A command line for Env::process_start that runs `program` with `arguments`, each quoted
// for the system so that spaces and quotes arrive intact, standard input from the null
// device and, when `quiet`, the output discarded (a Windows program started so owns no
// console output to discard).
[[nodiscard]] std::string plat_program_command_line(const std::string& program,
                                                    const std::vector<std::string>& arguments,
                                                    bool quiet);
