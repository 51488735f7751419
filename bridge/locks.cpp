#include "bridge/locks.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "bridge/bridge.h"
#include "platform/debug.h"

namespace {

constexpr char kException[] = "java/lang/Exception";
constexpr char kTextNoVm[] = "Unable to get Java VM";
constexpr char kTextNoEnv[] = "Internal ZPK/openssl error: unable to get env";
constexpr char kTextBadLock[] = "Internal ZPK/openssl error: bad lock requested";
constexpr char kTextEnter[] = "Internal ZPK/openssl error: unable to enter monitor";
constexpr char kTextExit[] = "Internal ZPK/openssl error: unable to exit monitor";

// Process-wide, set once: the array is published before the VM, and the callback reads
// the VM first, so a callback that sees the VM also sees the array.
std::atomic<jobjectArray> g_locks{nullptr};
std::atomic<JavaVM*> g_vm{nullptr};
std::mutex g_init_mutex;  // serialises initMT calls only; never taken by the callback

}  // namespace

void bridge_locks_init(JNIEnv* env) {
  std::lock_guard<std::mutex> hold(g_init_mutex);
  if (g_locks.load(std::memory_order_acquire) != nullptr) return;

  JniLocal<jclass> object_class(env, env->FindClass("java/lang/Object"));
  if (!object_class) return;
  jmethodID constructor = env->GetMethodID(object_class.get(), "<init>", "()V");
  if (constructor == nullptr) return;

  const jsize count = std::max(CRYPTO_num_locks(), kBridgeLegacyLockCount);
  JniLocal<jobjectArray> array(env, env->NewObjectArray(count, object_class.get(), nullptr));
  if (!array) return;
  for (jsize i = 0; i < count; ++i) {
    JniLocal<jobject> monitor(env, env->NewObject(object_class.get(), constructor));
    if (!monitor) return;
    env->SetObjectArrayElement(array.get(), i, monitor.get());
    if (env->ExceptionCheck()) return;
  }

  auto global = static_cast<jobjectArray>(env->NewGlobalRef(array.get()));
  if (global == nullptr) {
    jni_throw(env, kOutOfMemoryError, kTextMemoryExhausted);
    return;
  }
  JavaVM* vm = nullptr;
  if (env->GetJavaVM(&vm) != JNI_OK || vm == nullptr) {
    env->DeleteGlobalRef(global);
    jni_throw(env, kException, kTextNoVm);
    return;
  }
  g_locks.store(global, std::memory_order_release);
  g_vm.store(vm, std::memory_order_release);
  // A no-op with OpenSSL 3, which has its own locks.
  CRYPTO_set_locking_callback(bridge_locking_callback);
}

void bridge_locking_callback(int mode, int n, const char* /*file*/, int /*line*/) {
  JavaVM* vm = g_vm.load(std::memory_order_acquire);
  JNIEnv* env = nullptr;
  if (vm == nullptr || vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_4) != JNI_OK) {
    plat_debug_output(kTextNoEnv);
    return;
  }
  jobjectArray locks = g_locks.load(std::memory_order_acquire);

  // A lock or unlock must never be skipped (a skipped unlock deadlocks the next caller),
  // so an exception left by an earlier step is set aside while the monitor is used.
  JniLocal<jthrowable> earlier(env, env->ExceptionOccurred());
  if (earlier) env->ExceptionClear();

  const char* failure = nullptr;
  JniLocal<jobject> monitor(env, env->GetObjectArrayElement(locks, n));
  if (env->ExceptionCheck() || !monitor) {
    failure = kTextBadLock;
  } else if ((mode & CRYPTO_LOCK) != 0) {
    if (env->MonitorEnter(monitor.get()) != JNI_OK) failure = kTextEnter;
  } else if (env->MonitorExit(monitor.get()) != JNI_OK) {
    failure = kTextExit;
  }

  if (earlier) {
    if (env->ExceptionCheck()) env->ExceptionClear();
    env->Throw(earlier.get());
  } else if (failure != nullptr) {
    jni_throw(env, kException, failure);
  }
}

jobjectArray bridge_lock_array() {
  return g_locks.load(std::memory_order_acquire);
}
