// KFS message type codes, error codes and management type codes, with their names and
// descriptions. Constant data; every function is stateless and safe from any thread, and
// every text is static and read-only. Numbers are fixed by the protocol: never renumber
// or reuse one.
#pragma once

#include <cstdint>

enum KfsType : uint8_t {
  KFS_SESSION_HANDSHAKE = 0,
  KFS_SESSION_AUTH = 1,
  KFS_SESSION_CLOSE = 2,
  KFS_STAT = 3,
  KFS_MOVE = 4,
  KFS_COPY = 5,
  KFS_DELETE = 6,
  KFS_MKDIR = 7,
  KFS_FIND_FILES = 8,
  KFS_ACTIVATE = 9,
  KFS_EMAIL = 10,
  KFS_FILE_READ = 11,
  KFS_FILE_WRITE = 12,
  KFS_FILE_CLOSE = 13,
  KFS_FIND_USERS = 16,
  KFS_FILE_WOPEN = 17,
  KFS_FILE_ROPEN = 18,
  KFS_MGNT = 20,
  KFS_USER_LOCK = 21,
  KFS_SESSION_OPEN = 50,
  KFS_SCHED_SYNC = 51,
  KFS_SESSION_UPDATE = 52,
  KFS_SYNC_LOGIN = 64,
  KFS_SYNC_CONTROL = 65,
};

// A reply carries the request's type with bit 7 set.
constexpr uint8_t KFS_RESPONSE_BIT = 0x80;

enum KfsError : uint8_t {
  ERR_NONE = 0,
  ERR_BADPATH = 1,
  ERR_NOTDIR = 2,
  ERR_NOTFILE = 3,
  ERR_ACCESS = 4,
  ERR_IO = 5,
  ERR_EXISTS = 6,
  ERR_FDMAX = 7,
  ERR_SEQUENCE = 9,
  ERR_DATAMAX = 10,
  ERR_TIMEOUT = 11,
  ERR_FSACCESS = 12,
  ERR_BADKEY = 13,
  ERR_NOTEMPTY = 14,
  ERR_BUSY = 15,
  ERR_EOF = 16,
  ERR_UP2DATE = 17,
  ERR_INVARG = 18,
  ERR_FINDMAX = 19,
  ERR_NOCSUM = 20,
  ERR_AUTH_FAILURE = 21,
  ERR_ACCOUNT_STATUS_INACTIVE = 23,
  ERR_USER_LOCKED = 24,
  ERR_ACCOUNT_STATUS_PENDING = 25,
  ERR_SERVER = 30,
  ERR_BAD_PROTOCOL_VERSION = 235,
  ERR_SCKREAD = 254,
  ERR_SCKWRITE = 255,
};

enum KfsMgntType : int {
  MGNT_U_USERNAME = 0,
  MGNT_U_PASSWORD = 1,
  MGNT_U_FIRSTNAME = 2,
  MGNT_U_LASTNAME = 3,
  MGNT_U_EMAIL = 4,
  MGNT_U_PHONE = 5,
  MGNT_U_FAX = 6,
  MGNT_U_MACHINE_TOKEN_CLEAR = 7,
  MGNT_U_MACHINE_TOKEN_ADD = 8,
  MGNT_U_HISTORY_SLOTS = 9,
  MGNT_A_USER_CREATE = 10,
  MGNT_A_USER_DELETE = 11,
  MGNT_A_ACC_BILLING_GET = 12,
  MGNT_A_ACC_BILLING_SET = 13,
  MGNT_A_ACC_IPLOCK_CREATE = 14,
  MGNT_A_ACC_IPLOCK_DELETE = 15,
  MGNT_A_ACC_IPLOCK_FIND = 16,
  MGNT_A_ACC_IPLOCK_RENAME = 17,
  MGNT_A_ACC_IPLOCK_GET = 18,
  MGNT_A_ACC_IPLOCK_SET = 19,
  MGNT_A_USER_IPLOCK_GET = 20,
  MGNT_A_USER_IPLOCK_SET = 21,
  MGNT_A_ACC_CREATE = 22,
  MGNT_A_ACC_DELETE = 23,
  MGNT_A_USER_ACCESSIBLE_LIST_SET = 24,
};

// Only the low 8 bits of `code` are looked at; "KFS_UNKNOWN" for a code without a name.
const char* kfs_type_name(int code);
// Low 8 bits; "ERR_UNKNOWN" for a code without a name.
const char* kfs_error_name(int code);
// Low 8 bits; "ERR_DESCRIPTION_UNKNOWN" for a code without a description.
const char* kfs_error_description(int code);
// The whole value; "MGNT_UNKNOWN" outside 0..24.
const char* kfs_mgnt_type_name(int code);

// Whether repeating the same request later can succeed (a broken link, a busy or
// overloaded server) as opposed to an answer that will not change. ERR_NONE is not
// transient.
bool kfs_error_is_transient(int code);
