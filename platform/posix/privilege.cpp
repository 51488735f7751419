#include "platform/privilege.h"

#include <sys/capability.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <type_traits>

#include "platform/posix/native_error.h"

namespace {

struct Privilege {
  const char* name;
  cap_value_t caps[3];
  int count;
};

constexpr Privilege kPrivileges[] = {
    {"SeBackupPrivilege", {CAP_DAC_READ_SEARCH}, 1},
    {"SeRestorePrivilege", {CAP_DAC_OVERRIDE, CAP_CHOWN, CAP_FOWNER}, 3},
    {"SeSecurityPrivilege", {CAP_FOWNER}, 1},
};

struct CapFree {
  void operator()(cap_t c) const { cap_free(c); }
};

}  // namespace

int plat_enable_privilege(const char* windows_name) {
  if (windows_name == nullptr) return fail_with(EINVAL, PLAT_ERROR_NO_SUCH_PRIVILEGE);
  const Privilege* privilege = nullptr;
  for (const Privilege& p : kPrivileges) {
    if (strcmp(p.name, windows_name) == 0) privilege = &p;
  }
  if (privilege == nullptr) return fail_with(EINVAL, PLAT_ERROR_NO_SUCH_PRIVILEGE);

  std::unique_ptr<std::remove_pointer_t<cap_t>, CapFree> caps(cap_get_proc());
  if (!caps) return fail_with(errno);
  for (int i = 0; i < privilege->count; ++i) {
    cap_flag_value_t permitted = CAP_CLEAR;
    if (cap_get_flag(caps.get(), privilege->caps[i], CAP_PERMITTED, &permitted) != 0)
      return fail_with(errno);
    if (permitted != CAP_SET) return fail_with(EPERM, PLAT_ERROR_NOT_ALL_ASSIGNED);
  }
  if (cap_set_flag(caps.get(), CAP_EFFECTIVE, privilege->count, privilege->caps, CAP_SET) != 0) {
    return fail_with(errno);
  }
  if (cap_set_proc(caps.get()) != 0) return fail_with(errno);
  return 0;
}
