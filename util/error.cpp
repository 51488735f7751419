#include "util/error.h"

#include <cerrno>
#include <cstddef>

#include "platform/error.h"

namespace {

struct ErrorPair {
  unsigned long windows;
  int errnum;
};

// The runtime library's own translations; the order is the table's.
constexpr ErrorPair kErrorTable[] = {
    {1, 22},   {2, 2},    {3, 2},    {4, 24},    {5, 13},   {6, 9},   {7, 12},   {8, 12},
    {9, 12},   {10, 7},   {11, 8},   {12, 22},   {13, 22},  {15, 2},  {16, 13},  {17, 18},
    {18, 2},   {33, 13},  {53, 2},   {65, 13},   {67, 2},   {80, 17}, {82, 13},  {83, 13},
    {87, 22},  {89, 11},  {108, 13}, {109, 32},  {112, 28}, {114, 9}, {128, 10}, {129, 10},
    {130, 9},  {131, 22}, {132, 13}, {145, 41},  {158, 13}, {161, 2}, {164, 11}, {167, 13},
    {183, 17}, {206, 2},  {215, 11}, {1816, 12},
};
static_assert(sizeof(kErrorTable) / sizeof(kErrorTable[0]) == 44);

thread_local unsigned long t_os_errno = 0;

}  // namespace

int windows_error_to_errno(unsigned long windows_error) {
  for (const ErrorPair& pair : kErrorTable) {
    if (pair.windows == windows_error) return pair.errnum;
  }
  return -1;
}

void map_system_error() {
  unsigned long code = plat_last_error();
  t_os_errno = code;
  int mapped = windows_error_to_errno(code);
  if (mapped != -1) errno = mapped;
}

unsigned long util_os_errno() {
  return t_os_errno;
}

const char* error_text(int errnum) {
  int saved = errno;
  const char* text = plat_error_message(errnum);
  errno = saved;
  return text;
}
