// Shell-pattern matching with POSIX fnmatch rules, written out here rather than taken from
// the C library: the library's answer depends on the process locale (a JVM sets one), and
// names are bytes of the ANSI code page, not UTF-8.
#include <cstring>

#include "util/fs.h"

namespace {

unsigned char fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

bool in_class(const char* name, size_t length, unsigned char c) {
  auto is = [&](const char* n) { return strlen(n) == length && memcmp(name, n, length) == 0; };
  bool upper = c >= 'A' && c <= 'Z';
  bool lower = c >= 'a' && c <= 'z';
  bool digit = c >= '0' && c <= '9';
  bool alpha = upper || lower;
  bool print = c >= 0x20 && c < 0x7F;
  bool graph = c > 0x20 && c < 0x7F;
  if (is("alpha")) return alpha;
  if (is("digit")) return digit;
  if (is("alnum")) return alpha || digit;
  if (is("upper")) return upper;
  if (is("lower")) return lower;
  if (is("space")) return c == ' ' || (c >= '\t' && c <= '\r');
  if (is("blank")) return c == ' ' || c == '\t';
  if (is("punct")) return graph && !alpha && !digit;
  if (is("print")) return print;
  if (is("graph")) return graph;
  if (is("cntrl")) return c < 0x20 || c == 0x7F;
  if (is("xdigit")) return digit || (fold(c) >= 'a' && fold(c) <= 'f');
  return false;
}

// Matches one bracket expression starting at p (just past '['). Sets *end past the ']'
// and answers whether c is in the set; answers false with *end null when the bracket is
// not closed (the '[' is then an ordinary character).
bool match_bracket(const char* p, unsigned char c, int flags, const char** end) {
  bool casefold = (flags & MATCH_CASEFOLD) != 0;
  bool noescape = (flags & MATCH_NOESCAPE) != 0;
  // Folding compares lower-case forms of the character and of range ends; classes test
  // the character as it is. This is what the C library does.
  unsigned char original = c;
  if (casefold) c = fold(c);
  bool negate = false;
  if (*p == '!' || *p == '^') {
    negate = true;
    ++p;
  }
  bool matched = false;
  bool first = true;
  for (;;) {
    if (*p == '\0') {
      *end = nullptr;
      return false;
    }
    if (*p == ']' && !first) break;
    first = false;
    unsigned char lo;
    if (*p == '[' && p[1] == ':') {
      const char* close = strstr(p + 2, ":]");
      if (close != nullptr) {
        const char* name = p + 2;
        size_t length = static_cast<size_t>(close - name);
        if (in_class(name, length, original)) matched = true;
        p = close + 2;
        continue;
      }
    }
    if (*p == '\\' && !noescape && p[1] != '\0') ++p;
    lo = static_cast<unsigned char>(*p++);
    unsigned char hi = lo;
    if (*p == '-' && p[1] != ']' && p[1] != '\0') {
      ++p;
      if (*p == '\\' && !noescape && p[1] != '\0') ++p;
      hi = static_cast<unsigned char>(*p++);
    }
    if (casefold) {
      lo = fold(lo);
      hi = fold(hi);
    }
    if (c >= lo && c <= hi) matched = true;
  }
  *end = p + 1;
  return matched != negate;
}

}  // namespace

namespace {

struct ShellMatcher {
  const char* name;
  int flags;
  bool pathname, noescape, period, casefold;

  bool leading_period(const char* at) const {
    return period && *at == '.' && (at == name || (pathname && at[-1] == '/'));
  }
  // A character a wildcard ('?', a bracket, a star) may take.
  bool wildcard_takes(const char* at) const {
    return *at != '\0' && !(pathname && *at == '/') && !leading_period(at);
  }

  // Matches the one pattern element at *p ('?', a bracket or a literal) against *s,
  // advancing both when it matches.
  bool step(const char** p, const char** s) const {
    if (**p == '?') {
      if (!wildcard_takes(*s)) return false;
      ++*p;
      ++*s;
      return true;
    }
    if (**p == '[') {
      const char* end = nullptr;
      bool in = match_bracket(*p + 1, static_cast<unsigned char>(**s), flags, &end);
      if (end == nullptr) {  // an unclosed '[' is an ordinary character
        if (**s != '[') return false;
        ++*p;
        ++*s;
        return true;
      }
      if (!in || !wildcard_takes(*s)) return false;
      *p = end;
      ++*s;
      return true;
    }
    const char* lit = *p;
    if (*lit == '\\' && !noescape && lit[1] != '\0') ++lit;
    unsigned char a = static_cast<unsigned char>(*lit);
    unsigned char b = static_cast<unsigned char>(**s);
    if (b == '\0' || !(a == b || (casefold && fold(a) == fold(b)))) return false;
    *p = lit + 1;
    ++*s;
    return true;
  }
};

}  // namespace

int shell_match(const char* pattern, const char* name, int flags) {
  if (pattern == nullptr || name == nullptr) return 1;
  const ShellMatcher m{name,
                       flags,
                       (flags & MATCH_PATHNAME) != 0,
                       (flags & MATCH_NOESCAPE) != 0,
                       (flags & MATCH_PERIOD) != 0,
                       (flags & MATCH_CASEFOLD) != 0};
  const bool leading_dir = (flags & MATCH_LEADING_DIR) != 0;
  const char* p = pattern;
  const char* s = name;
  // One backtracking point (the last star) suffices: a later star can absorb whatever an
  // earlier one would, and with MATCH_PATHNAME no star can cross a '/'.
  const char* star_p = nullptr;
  const char* star_s = nullptr;
  for (;;) {
    if (*p == '\0') {
      if (*s == '\0' || (leading_dir && *s == '/')) return 0;
    } else if (*p == '*') {
      // A leading period may only be matched by a literal period; the backtracking below
      // never lets the star take one.
      while (*p == '*') ++p;
      star_p = p;
      star_s = s;
      continue;
    } else if (m.step(&p, &s)) {
      continue;
    }
    // Mismatch: let the last star take one more character, if it may.
    if (star_p == nullptr || !m.wildcard_takes(star_s)) return 1;
    ++star_s;
    p = star_p;
    s = star_s;
  }
}
