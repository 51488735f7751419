// Every reply decoder of the client: login, listing (both name widths), file open, write
// and delete. The first byte picks the decoder.
#include <cstdint>
#include <cstring>

#include "protocol/ckfs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 70000) return 0;
  const uint8_t* reply = data + 1;
  int length = static_cast<int>(size - 1);
  switch (data[0] % 6) {
    case 0: {
      static ckfs_session session;
      ckfs_session_init(&session);
      session.mode = 1;
      int again = 0;
      (void)ckfs_login_decode(&session, reply, length, &again);
      if (strlen(session.user_name) >= sizeof session.user_name) __builtin_trap();
      break;
    }
    case 1:
    case 2: {
      ckfs_find_request request{};
      if (ckfs_find_decode(reply, length, data[0] % 6 == 2, &request) == 0) {
        for (int i = 0; i < list_count(request.entries); ++i) {
          auto* entry = reinterpret_cast<ckfs_find_entry*>(list_item(request.entries, i));
          if (strlen(entry->name) > entry->name_length) __builtin_trap();
        }
        ckfs_find_free(&request);
      }
      break;
    }
    case 3: {
      ckfs_wopen_request request{};
      (void)ckfs_wopen_decode(reply, length, &request);
      break;
    }
    case 4: {
      ckfs_write_request request{};
      (void)ckfs_write_decode(reply, length, &request);
      break;
    }
    default: {
      ckfs_delete_request request{};
      (void)ckfs_delete_decode(reply, length, &request);
      break;
    }
  }
  return 0;
}
