// OpenSSL's locks as Java monitors: one process-wide array of plain java.lang.Object
// instances, one per lock number, and the Java VM that the locking callback gets its
// thread's environment from. Both are set once by bridge_locks_init and kept until the
// process ends. Thread-safe.
//
// OpenSSL 3 locks internally and never calls a locking callback; the array and the
// callback are still installed so that the desktop client's contract (initMT before
// concurrent use, monitors as locks) holds with any libcrypto.
#pragma once

#include <jni.h>

// Lock numbers of the libcrypto interface the client was written against (0 to 32).
// OpenSSL 3 reports a single lock; the array never has fewer monitors than this.
inline constexpr int kBridgeLegacyLockCount = 33;

// What initMT does: makes the monitor array, keeps a global reference to it and the VM,
// and installs bridge_locking_callback. On failure a Java exception is pending (the VM's
// own, or OutOfMemoryError "memory exhausted", or Exception "Unable to get Java VM") and
// nothing is kept. Once it has succeeded, later calls keep the first array and return at
// once: replacing it could strand a monitor that another thread holds.
void bridge_locks_init(JNIEnv* env);

// The locking callback (mode, lock number, source file, line): bit 0 of mode (CRYPTO_LOCK)
// enters the numbered monitor, otherwise it is left; read and write requests are treated
// alike, and monitors are re-entrant. Runs on a thread that entered through an export.
// Failures leave a java.lang.Exception pending with the fixed texts; an exception that was
// already pending is kept (the lock operation still happens). A thread without a JNI
// environment gets one line of debugger output and no lock.
void bridge_locking_callback(int mode, int n, const char* file, int line);

// The monitor array (a global reference), or null before bridge_locks_init succeeds.
jobjectArray bridge_lock_array();
