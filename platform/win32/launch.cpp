#include "platform/launch.h"

#include <windows.h>

#include <shellapi.h>

#include <cerrno>
#include <string>

#include "platform/win32/win_error.h"

uint32_t plat_current_process_id() {
  return GetCurrentProcessId();
}

int plat_start_command_line(std::string_view command_line) {
  if (command_line.empty()) return fail_errno(ENOENT, ERROR_FILE_NOT_FOUND);
  if (command_line.find('\0') != std::string_view::npos || command_line.size() >= 32767) {
    return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  }
  // CreateProcess may write into the command line, so it gets its own copy.
  std::string line(command_line);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No application name, no inherited handles, default flags, this environment and
  // current directory.
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return fail_win32();
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

int plat_shell_open(std::string_view path) {
  char p[MAX_PATH * 4];
  if (path.empty()) return fail_errno(ENOENT, ERROR_FILE_NOT_FOUND);
  if (!win32_path(path.data(), path.size(), p, sizeof p)) return -1;
  auto r = reinterpret_cast<INT_PTR>(
      ShellExecuteA(nullptr, "open", p, nullptr, nullptr, SW_SHOWMAXIMIZED));
  if (r > 32) return 0;
  // ShellExecute answers its own small codes; the ones below 32 that name a missing file,
  // folder or association mean nothing could be opened.
  switch (r) {
    case SE_ERR_FNF:
    case SE_ERR_PNF:
    case SE_ERR_NOASSOC:
    case SE_ERR_ASSOCINCOMPLETE:
      return fail_errno(ENOENT, ERROR_FILE_NOT_FOUND);
    case SE_ERR_ACCESSDENIED:
      return fail_errno(EACCES, ERROR_ACCESS_DENIED);
    case SE_ERR_OOM:
    case 0:
      return fail_errno(ENOMEM, ERROR_NOT_ENOUGH_MEMORY);
    default:
      return fail_errno(EINVAL, static_cast<uint32_t>(r));
  }
}

std::string plat_program_command_line(const std::string& program,
                                      const std::vector<std::string>& arguments, bool) {
  // The C runtime's rules: a word in double quotes; backslashes are literal except before
  // a quote, where each one (and the quote) is escaped.
  auto quote = [](const std::string& s) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : s) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
      backslashes = 0;
      out.push_back(c);
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
  };
  std::string line = quote(program);
  for (const std::string& a : arguments) line += " " + quote(a);
  return line;
}
