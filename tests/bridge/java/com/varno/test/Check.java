package com.varno.test;

import java.util.Arrays;
import java.util.Objects;

/** Assertions for the bridge tests; a failed one throws AssertionError. */
final class Check {
  private Check() {}

  interface Body {
    void run() throws Exception;
  }

  static void isTrue(boolean condition, String what) {
    if (!condition) {
      throw new AssertionError(what);
    }
  }

  static void isFalse(boolean condition, String what) {
    isTrue(!condition, what);
  }

  static void equal(Object expected, Object actual, String what) {
    if (!Objects.equals(expected, actual)) {
      throw new AssertionError(what + ": expected <" + expected + "> but was <" + actual + ">");
    }
  }

  static void equal(long expected, long actual, String what) {
    if (expected != actual) {
      throw new AssertionError(what + ": expected <" + expected + "> but was <" + actual + ">");
    }
  }

  static void bytesEqual(byte[] expected, byte[] actual, String what) {
    if (!Arrays.equals(expected, actual)) {
      throw new AssertionError(
          what + ": expected " + Arrays.toString(expected) + " but was " + Arrays.toString(actual));
    }
  }

  /** Runs body and answers what it threw, which must be exactly of class type with text. */
  static <T extends Throwable> T throwsExactly(Class<T> type, String text, Body body) {
    try {
      body.run();
    } catch (Throwable t) {
      if (t.getClass() != type) {
        throw new AssertionError("expected " + type.getName() + " but got " + t, t);
      }
      equal(text, t.getMessage(), "exception text");
      return type.cast(t);
    }
    throw new AssertionError("expected " + type.getName() + " \"" + text + "\", nothing thrown");
  }
}
