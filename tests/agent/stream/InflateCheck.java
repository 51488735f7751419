// Opens chain output with the JDK alone: AES/CBC/PKCS5Padding under the key and a zero IV,
// then java.util.zip.Inflater (zlib wrapper). Each SEALED must give exactly its PLAIN.
//
// usage: java InflateCheck.java KEYHEX SEALED PLAIN [SEALED PLAIN ...]
import java.io.ByteArrayOutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.zip.Inflater;
import javax.crypto.Cipher;
import javax.crypto.SecretKey;

public final class InflateCheck {
  public static void main(String[] args) throws Exception {
    byte[] key = HexFormat.of().parseHex(args[0]);
    int failed = 0;
    for (int i = 1; i + 1 < args.length; i += 2) {
      byte[] stream = openCbc(key, Files.readAllBytes(Path.of(args[i])));
      if (stream == null) {
        System.out.println("bad padding: " + args[i]);
        failed++;
        continue;
      }
      Inflater inflater = new Inflater();
      inflater.setInput(stream);
      ByteArrayOutputStream plain = new ByteArrayOutputStream();
      byte[] piece = new byte[65536];
      while (!inflater.finished()) {
        int n = inflater.inflate(piece);
        if (n == 0 && (inflater.needsInput() || inflater.needsDictionary())) {
          break;
        }
        plain.write(piece, 0, n);
      }
      boolean whole = inflater.finished() && inflater.getRemaining() == 0;
      inflater.end();
      if (!whole || !Arrays.equals(plain.toByteArray(), Files.readAllBytes(Path.of(args[i + 1])))) {
        System.out.println("not the block: " + args[i]);
        failed++;
      }
    }
    System.exit(failed == 0 ? 0 : 1);
  }

  // CBC with a zero IV, chained by hand over the block cipher, then PKCS#7 padding
  // removed; null when the padding does not check.
  static byte[] openCbc(byte[] key, byte[] sealed) throws Exception {
    SecretKey aes = new SecretKey() {
      public String getAlgorithm() { return "AES"; }
      public String getFormat() { return "RAW"; }
      public byte[] getEncoded() { return key.clone(); }
    };
    Cipher block = Cipher.getInstance("AES/ECB/NoPadding");
    block.init(Cipher.DECRYPT_MODE, aes);
    if (sealed.length == 0 || sealed.length % 16 != 0) return null;
    byte[] out = block.doFinal(sealed);
    for (int at = out.length - 1; at >= 16; --at) out[at] ^= sealed[at - 16];
    int pad = out[out.length - 1] & 0xff;
    if (pad < 1 || pad > 16) return null;
    for (int k = 1; k <= pad; ++k) {
      if ((out[out.length - k] & 0xff) != pad) return null;
    }
    return Arrays.copyOf(out, out.length - pad);
  }
}
