package com.varno.test;

import static com.varno.test.LockProbe.CRYPTO_LOCK;
import static com.varno.test.LockProbe.CRYPTO_READ;
import static com.varno.test.LockProbe.CRYPTO_UNLOCK;
import static com.varno.test.LockProbe.CRYPTO_WRITE;

import com.varno.Native;
import java.util.ArrayList;
import java.util.List;

public final class LocksTest {
  static {
    Bridge.load();
    LockProbe.init();
  }

  private static final String BAD_LOCK = "Internal ZPK/openssl error: bad lock requested";
  private static final String EXIT = "Internal ZPK/openssl error: unable to exit monitor";

  public void testInitMTCanRunTwice() {
    Native.initMT();
    Native.initMT();
  }

  // One plain Object per lock number of the old interface, kept across further inits.
  public void testMonitorArrayIsMadeOnceWithThirtyThreeObjects() {
    Object[] locks = LockProbe.locks();
    Check.equal(33, locks.length, "monitors");
    for (Object monitor : locks) {
      Check.equal(Object.class, monitor.getClass(), "monitor class");
    }
    LockProbe.init();
    Check.isTrue(LockProbe.locks()[5] == locks[5], "second init keeps the first array");
  }

  public void testCallbackEntersAndLeavesReentrantMonitors() {
    Object monitor = LockProbe.locks()[5];
    LockProbe.callback(CRYPTO_LOCK | CRYPTO_WRITE, 5);
    Check.isTrue(Thread.holdsLock(monitor), "held after lock");
    LockProbe.callback(CRYPTO_LOCK | CRYPTO_READ, 5);
    LockProbe.callback(CRYPTO_UNLOCK | CRYPTO_READ, 5);
    Check.isTrue(Thread.holdsLock(monitor), "still held after the nested unlock");
    LockProbe.callback(CRYPTO_UNLOCK | CRYPTO_WRITE, 5);
    Check.isFalse(Thread.holdsLock(monitor), "released after the outer unlock");
    Check.isFalse(Thread.holdsLock(LockProbe.locks()[6]), "other monitors untouched");
  }

  public void testLockNumbersOutsideTheArrayThrow() {
    Check.throwsExactly(Exception.class, BAD_LOCK, () -> LockProbe.callback(CRYPTO_LOCK, 33));
    Check.throwsExactly(Exception.class, BAD_LOCK, () -> LockProbe.callback(CRYPTO_LOCK, -1));
    Check.throwsExactly(Exception.class, BAD_LOCK, () -> LockProbe.callback(CRYPTO_UNLOCK, 1000));
  }

  public void testUnlockingAMonitorNotHeldThrows() {
    Check.throwsExactly(Exception.class, EXIT, () -> LockProbe.callback(CRYPTO_UNLOCK, 3));
  }

  // The lock is taken even when an exception is already pending, and that exception is
  // the one Java sees.
  public void testPendingExceptionNeitherSkipsTheLockNorIsReplaced() {
    Object monitor = LockProbe.locks()[9];
    Check.throwsExactly(RuntimeException.class, "earlier",
        () -> LockProbe.lockWithPendingException(9));
    Check.isTrue(Thread.holdsLock(monitor), "held");
    LockProbe.callback(CRYPTO_UNLOCK, 9);
    Check.isFalse(Thread.holdsLock(monitor), "released");
  }

  // A thread unknown to the VM gets no lock and no crash, and leaves the monitor free.
  public void testForeignThreadGetsNoLock() throws Exception {
    LockProbe.lockFromForeignThread(11);
    Thread other = new Thread(() -> {
      LockProbe.callback(CRYPTO_LOCK, 11);
      LockProbe.callback(CRYPTO_UNLOCK, 11);
    });
    other.start();
    other.join();
    Check.isFalse(Thread.holdsLock(LockProbe.locks()[11]), "free");
  }

  // A read-modify-write with a yield inside, under one lock number from many threads:
  // without mutual exclusion updates get lost.
  public void testMonitorsExcludeOtherThreads() throws Exception {
    final int threads = 8;
    final int iterations = 2000;
    long before = LockProbe.counter();
    List<Thread> workers = new ArrayList<>();
    for (int t = 0; t < threads; t++) {
      Thread worker = new Thread(() -> LockProbe.countUnderLock(7, iterations));
      workers.add(worker);
      worker.start();
    }
    for (Thread worker : workers) {
      worker.join();
    }
    Check.equal(before + (long) threads * iterations, LockProbe.counter(), "counter");
  }
}
