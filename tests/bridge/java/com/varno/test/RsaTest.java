package com.varno.test;

import com.varno.Native;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;

public final class RsaTest {
  static {
    Bridge.load();
  }

  private final Path dir;
  private final Path privateKey;
  private final Path publicKey;

  /** A fresh 1024-bit key pair made by the openssl command for every test. */
  public RsaTest() throws Exception {
    dir = Bridge.tempDir();
    privateKey = dir.resolve("private.pem");
    publicKey = dir.resolve("public.pem");
    Bridge.run(null, "openssl", "genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024",
        "-out", privateKey.toString());
    Bridge.run(null, "openssl", "pkey", "-in", privateKey.toString(), "-pubout",
        "-out", publicKey.toString());
  }

  private long load(Path pem) throws IOException {
    return Native.RSAPUBLICKEYcreate(Bridge.windowsPath(pem));
  }

  public void testEncryptsWithOaepForTheHolderOfThePrivateKey() throws Exception {
    long key = load(publicKey);
    Check.isTrue(key != -1, "key handle");
    byte[] message = new byte[86];
    for (int i = 0; i < message.length; i++) {
      message[i] = (byte) (i * 3);
    }
    byte[] out = new byte[10 + 128];
    Check.equal(128, Native.RSAPUBLICKEYencrypt(key, out, 10, message, 86), "bytes written");
    Path cipherFile = Files.write(dir.resolve("cipher"), Arrays.copyOfRange(out, 10, 138));
    byte[] decrypted = Bridge.run(null, "openssl", "pkeyutl", "-decrypt",
        "-inkey", privateKey.toString(), "-pkeyopt", "rsa_padding_mode:oaep",
        "-in", cipherFile.toString());
    Check.bytesEqual(message, decrypted, "openssl decrypts ours");
    // OAEP is randomised: the same message encrypts differently each time.
    byte[] again = new byte[128];
    Check.equal(128, Native.RSAPUBLICKEYencrypt(key, again, 0, message, 86), "again");
    Check.isFalse(Arrays.equals(again, Arrays.copyOfRange(out, 10, 138)), "fresh padding");
    Native.RSAPUBLICKEYfree(key);
  }

  public void testInputAboveModulusLessFortyTwoFails() throws IOException {
    long key = load(publicKey);
    byte[] out = new byte[128];
    Check.equal(-1, Native.RSAPUBLICKEYencrypt(key, out, 0, new byte[87], 87), "87 bytes");
    Check.equal(128, Native.RSAPUBLICKEYencrypt(key, out, 0, new byte[0], 0), "0 bytes");
    Check.equal(-1, Native.RSAPUBLICKEYencrypt(-1, out, 0, new byte[1], 1), "no key");
    Native.RSAPUBLICKEYfree(key);
  }

  // Ranges outside the Java arrays answer -1 before OpenSSL could touch them.
  public void testRangesOutsideTheArraysFail() throws IOException {
    long key = load(publicKey);
    Check.equal(-1, Native.RSAPUBLICKEYencrypt(key, new byte[127], 0, new byte[8], 8), "short out");
    Check.equal(-1, Native.RSAPUBLICKEYencrypt(key, new byte[200], 73, new byte[8], 8), "offset");
    Check.equal(-1, Native.RSAPUBLICKEYencrypt(key, new byte[200], -1, new byte[8], 8), "negative");
    Check.equal(-1, Native.RSAPUBLICKEYencrypt(key, new byte[128], 0, new byte[8], 9), "in length");
    Check.equal(-1, Native.RSAPUBLICKEYencrypt(key, new byte[128], 0, new byte[8], -1), "negative");
    Native.RSAPUBLICKEYfree(key);
  }

  public void testNullArraysThrow() throws IOException {
    long key = load(publicKey);
    Check.throwsExactly(NullPointerException.class, "in/out cannot be null",
        () -> Native.RSAPUBLICKEYencrypt(key, null, 0, new byte[8], 8));
    Check.throwsExactly(NullPointerException.class, "in/out cannot be null",
        () -> Native.RSAPUBLICKEYencrypt(key, new byte[128], 0, null, 0));
    Native.RSAPUBLICKEYfree(key);
  }

  public void testMissingFileThrowsFileNotFound() {
    // Declared, so a caller catches it by type without catching Exception.
    try {
      load(dir.resolve("absent.pem"));
      throw new AssertionError("a missing key file was loaded");
    } catch (FileNotFoundException e) {
      Check.equal("public key path does not exist", e.getMessage(), "message");
    } catch (IOException e) {
      throw new AssertionError("not FileNotFoundException: " + e, e);
    }
    Check.throwsExactly(FileNotFoundException.class, "public key path does not exist",
        () -> Native.RSAPUBLICKEYcreate("Q:\\unmapped\\key.pem"));
    Native.RSAPUBLICKEYfree(-1);  // the "no key" handle is ignored
  }

  public void testFilesWithoutAnRsaPublicKeyThrowIOException() throws Exception {
    Path text = Files.writeString(dir.resolve("text.pem"), "not a key\n");
    Path empty = Files.write(dir.resolve("empty.pem"), new byte[0]);
    // Traditional RSA public key block instead of SubjectPublicKeyInfo.
    Path pkcs1 = dir.resolve("pkcs1.pem");
    Bridge.run(null, "openssl", "rsa", "-in", privateKey.toString(), "-RSAPublicKey_out",
        "-out", pkcs1.toString());
    Path ec = dir.resolve("ec.pem");
    Bridge.run(null, "openssl", "genpkey", "-quiet", "-algorithm", "EC", "-pkeyopt",
        "ec_paramgen_curve:P-256", "-out", dir.resolve("ec-private.pem").toString());
    Bridge.run(null, "openssl", "pkey", "-in", dir.resolve("ec-private.pem").toString(),
        "-pubout", "-out", ec.toString());
    for (Path bad : new Path[] {text, empty, privateKey, pkcs1, ec, dir}) {
      try {
        Check.throwsExactly(IOException.class, "error reading public key file", () -> load(bad));
      } catch (AssertionError e) {
        throw new AssertionError(bad.getFileName() + ": " + e.getMessage(), e);
      }
    }
  }

  // Blocks of other names before the public key are passed over.
  public void testPublicKeyAfterOtherBlocksIsFound() throws Exception {
    Path both = dir.resolve("both.pem");
    Files.write(both, Files.readAllBytes(privateKey));
    Files.write(both, Files.readAllBytes(publicKey), java.nio.file.StandardOpenOption.APPEND);
    long key = load(both);
    Check.equal(128, Native.RSAPUBLICKEYencrypt(key, new byte[128], 0, new byte[1], 1), "encrypt");
    Native.RSAPUBLICKEYfree(key);
  }

  public void testNullPathThrows() {
    Check.throwsExactly(NullPointerException.class, "path is null",
        () -> Native.RSAPUBLICKEYcreate(null));
  }
}
