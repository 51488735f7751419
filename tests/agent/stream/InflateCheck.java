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
import javax.crypto.spec.IvParameterSpec;
import javax.crypto.spec.SecretKeySpec;

public final class InflateCheck {
  public static void main(String[] args) throws Exception {
    byte[] key = HexFormat.of().parseHex(args[0]);
    int failed = 0;
    for (int i = 1; i + 1 < args.length; i += 2) {
      Cipher cipher = Cipher.getInstance("AES/CBC/PKCS5Padding");
      cipher.init(Cipher.DECRYPT_MODE, new SecretKeySpec(key, "AES"),
          new IvParameterSpec(new byte[16]));
      byte[] stream = cipher.doFinal(Files.readAllBytes(Path.of(args[i])));
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
}
