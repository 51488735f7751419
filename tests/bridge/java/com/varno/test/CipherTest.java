package com.varno.test;

import com.varno.Native;
import java.io.ByteArrayOutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

public final class CipherTest {
  static {
    Bridge.load();
  }

  private static final int AES = 3;
  private static final byte[] KEY = sequence(32, 1);
  private static final byte[] IV = sequence(16, 101);

  private static byte[] sequence(int length, int first) {
    byte[] bytes = new byte[length];
    for (int i = 0; i < length; i++) {
      bytes[i] = (byte) (first + i);
    }
    return bytes;
  }

  /** Whole-buffer run through one context: update in slices of `slice`, then final. */
  private static byte[] crypt(long ctx, int type, byte[] key, int direction, byte[] in, int slice) {
    Native.CIPHERinit(ctx, type, key, IV, direction);
    ByteArrayOutputStream result = new ByteArrayOutputStream();
    byte[] out = new byte[slice + 16];
    for (int at = 0; at < in.length; at += slice) {
      int n = Math.min(slice, in.length - at);
      result.write(out, 0, Native.CIPHERupdate(ctx, out, 0, in, at, n));
    }
    result.write(out, 0, Native.CIPHERfinal(ctx, out, 0));
    return result.toByteArray();
  }

  private static byte[] crypt(int type, byte[] key, int direction, byte[] in, int slice) {
    long ctx = Native.CIPHERcreate();
    try {
      return crypt(ctx, type, key, direction, in, slice);
    } finally {
      Native.CIPHERfree(ctx);
    }
  }

  public void testEmptyInputEncryptsToOnePaddingBlock() {
    long ctx = Native.CIPHERcreate();
    Native.CIPHERinit(ctx, AES, KEY, IV, 1);
    byte[] out = new byte[16];
    Check.equal(0, Native.CIPHERupdate(ctx, out, 0, new byte[0], 0, 0), "update");
    Check.equal(16, Native.CIPHERfinal(ctx, out, 0), "final");
    Native.CIPHERfree(ctx);
  }

  public void testOneBlockRoundTripsThroughOneContext() {
    long ctx = Native.CIPHERcreate();
    byte[] plain = sequence(16, 7);
    byte[] cipher = new byte[32];
    Native.CIPHERinit(ctx, AES, KEY, IV, 1);
    Check.equal(16, Native.CIPHERupdate(ctx, cipher, 0, plain, 0, 16), "encrypt update");
    Check.equal(16, Native.CIPHERfinal(ctx, cipher, 16), "encrypt final");

    // Finalising does not clean the context: it takes a new init and decrypts.
    byte[] back = new byte[48];
    Native.CIPHERinit(ctx, AES, KEY, IV, 0);
    int n = Native.CIPHERupdate(ctx, back, 0, cipher, 0, 32);
    n += Native.CIPHERfinal(ctx, back, n);
    Check.equal(16, n, "decrypted bytes");
    Check.bytesEqual(plain, Arrays.copyOf(back, 16), "plaintext");
    Native.CIPHERfree(ctx);
  }

  // openssl enc, which nobody here wrote, agrees in both directions, whatever the slicing.
  public void testAesMatchesOpensslEnc() throws Exception {
    byte[] plain = new byte[1000];
    new Random(42).nextBytes(plain);
    Path dir = Bridge.tempDir();
    Path plainFile = Files.write(dir.resolve("plain"), plain);
    byte[] expected = Bridge.run(plainFile, "openssl", "enc", "-aes-256-cbc",
        "-K", Bridge.hex(KEY), "-iv", Bridge.hex(IV));
    Check.equal(1008, expected.length, "openssl output length");
    for (int slice : new int[] {1, 15, 16, 17, 1000}) {
      Check.bytesEqual(expected, crypt(AES, KEY, 1, plain, slice), "encrypted in slices of " + slice);
      Check.bytesEqual(plain, crypt(AES, KEY, 0, expected, slice), "decrypted in slices of " + slice);
    }
    Path cipherFile = Files.write(dir.resolve("cipher"), crypt(AES, KEY, 1, plain, 333));
    byte[] decrypted = Bridge.run(cipherFile, "openssl", "enc", "-d", "-aes-256-cbc",
        "-K", Bridge.hex(KEY), "-iv", Bridge.hex(IV));
    Check.bytesEqual(plain, decrypted, "openssl decrypts ours");
  }

  public void testOffsetsApplyToBothArrays() {
    byte[] plain = sequence(40, 3);
    byte[] expected = crypt(AES, KEY, 1, Arrays.copyOfRange(plain, 5, 37), 32);
    long ctx = Native.CIPHERcreate();
    Native.CIPHERinit(ctx, AES, KEY, IV, 1);
    byte[] out = new byte[9 + 32 + 16];
    int n = Native.CIPHERupdate(ctx, out, 9, plain, 5, 32);
    n += Native.CIPHERfinal(ctx, out, 9 + n);
    Check.equal(48, n, "bytes written");
    Check.bytesEqual(expected, Arrays.copyOfRange(out, 9, 57), "ciphertext at offset 9");
    Check.bytesEqual(new byte[9], Arrays.copyOf(out, 9), "bytes before the offset untouched");
    Native.CIPHERfree(ctx);
  }

  public void testOtherTypesPassDataThrough() {
    byte[] data = sequence(37, 9);
    for (int type : new int[] {0, 1, 2, 4, -3}) {
      long ctx = Native.CIPHERcreate();
      // The pass-through needs no key or IV bytes, and no room beyond the input.
      Native.CIPHERinit(ctx, type, new byte[0], new byte[0], 1);
      byte[] out = new byte[37];
      Check.equal(37, Native.CIPHERupdate(ctx, out, 0, data, 0, 37), "update, type " + type);
      Check.bytesEqual(data, out, "output, type " + type);
      Check.equal(0, Native.CIPHERfinal(ctx, new byte[0], 0), "final, type " + type);
      Native.CIPHERfree(ctx);
    }
  }

  public void testWrongKeyEndsWithFinalZeroAndNoException() {
    byte[] plain = sequence(100, 0);
    byte[] cipher = crypt(AES, KEY, 1, plain, 100);
    byte[] wrongKey = KEY.clone();
    wrongKey[0] ^= 1;
    long ctx = Native.CIPHERcreate();
    Native.CIPHERinit(ctx, AES, wrongKey, IV, 0);
    byte[] out = new byte[cipher.length + 16];
    Check.equal(96, Native.CIPHERupdate(ctx, out, 0, cipher, 0, cipher.length), "update");
    Check.equal(0, Native.CIPHERfinal(ctx, out, 96), "final with bad padding");
    // The context is still usable.
    Check.bytesEqual(plain, crypt(ctx, AES, KEY, 0, cipher, 50), "right key afterwards");
    Native.CIPHERfree(ctx);
  }

  public void testDirectionMinusOneKeepsThePreviousDirection() {
    byte[] plain = sequence(20, 50);
    byte[] cipher = crypt(AES, KEY, 1, plain, 20);
    long ctx = Native.CIPHERcreate();
    Native.CIPHERinit(ctx, AES, KEY, IV, 0);
    Check.bytesEqual(plain, crypt(ctx, AES, KEY, -1, cipher, 32), "still decrypting");
    Native.CIPHERfree(ctx);
  }

  public void testUninitialisedContextWritesNothing() {
    long ctx = Native.CIPHERcreate();
    byte[] out = new byte[64];
    Check.equal(0, Native.CIPHERupdate(ctx, out, 0, new byte[16], 0, 16), "update");
    Check.equal(0, Native.CIPHERfinal(ctx, out, 0), "final");
    Native.CIPHERfree(ctx);
  }

  // Ranges outside the Java arrays are refused before OpenSSL could write past them.
  public void testRangesOutsideTheArraysThrow() {
    long ctx = Native.CIPHERcreate();
    Native.CIPHERinit(ctx, AES, KEY, IV, 1);
    String range = "array offset or length out of range";
    Class<ArrayIndexOutOfBoundsException> oob = ArrayIndexOutOfBoundsException.class;
    Check.throwsExactly(oob, range,
        () -> Native.CIPHERupdate(ctx, new byte[31], 0, new byte[16], 0, 16));
    Check.throwsExactly(oob, range,
        () -> Native.CIPHERupdate(ctx, new byte[64], 33, new byte[16], 0, 16));
    Check.throwsExactly(oob, range,
        () -> Native.CIPHERupdate(ctx, new byte[64], -1, new byte[16], 0, 16));
    Check.throwsExactly(oob, range,
        () -> Native.CIPHERupdate(ctx, new byte[64], 0, new byte[16], 1, 16));
    Check.throwsExactly(oob, range,
        () -> Native.CIPHERupdate(ctx, new byte[64], 0, new byte[16], 0, -1));
    Check.throwsExactly(oob, range, () -> Native.CIPHERfinal(ctx, new byte[20], 5));
    Check.throwsExactly(oob, range, () -> Native.CIPHERinit(ctx, AES, new byte[31], IV, 1));
    Check.throwsExactly(oob, range, () -> Native.CIPHERinit(ctx, AES, KEY, new byte[15], 1));
    // Exactly the room OpenSSL may use is enough.
    Check.equal(16, Native.CIPHERupdate(ctx, new byte[32], 0, new byte[16], 0, 16), "exact room");
    Check.equal(16, Native.CIPHERfinal(ctx, new byte[20], 4), "exact room for final");
    Native.CIPHERfree(ctx);
  }

  public void testNullArraysThrow() {
    long ctx = Native.CIPHERcreate();
    Class<NullPointerException> npe = NullPointerException.class;
    Check.throwsExactly(npe, "key/iv cannot be null", () -> Native.CIPHERinit(ctx, AES, null, IV, 1));
    Check.throwsExactly(npe, "key/iv cannot be null", () -> Native.CIPHERinit(ctx, 0, KEY, null, 1));
    Native.CIPHERinit(ctx, AES, KEY, IV, 1);
    Check.throwsExactly(npe, "in/out cannot be null",
        () -> Native.CIPHERupdate(ctx, null, 0, new byte[1], 0, 1));
    Check.throwsExactly(npe, "in/out cannot be null",
        () -> Native.CIPHERupdate(ctx, new byte[32], 0, null, 0, 1));
    Check.throwsExactly(npe, "in/out cannot be null", () -> Native.CIPHERfinal(ctx, null, 0));
    Native.CIPHERfree(ctx);
  }

  // Many Java threads, each with its own contexts, after initMT: every result must equal
  // the one computed alone.
  public void testConcurrentUseAfterInitMT() throws Exception {
    Native.initMT();
    final int threads = 8;
    final int rounds = 200;
    byte[] plain = new byte[4096];
    new Random(7).nextBytes(plain);
    byte[] expected = crypt(AES, KEY, 1, plain, 4096);
    ExecutorService pool = Executors.newFixedThreadPool(threads);
    try {
      List<Future<Integer>> results = new ArrayList<>();
      for (int t = 0; t < threads; t++) {
        final int seed = t;
        results.add(pool.submit(() -> {
          Random random = new Random(seed);
          int done = 0;
          for (int r = 0; r < rounds; r++) {
            int slice = 1 + random.nextInt(700);
            Check.bytesEqual(expected, crypt(AES, KEY, 1, plain, slice), "encrypt");
            Check.bytesEqual(plain, crypt(AES, KEY, 0, expected, slice), "decrypt");
            Check.equal(slice, Native.RANDget(slice).length, "random bytes");
            done++;
          }
          return done;
        }));
      }
      for (Future<Integer> result : results) {
        Check.equal(rounds, result.get().intValue(), "rounds completed");
      }
    } finally {
      pool.shutdown();
    }
  }
}
