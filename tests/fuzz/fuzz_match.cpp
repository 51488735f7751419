// The two pattern matchers: the filters' `wildcard_match` and the shell-pattern
// `shell_match`. Input: one byte of MATCH_ flags, then the pattern, a NUL, the name.
// `wildcard_match` must agree with a plain table of every pattern/name prefix pair, and
// `shell_match` with the C library's fnmatch wherever the two follow the same rules.
#include <fnmatch.h>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/backup/filters.h"
#include "util/fs.h"

namespace {

// at[i][j]: pattern[i..] matches name[j..].
bool wildcard_reference(const std::string& name, const std::string& pattern) {
  size_t n = name.size(), m = pattern.size();
  std::vector<std::vector<char>> at(m + 1, std::vector<char>(n + 1, 0));
  at[m][n] = 1;
  for (size_t i = m; i-- > 0;) {
    for (size_t j = n + 1; j-- > 0;) {
      if (pattern[i] == '*') {
        at[i][j] = at[i + 1][j] || (j < n && at[i][j + 1]);
      } else {
        at[i][j] = j < n &&
                   tolower(static_cast<unsigned char>(pattern[i])) ==
                       tolower(static_cast<unsigned char>(name[j])) &&
                   at[i + 1][j + 1];
      }
    }
  }
  return at[0][0] != 0;
}

// True when some '[' opens no bracket expression (POSIX makes it an ordinary character;
// the C library refuses some such patterns outright).
bool has_unclosed_bracket(const std::string& pattern, bool noescape) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '\\' && !noescape) {
      ++i;
      continue;
    }
    if (pattern[i] != '[') continue;
    size_t j = i + 1;
    if (j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^')) ++j;
    if (j < pattern.size() && pattern[j] == ']') ++j;
    while (j < pattern.size() && pattern[j] != ']') j += (pattern[j] == '\\' && !noescape) ? 2 : 1;
    if (j >= pattern.size()) return true;
    i = j;
  }
  return false;
}

// Where the C library follows rules of its own, there is nothing to compare: collating
// elements and equivalence classes, class names it may refuse, a pattern ending in an
// escape, unclosed brackets, a star before a leading period, and bytes outside ASCII.
bool comparable(const std::string& pattern, const std::string& name, int flags) {
  // The library lets no star stand before a leading period, even one that takes nothing
  // ahead of a literal period ("*." against "."); POSIX asks only for the literal period.
  if ((flags & MATCH_PERIOD) != 0 && name.find('.') != std::string::npos) return false;
  if (has_unclosed_bracket(pattern, (flags & MATCH_NOESCAPE) != 0)) return false;
  for (unsigned char c : pattern + name) {
    if (c >= 0x80) return false;
  }
  if (pattern.find("[.") != std::string::npos || pattern.find("[=") != std::string::npos ||
      pattern.find("[:") != std::string::npos) {
    return false;
  }
  if ((flags & MATCH_NOESCAPE) == 0) {
    size_t escapes = 0;
    for (size_t i = pattern.size(); i > 0 && pattern[i - 1] == '\\'; --i) ++escapes;
    if (escapes % 2 == 1) return false;
  }
  return true;
}

int libc_flags(int flags) {
  int out = 0;
  if (flags & MATCH_PATHNAME) out |= FNM_PATHNAME;
  if (flags & MATCH_NOESCAPE) out |= FNM_NOESCAPE;
  if (flags & MATCH_PERIOD) out |= FNM_PERIOD;
  if (flags & MATCH_LEADING_DIR) out |= FNM_LEADING_DIR;
  if (flags & MATCH_CASEFOLD) out |= FNM_CASEFOLD;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 1024) return 0;  // the reference table grows with the square
  int flags = data[0] & 31;
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t nul = rest.find('\0');
  std::string pattern = rest.substr(0, nul);
  std::string name = nul == std::string::npos ? std::string() : rest.substr(nul + 1);
  name = name.substr(0, name.find('\0'));

  if (wildcard_match(name.c_str(), pattern.c_str()) != wildcard_reference(name, pattern)) {
    abort();
  }

  int ours = shell_match(pattern.c_str(), name.c_str(), flags);
  if (ours != 0 && ours != 1) abort();
  if (comparable(pattern, name, flags)) {
    int theirs = fnmatch(pattern.c_str(), name.c_str(), libc_flags(flags));
    if (theirs != FNM_NOMATCH && theirs != 0) return 0;  // a pattern the library refuses
    if ((ours == 0) != (theirs == 0)) abort();
  }
  // Every character escaped matches itself exactly.
  if ((flags & MATCH_NOESCAPE) == 0) {
    std::string escaped;
    for (char c : name) {
      escaped.push_back('\\');
      escaped.push_back(c);
    }
    if (shell_match(escaped.c_str(), name.c_str(), flags) != 0) abort();
  }
  return 0;
}
