package com.varno.test;

import com.varno.Native;

public final class ValidationTest {
  static {
    Bridge.load();
  }

  public void testUsernames() {
    Check.isFalse(Native.KFSisValidUsername("abc"), "3 characters");
    Check.isTrue(Native.KFSisValidUsername("abcd"), "4 characters");
    Check.isTrue(Native.KFSisValidUsername("abc_1"), "letters, digit, underscore");
    Check.isFalse(Native.KFSisValidUsername("ab c1"), "a space");
    Check.isFalse(Native.KFSisValidUsername("ab-c1"), "a hyphen");
    Check.isTrue(Native.KFSisValidUsername("a".repeat(20)), "20 characters");
    Check.isFalse(Native.KFSisValidUsername("a".repeat(21)), "21 characters");
    Check.isFalse(Native.KFSisValidUsername(""), "empty");
    Check.isFalse(Native.KFSisValidUsername(null), "null");
  }

  // Bytes outside ASCII are neither letters nor digits to the byte classifier, and an
  // embedded NUL is the two bytes C0 80 in modified UTF-8.
  public void testUsernamesOutsideAsciiAreRefused() {
    Check.isFalse(Native.KFSisValidUsername("abcé"), "e acute");
    Check.isFalse(Native.KFSisValidUsername("ab\u0000cd"), "embedded NUL");
  }

  public void testPasswords() {
    Check.isFalse(Native.KFSisValidPassword("12345"), "5 characters");
    Check.isTrue(Native.KFSisValidPassword("123456"), "6 characters");
    Check.isTrue(Native.KFSisValidPassword("a b-c!"), "6 of any kind");
    Check.isTrue(Native.KFSisValidPassword("x".repeat(20)), "20 characters");
    Check.isFalse(Native.KFSisValidPassword("x".repeat(21)), "21 characters");
    Check.isFalse(Native.KFSisValidPassword(null), "null");
  }

  // Lengths count bytes of modified UTF-8, not characters.
  public void testPasswordLengthsAreModifiedUtf8Bytes() {
    Check.isTrue(Native.KFSisValidPassword("ééé"), "3 characters, 6 bytes");
    Check.isTrue(Native.KFSisValidPassword("é".repeat(10)), "10 characters, 20 bytes");
    Check.isFalse(Native.KFSisValidPassword("é".repeat(10) + "x"), "11 characters, 21 bytes");
    Check.isTrue(Native.KFSisValidPassword("abcd\u0000"), "5 characters, NUL as 2 bytes");
    Check.isTrue(Native.KFSisValidPassword("\uD83D\uDE00"), "one emoji, two 3-byte surrogates");
    Check.isFalse(Native.KFSisValidPassword("\u20AC"), "one euro sign, 3 bytes");
  }

  public void testNamesPhoneAndFaxAreAlwaysValid() {
    Check.isTrue(Native.KFSisValidFirstname(""), "empty first name");
    Check.isTrue(Native.KFSisValidLastname("O'Brien-Smith"), "last name");
    Check.isFalse(Native.KFSisValidFirstname(null), "null first name");
    Check.isFalse(Native.KFSisValidLastname(null), "null last name");
    Check.isTrue(Native.KFSisValidPhone("not a number", 0), "phone");
    Check.isTrue(Native.KFSisValidPhone(null, -1), "phone, arguments unread");
    Check.isTrue(Native.KFSisValidFax("", 7), "fax");
  }

  public void testHistoryCountsReadTheLowEightBits() {
    Check.isFalse(Native.KFSisValidHisnum(0), "0");
    Check.isFalse(Native.KFSisValidHisnum(256), "256");
    Check.isTrue(Native.KFSisValidHisnum(1), "1");
    Check.isTrue(Native.KFSisValidHisnum(255), "255");
    Check.isTrue(Native.KFSisValidHisnum(257), "257");
    Check.isTrue(Native.KFSisValidHisnum(-1), "-1");
    Check.isFalse(Native.KFSisValidHisnum(-256), "-256");
  }
}
