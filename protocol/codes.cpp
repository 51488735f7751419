#include "protocol/codes.h"

namespace {

struct TypeName {
  int code;
  const char* name;
};

constexpr TypeName kTypeNames[] = {
    {0, "KFS_SESSION_HANDSHAKE"},     {128, "KFS_SESSION_HANDSHAKE_RESPONSE"},
    {1, "KFS_SESSION_AUTH"},          {129, "KFS_SESSION_AUTH_RESPONSE"},
    {2, "KFS_SESSION_CLOSE"},         {3, "KFS_STAT"},
    {131, "KFS_STAT_RESPONSE"},       {4, "KFS_MOVE"},
    {132, "KFS_MOVE_RESPONSE"},       {5, "KFS_COPY"},
    {133, "KFS_COPY_RESPONSE"},       {6, "KFS_DELETE"},
    {134, "KFS_DELETE_RESPONSE"},     {7, "KFS_MKDIR"},
    {135, "KFS_MKDIR_RESPONSE"},      {8, "KFS_FIND_FILES"},
    {136, "KFS_FIND_FILES_RESPONSE"}, {9, "KFS_ACTIVATE"},
    {137, "KFS_ACTIVATE_RESPONSE"},   {10, "KFS_EMAIL"},
    {138, "KFS_EMAIL_RESPONSE"},      {11, "KFS_FILE_READ"},
    {139, "KFS_FILE_READ_RESPONSE"},  {12, "KFS_FILE_WRITE"},
    {140, "KFS_FILE_WRITE_RESPONSE"}, {13, "KFS_FILE_CLOSE"},
    {141, "KFS_FILE_CLOSE_RESPONSE"}, {16, "KFS_FIND_USERS"},
    {144, "KFS_FIND_USERS_RESPONSE"}, {17, "KFS_FILE_WOPEN"},
    {145, "KFS_FILE_WOPEN_RESPONSE"}, {18, "KFS_FILE_ROPEN"},
    {146, "KFS_FILE_ROPEN_RESPONSE"}, {20, "KFS_MGNT"},
    {148, "KFS_MGNT_RESPONSE"},       {21, "KFS_USER_LOCK"},
    {149, "KFS_USER_LOCK_RESPONSE"},  {50, "KFS_SESSION_OPEN"},
    {51, "KFS_SCHED_SYNC"},           {52, "KFS_SESSION_UPDATE"},
    {64, "KFS_SYNC_LOGIN"},           {192, "KFS_SYNC_LOGIN_RESPONSE"},
    {65, "KFS_SYNC_CONTROL"},         {193, "KFS_SYNC_CONTROL_RESPONSE"},
};

struct ErrorText {
  int code;
  const char* name;
  const char* description;
  bool transient;
};

constexpr ErrorText kErrors[] = {
    {0, "ERR_NONE", "No errors", false},
    {1, "ERR_BADPATH", "No such file or directory", false},
    {2, "ERR_NOTDIR", "Not a Directory", false},
    {3, "ERR_NOTFILE", "Not a File", false},
    {4, "ERR_ACCESS", "Access Denied", false},
    {5, "ERR_IO", "IO communication error", true},
    {6, "ERR_EXISTS", "File exists", false},
    {7, "ERR_FDMAX", "To many open files", true},
    {9, "ERR_SEQUENCE", "Protocol Mismatch", false},
    {10, "ERR_DATAMAX", "KFS packet max data length exceeded", false},
    {11, "ERR_TIMEOUT", "KFS Session has timed out", true},
    {12, "ERR_FSACCESS", "File system access error", true},
    {13, "ERR_BADKEY", "Invalid key", false},
    {14, "ERR_NOTEMPTY", "Directory not Empty", false},
    {15, "ERR_BUSY", "File in use", true},
    {16, "ERR_EOF", "End of file has been reached", false},
    {17, "ERR_UP2DATE", "File is up to date", false},
    {18, "ERR_INVARG", "Invalid argument", false},
    {19, "ERR_FINDMAX", "To many open finds", true},
    {20, "ERR_NOCSUM", "Missing checksum for file block", false},
    {21, "ERR_AUTH_FAILURE", "Authentication error", false},
    {23, "ERR_ACCOUNT_STATUS_INACTIVE",
     "Please contact customer service at (800) 555-0142 for assistance with your account.", false},
    {24, "ERR_USER_LOCKED", "User is locked", true},
    {25, "ERR_ACCOUNT_STATUS_PENDING", "Account is not activated", false},
    {30, "ERR_SERVER", "Internal error with backup server", true},
    {235, "ERR_BAD_PROTOCOL_VERSION", "Invalid Protocol Version", false},
    {254, "ERR_SCKREAD", "Error during socket read", true},
    {255, "ERR_SCKWRITE", "Error during socket write", true},
};

constexpr const char* kMgntNames[] = {
    "MGNT_U_USERNAME",
    "MGNT_U_PASSWORD",
    "MGNT_U_FIRSTNAME",
    "MGNT_U_LASTNAME",
    "MGNT_U_EMAIL",
    "MGNT_U_PHONE",
    "MGNT_U_FAX",
    "MGNT_U_MACHINE_TOKEN_CLEAR",
    "MGNT_U_MACHINE_TOKEN_ADD",
    "MGNT_U_HISTORY_SLOTS",
    "MGNT_A_USER_CREATE",
    "MGNT_A_USER_DELETE",
    "MGNT_A_ACC_BILLING_GET",
    "MGNT_A_ACC_BILLING_SET",
    "MGNT_A_ACC_IPLOCK_CREATE",
    "MGNT_A_ACC_IPLOCK_DELETE",
    "MGNT_A_ACC_IPLOCK_FIND",
    "MGNT_A_ACC_IPLOCK_RENAME",
    "MGNT_A_ACC_IPLOCK_GET",
    "MGNT_A_ACC_IPLOCK_SET",
    "MGNT_A_USER_IPLOCK_GET",
    "MGNT_A_USER_IPLOCK_SET",
    "MGNT_A_ACC_CREATE",
    "MGNT_A_ACC_DELETE",
    "MGNT_A_USER_ACCESSIBLE_LIST_SET",
};

const ErrorText* find_error(int code) {
  int low = code & 0xFF;
  for (const ErrorText& e : kErrors) {
    if (e.code == low) return &e;
  }
  return nullptr;
}

}  // namespace

const char* kfs_type_name(int code) {
  int low = code & 0xFF;
  for (const TypeName& t : kTypeNames) {
    if (t.code == low) return t.name;
  }
  return "KFS_UNKNOWN";
}

const char* kfs_error_name(int code) {
  const ErrorText* e = find_error(code);
  return e != nullptr ? e->name : "ERR_UNKNOWN";
}

const char* kfs_error_description(int code) {
  const ErrorText* e = find_error(code);
  return e != nullptr ? e->description : "ERR_DESCRIPTION_UNKNOWN";
}

const char* kfs_mgnt_type_name(int code) {
  constexpr int count = static_cast<int>(sizeof(kMgntNames) / sizeof(kMgntNames[0]));
  return code >= 0 && code < count ? kMgntNames[code] : "MGNT_UNKNOWN";
}

bool kfs_error_is_transient(int code) {
  const ErrorText* e = find_error(code);
  return e != nullptr && e->transient;
}
