#include "platform/win32/wide_path.h"

#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/win32/win_error.h"

namespace {

// The most UTF-16 units an extended path may hold.
constexpr size_t kExtendedLimit = 32767;

bool is_separator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// "\\?\..." and "\\.\..." already say exactly what they name.
bool is_device_form(const std::wstring& p) {
  return p.size() >= 4 && is_separator(p[0]) && is_separator(p[1]) &&
         (p[2] == L'?' || p[2] == L'.') && is_separator(p[3]);
}

// "X:\..." or "\\server\...": the system resolves nothing against the current directory.
bool is_absolute(const std::wstring& p) {
  if (p.size() >= 3 && p[1] == L':' && is_separator(p[2])) return true;
  return p.size() >= 2 && is_separator(p[0]) && is_separator(p[1]);
}

// UTF-8 as the code page takes neither a default character nor the best-fit switch.
bool code_page_is_utf8() {
  return GetACP() == CP_UTF8;
}

// `units` UTF-16 units in the code page, exactly; the byte count, 0 when it cannot hold
// them or they do not fit.
int narrow_exactly(const wchar_t* wide, int units, char* out, int capacity) {
  if (code_page_is_utf8()) {
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, units, out, capacity, nullptr,
                               nullptr);
  }
  BOOL used_default = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, out, capacity, nullptr,
                              &used_default);
  if (!used_default) return n;
  SetLastError(ERROR_NO_UNICODE_TRANSLATION);
  return 0;
}

// Character by character: each one the code page holds as itself, any other as "?", which
// no Windows name contains; a name that does not fit is cut and ends in "?".
void stand_in(const wchar_t* wide, char* out, size_t capacity) {
  size_t at = 0;
  bool cut = false;
  for (size_t i = 0; wide[i] != L'\0';) {
    int units = IS_HIGH_SURROGATE(wide[i]) && IS_LOW_SURROGATE(wide[i + 1]) ? 2 : 1;
    char bytes[8];
    int n = narrow_exactly(wide + i, units, bytes, sizeof bytes);
    if (n <= 0) {
      bytes[0] = '?';
      n = 1;
    }
    if (at + static_cast<size_t>(n) + 1 >= capacity) {
      cut = true;
      break;
    }
    memcpy(out + at, bytes, static_cast<size_t>(n));
    at += static_cast<size_t>(n);
    i += static_cast<size_t>(units);
  }
  if (cut) out[at++] = '?';
  out[at] = '\0';
}

}  // namespace

WidePath::WidePath(std::string_view path) {
  if (path.empty()) {
    fail_errno(ENOENT, ERROR_PATH_NOT_FOUND);
    return;
  }
  if (path.size() > kExtendedLimit || memchr(path.data(), '\0', path.size()) != nullptr) {
    fail_errno(ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE);
    return;
  }
  const int length = static_cast<int>(path.size());
  int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(), length, nullptr, 0);
  if (n > 0) {
    text_.resize(static_cast<size_t>(n));
    n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(), length, text_.data(), n);
  }
  if (n <= 0 || static_cast<size_t>(n) != text_.size()) {
    fail_errno(EILSEQ, ERROR_NO_UNICODE_TRANSLATION);
    return;
  }
  if (is_device_form(text_) || (text_.size() < kWin32ShortPathLimit && is_absolute(text_))) {
    ok_ = true;
    return;
  }
  // Relative or long: only the absolute form tells whether the short one still reaches it.
  DWORD need = GetFullPathNameW(text_.c_str(), 0, nullptr, nullptr);
  if (need == 0) {
    fail_win32();
    return;
  }
  std::wstring full(need, L'\0');
  DWORD got = GetFullPathNameW(text_.c_str(), need, full.data(), nullptr);
  if (got == 0 || got >= need) {
    fail_win32(got == 0 ? GetLastError() : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    return;
  }
  full.resize(got);
  if (full.size() < kWin32ShortPathLimit || is_device_form(full)) {
    ok_ = true;  // the path as given reaches it
    return;
  }
  if (is_separator(full[0]) && is_separator(full[1])) {
    text_ = L"\\\\?\\UNC\\" + full.substr(2);
  } else {
    text_ = L"\\\\?\\" + full;
  }
  if (text_.size() > kExtendedLimit) {
    fail_errno(ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE);
    return;
  }
  ok_ = true;
}

int win32_narrow_name(const wchar_t* wide, char* out, size_t capacity) {
  if (capacity == 0) return ENAMETOOLONG;
  const int room = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
  if (narrow_exactly(wide, -1, out, room) > 0) return 0;
  const bool too_long = GetLastError() == ERROR_INSUFFICIENT_BUFFER;
  stand_in(wide, out, capacity);
  return too_long ? ENAMETOOLONG : EILSEQ;
}

bool win32_narrow_path(std::wstring_view wide, std::string* out) {
  if (wide.size() > kExtendedLimit) {
    fail_errno(ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  out->clear();
  if (wide.empty()) return true;
  const int units = static_cast<int>(wide.size());
  // At most four bytes a unit in any code page Windows has.
  std::string text(wide.size() * 4, '\0');
  int n = narrow_exactly(wide.data(), units, text.data(), static_cast<int>(text.size()));
  if (n <= 0) {
    fail_errno(EILSEQ, ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  text.resize(static_cast<size_t>(n));
  *out = std::move(text);
  return true;
}
