// Private to the Win32 layer: paths and names between the layer's narrow (ANSI code page)
// text and the wide API, which alone reaches paths past MAX_PATH. Thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Paths this long (in UTF-16 units) or longer go to the system in extended form: the
// narrow API stops at MAX_PATH (260 with the NUL) and CreateDirectory already at 248.
constexpr size_t kWin32ShortPathLimit = 248;

// A narrow Windows-form path as the wide API takes it, NUL-terminated: converted from the
// ANSI code page; when long (itself, or once made absolute), made absolute and prefixed
// "\\?\" ("\\?\UNC\" for "\\server\share"). "\\?\" and "\\.\" paths pass as they are.
// Fails with errno ENOENT (last error PATH_NOT_FOUND) for an empty path, ENAMETOOLONG for
// one holding a NUL or too long even for the extended form, EILSEQ (last error
// NO_UNICODE_TRANSLATION) for bytes the code page does not define.
class WidePath {
 public:
  explicit WidePath(std::string_view path);
  bool ok() const { return ok_; }
  const wchar_t* get() const { return text_.c_str(); }

 private:
  std::wstring text_;
  bool ok_ = false;
};

// A wide name or path in the ANSI code page, NUL-terminated in `out` (`capacity` bytes).
// 0 when it is exactly that name; otherwise the errno of why not (EILSEQ: a character the
// code page cannot hold; ENAMETOOLONG: it does not fit), and `out` holds a stand-in that
// names no file: unheld characters as "?", a name cut short ending in "?".
int win32_narrow_name(const wchar_t* wide, char* out, size_t capacity);

// The narrow form of a whole wide path; false with errno EILSEQ or ENAMETOOLONG (and the
// matching last error) when it has none.
bool win32_narrow_path(std::wstring_view wide, std::string* out);
