package com.varno.test;

/**
 * The test-only probe library: the lock monitors and the locking callback linked from the same
 * code as libvarno, reachable although OpenSSL 3 never calls the callback.
 */
final class LockProbe {
  private LockProbe() {}

  static final int CRYPTO_LOCK = 1;
  static final int CRYPTO_UNLOCK = 2;
  static final int CRYPTO_READ = 4;
  static final int CRYPTO_WRITE = 8;

  static {
    System.load(Bridge.property("varno.probe"));
  }

  static native void init();

  static native Object[] locks();

  static native void callback(int mode, int n);

  static native void lockWithPendingException(int n);

  static native void lockFromForeignThread(int n);

  static native void countUnderLock(int n, int iterations);

  static native long counter();
}
