package com.varno;

import com.varno.io.Volume;

/**
 * The native methods of libvarno. The client loads the library (System.loadLibrary("varno"))
 * before the first call.
 *
 * <p>Cipher and RSA key handles are owned by the caller and must be given back to
 * {@link #CIPHERfree} or {@link #RSAPUBLICKEYfree} exactly once; an RSA handle of -1 means
 * "no key". {@link #initMT} must run once before two threads use the cryptographic methods at
 * the same time. Failures answer null, false, 0 or -1; the methods that throw say so.
 */
public final class Native {
  private Native() {}

  // Cipher contexts: type 3 is AES-256-CBC (32-byte key, 16-byte IV, padding on), any other
  // type passes data through. Direction 1 encrypts, 0 decrypts, -1 keeps the previous one.
  // The out array needs in length + 16 bytes of room for AES (in length to pass through);
  // offsets or lengths outside the arrays throw ArrayIndexOutOfBoundsException.
  public static native long CIPHERcreate();

  public static native void CIPHERinit(long handle, int type, byte[] key, byte[] iv, int direction);

  public static native int CIPHERupdate(
      long handle, byte[] out, int outOffset, byte[] in, int inOffset, int inLength);

  public static native int CIPHERfinal(long handle, byte[] out, int outOffset);

  public static native void CIPHERfree(long handle);

  // RSA public keys from PEM files ("PUBLIC KEY"), OAEP padding. create throws
  // FileNotFoundException or IOException (answering -1); encrypt throws NullPointerException
  // for a null array and answers -1 when OpenSSL refuses.
  public static native long RSAPUBLICKEYcreate(String pemPath) throws java.io.IOException;

  public static native int RSAPUBLICKEYencrypt(
      long key, byte[] out, int outOffset, byte[] in, int inLength);

  public static native void RSAPUBLICKEYfree(long key);

  public static native void RANDseed(byte[] seed);

  /** Count random bytes; null for a negative count. */
  public static native byte[] RANDget(int count);

  public static native void initMT();

  // KFS code names and texts; unknown codes answer the fallback names.
  public static native String KFSerrorName(int code);

  public static native String KFStypeName(int code);

  public static native String KFSmgntTypeName(int code);

  public static native String KFSerrorDescription(int code);

  // Account fields; null is invalid.
  public static native boolean KFSisValidUsername(String value);

  public static native boolean KFSisValidPassword(String value);

  public static native boolean KFSisValidFirstname(String value);

  public static native boolean KFSisValidLastname(String value);

  /** Always true; neither argument is read. */
  public static native boolean KFSisValidPhone(String value, int unused);

  /** The same native entry point as {@link #KFSisValidPhone}. */
  public static native boolean KFSisValidFax(String value, int unused);

  /** Only the low 8 bits of count are read. */
  public static native boolean KFSisValidHisnum(int count);

  public static native byte[] VARNOgetApplicationKey();

  public static native byte[] VARNOgetMachineToken();

  public static native boolean VARNOisRunning();

  /** Starts the launcher and ends the virtual machine; does not return. */
  public static native void VARNOrestart(int code);

  public static native boolean SHELLexecuteFile(String path);

  public static native int SHELLgetBlockSize(String path);

  public static native long SHELLgetCTime(String path);

  public static native long SHELLlastAccessed(String path);

  public static native byte[] SHELLgetFSA(String path);

  public static native boolean SHELLsetFSA(String path, byte[] attributes);

  public static native int[] SHELLgetIconBits(long icon, int size);

  public static native long SHELLgetIconFromPIDL(long itemIdList, boolean large, boolean open);

  public static native long SHELLgetIconFromPath(String path, boolean large, boolean open);

  public static native String[] SHELLgetIgnorePaths();

  public static native boolean SHELLisIgnorePath(String path, boolean directory);

  public static native Volume[] SHELLgetVolumes();

  /**
   * Totals a folder: callback is any object with a method {@code boolean callback(boolean
   * isFile, long size, long sizeOnDisk)}; returning false stops the walk. Paths starting with
   * one of skipPrefixes (at most 128 are read) are not reported.
   */
  public static native boolean SHELLperformDirStat(
      String path, Object callback, String[] skipPrefixes) throws java.io.IOException;

  public static native int WINUTILsetAlwaysOnTop(String windowTitle, boolean onTop);

  public static native int WINUTILsetMaximized(String windowTitle);

  public static native int WINUTILsetMinimized(String windowTitle);

  public static native int WINUTILsetRestored(String windowTitle);

  public static native boolean WINUTILwindowExists(String windowTitle);
}
