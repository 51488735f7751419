// Process privileges by their Windows names, held here as Linux capabilities:
// SeBackupPrivilege = CAP_DAC_READ_SEARCH; SeRestorePrivilege = CAP_DAC_OVERRIDE,
// CAP_CHOWN and CAP_FOWNER; SeSecurityPrivilege = CAP_FOWNER. Thread-safe in the sense
// that capabilities are per thread on Linux: call it on the thread that needs them.
#pragma once

// ERROR_NOT_ALL_ASSIGNED: the privilege is not held (not in the permitted set).
constexpr unsigned PLAT_ERROR_NOT_ALL_ASSIGNED = 1300;
// ERROR_NO_SUCH_PRIVILEGE: the name is not one of the three.
constexpr unsigned PLAT_ERROR_NO_SUCH_PRIVILEGE = 1313;

// Raises the privilege's capabilities in the effective set. 0, or -1 with errno EINVAL
// for an unknown name or EPERM when a capability is not permitted (nothing is raised).
[[nodiscard]] int plat_enable_privilege(const char* windows_name);
