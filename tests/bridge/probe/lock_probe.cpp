// Test-only JNI library: reaches the lock monitors and the locking callback, which
// OpenSSL 3 never calls. It links the same code as libvarno (its own copy of the state).
#include <jni.h>
#include <openssl/crypto.h>

#include <sched.h>
#include <thread>

#include "bridge/locks.h"

namespace {

// Incremented non-atomically under a lock; lost updates show a lock that does not exclude.
volatile long g_counter = 0;

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_varno_test_LockProbe_init(JNIEnv* env, jclass) {
  bridge_locks_init(env);
}

JNIEXPORT jobjectArray JNICALL Java_com_varno_test_LockProbe_locks(JNIEnv* env, jclass) {
  jobjectArray locks = bridge_lock_array();
  return locks == nullptr ? nullptr : static_cast<jobjectArray>(env->NewLocalRef(locks));
}

JNIEXPORT void JNICALL Java_com_varno_test_LockProbe_callback(JNIEnv*, jclass, jint mode, jint n) {
  bridge_locking_callback(mode, n, __FILE__, __LINE__);
}

// Leaves a RuntimeException("earlier") pending, then takes lock n.
JNIEXPORT void JNICALL Java_com_varno_test_LockProbe_lockWithPendingException(JNIEnv* env, jclass,
                                                                              jint n) {
  jclass cls = env->FindClass("java/lang/RuntimeException");
  if (cls == nullptr) return;
  env->ThrowNew(cls, "earlier");
  env->DeleteLocalRef(cls);
  bridge_locking_callback(CRYPTO_LOCK | CRYPTO_WRITE, n, __FILE__, __LINE__);
}

// Calls the callback from a thread the VM does not know; answers when it has returned.
JNIEXPORT void JNICALL Java_com_varno_test_LockProbe_lockFromForeignThread(JNIEnv*, jclass,
                                                                           jint n) {
  std::thread foreign([n] { bridge_locking_callback(CRYPTO_LOCK, n, __FILE__, __LINE__); });
  foreign.join();
}

JNIEXPORT void JNICALL Java_com_varno_test_LockProbe_countUnderLock(JNIEnv*, jclass, jint n,
                                                                    jint iterations) {
  for (jint i = 0; i < iterations; ++i) {
    bridge_locking_callback(CRYPTO_LOCK | CRYPTO_WRITE, n, __FILE__, __LINE__);
    long seen = g_counter;
    sched_yield();
    g_counter = seen + 1;
    bridge_locking_callback(CRYPTO_UNLOCK | CRYPTO_WRITE, n, __FILE__, __LINE__);
  }
}

JNIEXPORT jlong JNICALL Java_com_varno_test_LockProbe_counter(JNIEnv*, jclass) {
  return g_counter;
}

}  // extern "C"
