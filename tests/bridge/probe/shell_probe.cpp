// Test-only: item identifier lists, which the desktop client gets from the shell and no
// export of libvarno makes. Same record as the library's (platform/icon.h).
#include <jni.h>

#include "bridge/bridge.h"
#include "platform/icon.h"

extern "C" {

JNIEXPORT jlong JNICALL Java_com_varno_test_ShellProbe_itemList(JNIEnv* env, jclass, jstring path) {
  JniUtf text(env, path);
  if (text.c_str() == nullptr) return 0;
  return handle_from_pointer(plat_item_list_from_path(text.c_str()));
}

JNIEXPORT void JNICALL Java_com_varno_test_ShellProbe_freeItemList(JNIEnv*, jclass, jlong list) {
  plat_item_list_free(handle_to_pointer<PlatItemList>(list));
}

}  // extern "C"
