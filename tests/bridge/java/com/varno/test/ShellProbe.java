package com.varno.test;

/** Item identifier lists from the test-only probe library, for the icon lookup by list. */
final class ShellProbe {
  private ShellProbe() {}

  static {
    System.load(Bridge.property("varno.probe"));
  }

  static native long itemList(String path);

  static native void freeItemList(long list);
}
