package com.varno.io;

/** One volume as the native library lists it. */
public final class Volume {
  private final String label;
  private final String root;
  private final String fileSystem;
  private final String serial;
  private final int type;

  /** The constructor the native library calls: "(Ljava/lang/String;...;I)V". */
  public Volume(String label, String root, String fileSystem, String serial, int type) {
    this.label = label;
    this.root = root;
    this.fileSystem = fileSystem;
    this.serial = serial;
    this.type = type;
  }

  public String getLabel() {
    return label;
  }

  public String getRoot() {
    return root;
  }

  public String getFileSystem() {
    return fileSystem;
  }

  public String getSerial() {
    return serial;
  }

  public int getType() {
    return type;
  }

  @Override
  public String toString() {
    return root + " [" + label + "] " + fileSystem + " " + serial + " type " + type;
  }
}
