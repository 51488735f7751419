// Installation values, single instance and restart, shell and window services. Each
// export maps Java values onto one utility or platform call and its answer back; the
// logic lives in util/ (volumes, walker, security attributes, exclusions, token, key) and
// platform/ (file times, icons, launching, the instance lock, windows).
//
// Ownership here: icon handles made by the two icon exports belong to the caller until
// SHELLgetIconBits destroys them; item identifier lists always stay the caller's. Volume
// lists and security records are freed before the export returns. The single-instance
// lock, once taken, is held by the platform layer until the process ends.
#include <openssl/crypto.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "com_varno_Native.h"
#include "platform/env.h"
#include "platform/icon.h"
#include "platform/instance.h"
#include "platform/launch.h"
#include "platform/window.h"
#include "util/error.h"
#include "util/fs.h"
#include "util/fsa.h"
#include "util/ignore.h"
#include "util/list.h"
#include "util/machine.h"

namespace {

constexpr char kVolumeClass[] = "com/varno/io/Volume";
constexpr char kVolumeConstructor[] =
    "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;I)V";
constexpr char kCallbackName[] = "callback";
constexpr char kCallbackSignature[] = "(ZJJ)Z";
constexpr char kIOException[] = "java/io/IOException";
constexpr char kTextPathNull[] = "path is null";
constexpr char kTextCallbackNull[] = "callback is null";
constexpr char kLockFile[] = "etc\\.lock";
constexpr char kWindowTitle[] = "Varno Backup";
constexpr char kRestartFormat[] = "\"varno.exe\" %lu %d";
constexpr int kMaxSkipPrefixes = 128;
constexpr int kMaxIconSize = 64;
constexpr int kIconPixels = kMaxIconSize * kMaxIconSize;

struct ListFree {
  void operator()(List* list) const { list_free(list); }
};
struct FsaFree {
  void operator()(FsaRecord* record) const { free(record); }
};

jboolean to_jboolean(bool value) {
  return value ? JNI_TRUE : JNI_FALSE;
}

// Whether `text` is well-formed modified UTF-8 (no 4-byte forms, no stray continuation).
bool is_modified_utf8(const char* text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    int follow = *p < 0x80 ? 0 : (*p & 0xE0) == 0xC0 ? 1 : (*p & 0xF0) == 0xE0 ? 2 : -1;
    if (follow < 0) return false;
    ++p;
    for (int i = 0; i < follow; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
    }
  }
  return true;
}

// A Java string from a narrow system text (a label, a path). The JVM takes only modified
// UTF-8; other bytes are read one character each (Latin-1) rather than handed over
// malformed.
jstring new_system_string(JNIEnv* env, const char* text) {
  if (is_modified_utf8(text)) return env->NewStringUTF(text);
  std::vector<jchar> chars;
  for (const char* p = text; *p != 0; ++p) chars.push_back(static_cast<unsigned char>(*p));
  return env->NewString(chars.data(), static_cast<jsize>(chars.size()));
}

// Whether the walked `path` lies under the skip `prefix`: equal ignoring case, or the
// prefix a bare drive ("D:"), or the path going on with a backslash after it.
bool matches_skip_prefix(const char* path, size_t path_length, const std::string& prefix) {
  if (prefix.size() > path_length || strncasecmp(path, prefix.c_str(), prefix.size()) != 0) {
    return false;
  }
  return prefix.size() == path_length || (prefix.size() == 2 && prefix[1] == ':') ||
         path[prefix.size()] == '\\';
}

struct DirStat {
  JNIEnv* env;
  jobject callback;
  jmethodID method;
  std::vector<std::string> skip;
};

int dir_stat_entry(const walk_entry* entry, void* user_data) {
  auto* stat = static_cast<DirStat*>(user_data);
  const auto length = static_cast<size_t>(entry->path_length);
  for (const std::string& prefix : stat->skip) {
    if (matches_skip_prefix(entry->path, length, prefix)) return WALK_SKIP;
  }
  const bool is_file = (entry->mode & 0xF000) == 0x8000;
  jboolean keep_going = stat->env->CallBooleanMethod(
      stat->callback, stat->method, to_jboolean(is_file), static_cast<jlong>(entry->size),
      static_cast<jlong>(entry->size_on_disk));
  // A Java exception counts as "stop"; it stays pending for the caller.
  if (stat->env->ExceptionCheck()) return WALK_STOP;
  return keep_going ? WALK_CONTINUE : WALK_STOP;
}

uint32_t icon_flags(jboolean large, jboolean open) {
  uint32_t flags = 0;
  if (!large) flags |= PLAT_ICON_SMALL;
  if (open) flags |= PLAT_ICON_OPEN;
  return flags;
}

jlong seconds_to_millis(int64_t seconds) {
  return static_cast<jlong>(seconds) * 1000;
}

}  // namespace

// Installation values. An unreadable key answers 32 zero bytes, no exception.
extern "C" JNIEXPORT jbyteArray JNICALL Java_com_varno_Native_VARNOgetApplicationKey(JNIEnv* env,
                                                                                     jclass) {
  JniLocal<jbyteArray> array(env, env->NewByteArray(APPLICATION_KEY_SIZE));
  if (!array) return nullptr;
  uint8_t key[APPLICATION_KEY_SIZE] = {};
  if (get_application_key(key) == 0) {
    env->SetByteArrayRegion(array.get(), 0, APPLICATION_KEY_SIZE,
                            reinterpret_cast<const jbyte*>(key));
  }
  OPENSSL_cleanse(key, sizeof key);
  return array.release();
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_varno_Native_VARNOgetMachineToken(JNIEnv* env,
                                                                                   jclass) {
  JniLocal<jbyteArray> array(env, env->NewByteArray(MACHINE_TOKEN_SIZE));
  if (!array) return nullptr;
  uint8_t token[MACHINE_TOKEN_SIZE] = {};
  get_machine_token(token);
  env->SetByteArrayRegion(array.get(), 0, MACHINE_TOKEN_SIZE,
                          reinterpret_cast<const jbyte*>(token));
  return array.release();
}

// False when this call took the single-instance lock. Otherwise (another holder, this
// process itself, or no "etc" folder to create the lock file in) the running client's
// window is brought forward where there is one, and the answer is true.
extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_VARNOisRunning(JNIEnv*, jclass) {
  if (plat_instance_lock(kLockFile) == 0) return JNI_FALSE;
  plat_window_restore_and_raise(kWindowTitle);
  return JNI_TRUE;
}

// Starts the launcher with this process's id and `code`, then ends the VM through
// System.exit(0) whether or not the launcher started.
extern "C" JNIEXPORT void JNICALL Java_com_varno_Native_VARNOrestart(JNIEnv* env, jclass,
                                                                     jint code) {
  char line[64];
  snprintf(line, sizeof line, kRestartFormat, static_cast<unsigned long>(plat_current_process_id()),
           static_cast<int>(code));
  (void)plat_start_command_line(line);  // exits whether or not the launcher started
  JniLocal<jclass> system(env, env->FindClass("java/lang/System"));
  if (!system) return;
  jmethodID exit = env->GetStaticMethodID(system.get(), "exit", "(I)V");
  if (exit == nullptr) return;
  env->CallStaticVoidMethod(system.get(), exit, 0);
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_SHELLexecuteFile(JNIEnv* env, jclass,
                                                                             jstring path) {
  JniUtf text(env, path);
  if (text.c_str() == nullptr) return JNI_FALSE;
  return to_jboolean(plat_shell_open(text.c_str()) == 0);
}

extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_SHELLgetBlockSize(JNIEnv* env, jclass,
                                                                          jstring path) {
  JniUtf text(env, path);
  if (text.c_str() == nullptr) return 0;
  return get_cluster_size(text.c_str());
}

// One of the file's times in milliseconds, or 0 when the path or its times cannot be read.
static jlong file_time_millis(JNIEnv* env, jstring path, bool creation) {
  JniUtf text(env, path);
  PlatFileTimes times{};
  if (text.c_str() == nullptr || plat_env()->file_times(text.c_str(), &times) != 0) return 0;
  return seconds_to_millis(creation ? times.creation : times.last_access);
}

extern "C" JNIEXPORT jlong JNICALL Java_com_varno_Native_SHELLgetCTime(JNIEnv* env, jclass,
                                                                       jstring path) {
  return file_time_millis(env, path, true);
}

extern "C" JNIEXPORT jlong JNICALL Java_com_varno_Native_SHELLlastAccessed(JNIEnv* env, jclass,
                                                                           jstring path) {
  return file_time_millis(env, path, false);
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_varno_Native_SHELLgetFSA(JNIEnv* env, jclass,
                                                                          jstring path) {
  JniUtf text(env, path);
  if (text.c_str() == nullptr) return nullptr;
  std::unique_ptr<FsaRecord, FsaFree> record(get_fsa(plat_env(), text.c_str()));
  if (!record) return nullptr;
  long size = fsa_serialized_size(record.get());
  if (size < 0) return nullptr;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (fsa_serialize(record.get(), bytes.data()) != 0) return nullptr;
  JniLocal<jbyteArray> array(env, env->NewByteArray(static_cast<jsize>(size)));
  if (!array) return nullptr;
  env->SetByteArrayRegion(array.get(), 0, static_cast<jsize>(size),
                          reinterpret_cast<const jbyte*>(bytes.data()));
  return array.release();
}

// Refuses (false) a form shorter than its header or one whose stated descriptor length
// exceeds the room or the bytes given; a form without a descriptor leaves the record
// empty, which cannot be applied.
extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_SHELLsetFSA(JNIEnv* env, jclass,
                                                                        jstring path,
                                                                        jbyteArray attributes) {
  JniUtf text(env, path);
  if (text.c_str() == nullptr || attributes == nullptr) return JNI_FALSE;
  std::unique_ptr<FsaRecord, FsaFree> record(static_cast<FsaRecord*>(calloc(1, sizeof(FsaRecord))));
  if (!record) return JNI_FALSE;
  {
    JniCritical bytes(env, attributes, false);
    if (bytes.length() < static_cast<jsize>(FSA_HEADER_SIZE)) return JNI_FALSE;
    const uint8_t* data = bytes.pin();
    if (data == nullptr) return JNI_FALSE;
    // Only memory work while the array is pinned; the file is changed after release.
    if (fsa_deserialize(data, static_cast<size_t>(bytes.length()), record.get()) != 0) {
      return JNI_FALSE;
    }
  }
  return to_jboolean(set_fsa(plat_env(), text.c_str(), record.get()) == 0);
}

// The icon's pixels (0xAARRGGBB, alpha forced to 0xFF where the mask is clear). On
// success the icon is destroyed; on failure it stays the caller's.
extern "C" JNIEXPORT jintArray JNICALL Java_com_varno_Native_SHELLgetIconBits(JNIEnv* env, jclass,
                                                                              jlong handle,
                                                                              jint size) {
  if (size < 0 || size > kMaxIconSize) return nullptr;
  auto* icon = handle_to_pointer<PlatIcon>(handle);
  if (icon == nullptr) return nullptr;
  const int pixels = size * size;
  std::vector<uint32_t> colour(kIconPixels), mask(kIconPixels);
  if (size > 0 && plat_icon_bitmaps(icon, size, colour.data(), mask.data()) != 0) {
    return nullptr;
  }
  for (int i = 0; i < pixels; ++i) {
    if (mask[i] == 0) colour[i] |= 0xFF000000u;
  }
  JniLocal<jintArray> array(env, env->NewIntArray(pixels));
  if (!array) return nullptr;
  env->SetIntArrayRegion(array.get(), 0, pixels, reinterpret_cast<const jint*>(colour.data()));
  plat_icon_destroy(icon);
  return array.release();
}

extern "C" JNIEXPORT jlong JNICALL Java_com_varno_Native_SHELLgetIconFromPIDL(JNIEnv*, jclass,
                                                                              jlong list,
                                                                              jboolean large,
                                                                              jboolean open) {
  const auto* items = handle_to_pointer<const PlatItemList>(list);
  if (items == nullptr) return 0;
  const uint32_t flags = icon_flags(large, open);
  return handle_from_pointer(plat_icon_from_item_list(items, flags));
}

extern "C" JNIEXPORT jlong JNICALL Java_com_varno_Native_SHELLgetIconFromPath(JNIEnv* env, jclass,
                                                                              jstring path,
                                                                              jboolean large,
                                                                              jboolean open) {
  JniUtf text(env, path);
  if (text.c_str() == nullptr) return 0;
  const uint32_t flags = icon_flags(large, open);
  return handle_from_pointer(plat_icon_from_path(text.c_str(), flags));
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_varno_Native_SHELLgetIgnorePaths(JNIEnv* env,
                                                                                    jclass) {
  List* list = get_ignore_paths();  // the process's own; never freed
  if (list == nullptr) return nullptr;
  const int count = list_count(list);
  JniLocal<jclass> string_class(env, env->FindClass("java/lang/String"));
  if (!string_class) return nullptr;
  JniLocal<jobjectArray> array(env, env->NewObjectArray(count, string_class.get(), nullptr));
  if (!array) return nullptr;
  for (int i = 0; i < count; ++i) {
    JniLocal<jstring> item(env, new_system_string(env, list_item(list, i)));
    if (!item) return nullptr;
    env->SetObjectArrayElement(array.get(), i, item.get());
  }
  return array.release();
}

// A null path is never excluded here: there is nothing to back up.
extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_SHELLisIgnorePath(JNIEnv* env, jclass,
                                                                              jstring path,
                                                                              jboolean directory) {
  JniUtf text(env, path);
  if (text.c_str() == nullptr) return JNI_FALSE;
  return to_jboolean(is_ignore_path(text.c_str(), directory == JNI_TRUE));
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_varno_Native_SHELLgetVolumes(JNIEnv* env,
                                                                                jclass) {
  std::unique_ptr<List, ListFree> volumes(get_volumes());
  const int count = list_count(volumes.get());
  if (count <= 0) return nullptr;
  JniLocal<jclass> volume_class(env, env->FindClass(kVolumeClass));
  if (!volume_class) return nullptr;
  jmethodID constructor = env->GetMethodID(volume_class.get(), "<init>", kVolumeConstructor);
  if (constructor == nullptr) return nullptr;
  JniLocal<jobjectArray> array(env, env->NewObjectArray(count, volume_class.get(), nullptr));
  if (!array) return nullptr;
  for (int i = 0; i < count; ++i) {
    const auto* v = reinterpret_cast<const VolumeRecord*>(list_item(volumes.get(), i));
    JniLocal<jstring> label(env, new_system_string(env, v->label));
    JniLocal<jstring> root(env, new_system_string(env, v->root));
    JniLocal<jstring> file_system(env, new_system_string(env, v->file_system));
    JniLocal<jstring> serial(env, new_system_string(env, v->serial));
    if (!label || !root || !file_system || !serial) return nullptr;
    JniLocal<jobject> volume(
        env, env->NewObject(volume_class.get(), constructor, label.get(), root.get(),
                            file_system.get(), serial.get(), static_cast<jint>(v->type)));
    if (!volume) return nullptr;
    env->SetObjectArrayElement(array.get(), i, volume.get());
  }
  return array.release();
}

// Totals a folder through the callback; true when the walk ran to its end or the
// callback stopped it (a Java exception from the callback stops it and stays pending).
extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_SHELLperformDirStat(
    JNIEnv* env, jclass, jstring path, jobject callback, jobjectArray skip_prefixes) {
  if (path == nullptr) {
    jni_throw(env, kNullPointerException, kTextPathNull);
    return JNI_FALSE;
  }
  if (callback == nullptr) {
    jni_throw(env, kNullPointerException, kTextCallbackNull);
    return JNI_FALSE;
  }
  DirStat stat{env, callback, nullptr, {}};
  {
    JniLocal<jclass> callback_class(env, env->GetObjectClass(callback));
    stat.method = env->GetMethodID(callback_class.get(), kCallbackName, kCallbackSignature);
    if (stat.method == nullptr) return JNI_FALSE;  // NoSuchMethodError pending
  }
  if (skip_prefixes != nullptr) {
    jsize count = env->GetArrayLength(skip_prefixes);
    if (count > kMaxSkipPrefixes) count = kMaxSkipPrefixes;
    for (jsize i = 0; i < count; ++i) {
      JniLocal<jstring> item(env,
                             static_cast<jstring>(env->GetObjectArrayElement(skip_prefixes, i)));
      if (env->ExceptionCheck()) return JNI_FALSE;
      if (!item) continue;  // a null entry skips nothing
      JniUtf prefix(env, item.get());
      if (prefix.failed()) return JNI_FALSE;
      stat.skip.emplace_back(prefix.c_str(), prefix.size());
    }
  }
  JniUtf text(env, path);
  if (text.failed()) return JNI_FALSE;
  walk_request request{WALK_RECURSE | WALK_DIRS_FIRST, nullptr, dir_stat_entry, &stat};
  if (dir_walk(text.c_str(), &request) != 0) {
    if (env->ExceptionCheck()) return JNI_FALSE;
    jni_throw(env, kIOException, error_text(errno));
    return JNI_FALSE;
  }
  return JNI_TRUE;
}

extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_WINUTILsetAlwaysOnTop(JNIEnv* env, jclass,
                                                                              jstring title,
                                                                              jboolean on_top) {
  JniUtf text(env, title);
  if (text.c_str() == nullptr) return 0;
  return plat_window_set_topmost(text.c_str(), on_top == JNI_TRUE);
}

extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_WINUTILsetMaximized(JNIEnv* env, jclass,
                                                                            jstring title) {
  JniUtf text(env, title);
  if (text.c_str() == nullptr) return 0;
  return static_cast<jint>(plat_window_command(text.c_str(), PLAT_SC_MAXIMIZE));
}

extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_WINUTILsetMinimized(JNIEnv* env, jclass,
                                                                            jstring title) {
  JniUtf text(env, title);
  if (text.c_str() == nullptr) return 0;
  return static_cast<jint>(plat_window_command(text.c_str(), PLAT_SC_MINIMIZE));
}

extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_WINUTILsetRestored(JNIEnv* env, jclass,
                                                                           jstring title) {
  JniUtf text(env, title);
  if (text.c_str() == nullptr) return 0;
  return static_cast<jint>(plat_window_command(text.c_str(), PLAT_SC_RESTORE));
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_varno_Native_WINUTILwindowExists(JNIEnv* env, jclass,
                                                                                jstring title) {
  JniUtf text(env, title);
  if (text.c_str() == nullptr) return JNI_FALSE;
  return to_jboolean(plat_window_exists(text.c_str()));
}
