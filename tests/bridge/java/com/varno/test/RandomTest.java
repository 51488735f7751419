package com.varno.test;

import com.varno.Native;
import java.util.Arrays;

public final class RandomTest {
  static {
    Bridge.load();
  }

  public void testCountsZeroAndNegative() {
    byte[] none = Native.RANDget(0);
    Check.isTrue(none != null, "RANDget(0) answers an array");
    Check.equal(0, none.length, "RANDget(0) length");
    Check.isTrue(Native.RANDget(-1) == null, "RANDget(-1) answers null");
    Check.isTrue(Native.RANDget(Integer.MIN_VALUE) == null, "RANDget(MIN_VALUE) answers null");
  }

  public void testDrawsAreFreshBytes() {
    byte[] a = Native.RANDget(64);
    byte[] b = Native.RANDget(64);
    Check.equal(64, a.length, "length");
    Check.isFalse(Arrays.equals(a, b), "two draws differ");
    Check.isFalse(Arrays.equals(a, new byte[64]), "not all zero");
  }

  public void testSeedingAcceptsAnyArray() {
    Native.RANDseed(null);
    Native.RANDseed(new byte[0]);
    Native.RANDseed(new byte[] {1, 2, 3, 4, 5, 6, 7, 8});
    Check.equal(1 << 20, Native.RANDget(1 << 20).length, "draw after seeding");
  }
}
