// Holds a file as the desktop client does while it reads the mail queue: opened read-write
// with FileChannel.lock() on the whole file. Prints "locked" once the lock is held and keeps
// it until standard input closes. Run with the source launcher: java QueueHolder.java FILE
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;

public class QueueHolder {
  public static void main(String[] args) throws Exception {
    try (FileChannel channel = FileChannel.open(
             Paths.get(args[0]), StandardOpenOption.READ, StandardOpenOption.WRITE);
         FileLock lock = channel.lock()) {
      System.out.println("locked");
      System.out.flush();
      while (System.in.read() >= 0) {
      }
    }
  }
}
