// The report's tag scanner over arbitrary templates, in both forms, with values that need
// escaping and an error list, so every tag has something to expand.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "agent/report/report.h"
#include "util/list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    const uint8_t digest[20] = {1, 2, 3};
    report_start("fuzz.eml", "fuzz", "<job> & \"name\"", nullptr, 42, 7, digest, REPORT_FLAG_HTML,
                 plat_env());
    report_session(nullptr);
    report_begin(3, 5000000000ULL, "/12/<docs>");
    report_fail_file_errno("C:\\<img src=x>.txt", 2);
    report_fail_file_code("C:\\b&c", 21);
    ready = true;
  }
  // Templates are read as text: the scan stops at the first NUL.
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string html = report_compose_for_test(text, true);
  std::string plain = report_compose_for_test(text, false);
  // Text without "#" comes through unchanged.
  if (memchr(text.c_str(), '#', strlen(text.c_str())) == nullptr && plain != text.c_str())
    __builtin_trap();
  return 0;
}
