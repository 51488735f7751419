package com.varno.test;

import com.varno.Native;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;

/** Folder totals, file times, security attributes, icons and exclusions, in this JVM. */
public final class ShellTest {
  static {
    Bridge.load();
  }

  /** Records each call; answers `keepGoing` calls with true, then false. */
  public static final class Recorder {
    final List<String> calls = new ArrayList<>();
    int keepGoing = Integer.MAX_VALUE;

    public boolean callback(boolean isFile, long size, long sizeOnDisk) {
      calls.add((isFile ? "file " : "dir ") + size + " " + sizeOnDisk);
      return calls.size() < keepGoing;
    }
  }

  public static final class Thrower {
    int calls;

    public boolean callback(boolean isFile, long size, long sizeOnDisk) {
      calls++;
      throw new IllegalStateException("stop here");
    }
  }

  private static String run(String... command) throws Exception {
    return new String(Bridge.run(null, command), StandardCharsets.UTF_8).trim();
  }

  private static Path file(Path dir, String name, int size) throws IOException {
    Path path = dir.resolve(name);
    Files.createDirectories(path.getParent());
    Files.write(path, new byte[size]);
    return path;
  }

  // root: a (10), pagefile.sys (777, never reported), sub/b (5000), sub/deeper/c (3),
  // subway/d (1).
  private static Path tree() throws IOException {
    Path root = Bridge.tempDir().resolve("root");
    file(root, "a", 10);
    file(root, "pagefile.sys", 777);
    file(root, "sub/b", 5000);
    file(root, "sub/deeper/c", 3);
    file(root, "subway/d", 1);
    return root;
  }

  private static List<String> stat(Path root, String... skip) throws IOException {
    Recorder recorder = new Recorder();
    Check.isTrue(Native.SHELLperformDirStat(Bridge.windowsPath(root), recorder, skip), "walk");
    List<String> calls = new ArrayList<>(recorder.calls);
    Collections.sort(calls);
    return calls;
  }

  private static String fileLine(long size, long cluster) {
    return "file " + size + " " + ((size + cluster - 1) / cluster * cluster);
  }

  public void testDirStatReportsEveryEntryWithSizeOnDisk() throws Exception {
    Path root = tree();
    long cluster = Native.SHELLgetBlockSize(Bridge.windowsPath(root));
    Check.equal(Long.parseLong(run("stat", "-f", "-c", "%s", root.toString())), cluster, "cluster");
    List<String> expected = new ArrayList<>(List.of("dir 0 0", "dir 0 0", "dir 0 0",
        fileLine(1, cluster), fileLine(10, cluster), fileLine(3, cluster),
        fileLine(5000, cluster)));
    Collections.sort(expected);
    Check.equal(expected, stat(root), "entries");
  }

  // Directories come before their contents: a folder holding one file reports the folder
  // first.
  public void testDirStatReportsFoldersFirst() throws Exception {
    Path root = Bridge.tempDir().resolve("one");
    file(root, "inner/x", 7);
    Recorder recorder = new Recorder();
    Check.isTrue(Native.SHELLperformDirStat(Bridge.windowsPath(root), recorder, null), "walk");
    Check.equal(2, recorder.calls.size(), "calls");
    Check.isTrue(recorder.calls.get(0).startsWith("dir "), "folder first: " + recorder.calls);
  }

  // A prefix matches itself and what lies below it, in any case, but not a longer name.
  public void testSkipPrefixLeavesOutASubfolderAndItsContents() throws Exception {
    Path root = tree();
    long cluster = Native.SHELLgetBlockSize(Bridge.windowsPath(root));
    String sub = Bridge.windowsPath(root.resolve("sub")).toUpperCase();
    List<String> expected = new ArrayList<>(List.of("dir 0 0", fileLine(1, cluster),
        fileLine(10, cluster)));
    Collections.sort(expected);
    Check.equal(expected, stat(root, null, sub), "skipping sub");
    Check.equal(7, stat(root, sub + "\\").size(), "a trailing backslash matches only itself");
    Check.equal(0, stat(root, Bridge.windowsPath(root).substring(0, 2)).size(), "bare drive");
  }

  public void testOnlyTheFirst128SkipPrefixesAreRead() throws Exception {
    Path root = tree();
    String sub = Bridge.windowsPath(root.resolve("sub"));
    String[] skip = new String[130];
    Collections.nCopies(130, "Q:\\nothing").toArray(skip);
    skip[127] = sub;
    Check.equal(3, stat(root, skip).size(), "128th entry read");
    skip[127] = "Q:\\nothing";
    skip[128] = sub;
    Check.equal(7, stat(root, skip).size(), "129th entry ignored");
  }

  public void testCallbackAnsweringFalseStopsAfterOneCall() throws Exception {
    Recorder recorder = new Recorder();
    recorder.keepGoing = 1;
    Check.isTrue(Native.SHELLperformDirStat(Bridge.windowsPath(tree()), recorder, null), "answer");
    Check.equal(1, recorder.calls.size(), "calls");
  }

  public void testCallbackExceptionStopsTheWalkAndReachesTheCaller() throws Exception {
    Thrower thrower = new Thrower();
    String root = Bridge.windowsPath(tree());
    Check.throwsExactly(IllegalStateException.class, "stop here",
        () -> Native.SHELLperformDirStat(root, thrower, null));
    Check.equal(1, thrower.calls, "calls");
  }

  public void testDirStatFailures() throws Exception {
    String missing = Bridge.windowsPath(Bridge.tempDir().resolve("missing"));
    // Declared, so a caller catches it by type without catching Exception.
    try {
      Native.SHELLperformDirStat(missing, new Recorder(), null);
      throw new AssertionError("a missing folder was walked");
    } catch (IOException e) {
      Check.equal("No such file or directory", e.getMessage(), "message");
    }
    Check.throwsExactly(NullPointerException.class, "path is null",
        () -> Native.SHELLperformDirStat(null, new Recorder(), null));
    Check.throwsExactly(NullPointerException.class, "callback is null",
        () -> Native.SHELLperformDirStat(missing, null, null));
    try {
      Native.SHELLperformDirStat(missing, new Object(), null);
      throw new AssertionError("an object without callback was accepted");
    } catch (NoSuchMethodError expected) {
      // the VM's own lookup failure stands
    }
  }

  public void testTimesAreWhatStatReports() throws Exception {
    Path path = file(Bridge.tempDir(), "timed", 4);
    Files.setAttribute(path, "lastAccessTime", FileTime.fromMillis(1000000000789L));
    String[] times = run("stat", "-c", "%W %Z %X", path.toString()).split(" ");
    long birth = Long.parseLong(times[0]);
    long created = birth != 0 ? birth : Long.parseLong(times[1]);
    String windows = Bridge.windowsPath(path);
    Check.equal(created * 1000, Native.SHELLgetCTime(windows), "creation");
    Check.equal(1000000000000L, Native.SHELLlastAccessed(windows), "last access");
    Check.equal(Long.parseLong(times[2]) * 1000, Native.SHELLlastAccessed(windows), "vs stat");
    String missing = windows + "-missing";
    Check.equal(0, Native.SHELLgetCTime(missing), "missing creation");
    Check.equal(0, Native.SHELLlastAccessed(missing), "missing access");
    Check.equal(0, Native.SHELLgetCTime(null), "null");
    Check.equal(0, Native.SHELLgetBlockSize(null), "null block size");
  }

  private static String permissions(Path path) throws IOException {
    return PosixFilePermissions.toString(Files.getPosixFilePermissions(path));
  }

  public void testSecurityAttributesCopyBetweenFiles() throws Exception {
    Path dir = Bridge.tempDir();
    Path from = file(dir, "from", 1);
    Path to = file(dir, "to", 1);
    Files.setPosixFilePermissions(from, PosixFilePermissions.fromString("rw-r-x---"));
    Files.setPosixFilePermissions(to, PosixFilePermissions.fromString("rw-------"));
    byte[] fsa = Native.SHELLgetFSA(Bridge.windowsPath(from));
    Check.isTrue(fsa != null, "read");
    Check.equal(3, fsa[0], "kind");
    long length = (fsa[1] & 0xff) | (fsa[2] & 0xff) << 8 | (fsa[3] & 0xff) << 16
        | (long) (fsa[4] & 0xff) << 24;
    Check.equal(fsa.length - 5, length, "stated length");
    Check.isTrue(Native.SHELLsetFSA(Bridge.windowsPath(to), fsa), "applied");
    Check.equal("rw-r-x---", permissions(to), "copied");
    Check.bytesEqual(fsa, Native.SHELLgetFSA(Bridge.windowsPath(to)), "read back");
  }

  private static byte[] form(int kind, long stated, int bodyLength) {
    byte[] bytes = new byte[5 + bodyLength];
    bytes[0] = (byte) kind;
    for (int i = 0; i < 4; i++) {
      bytes[1 + i] = (byte) (stated >>> (8 * i));
    }
    return bytes;
  }

  public void testMalformedSecurityAttributesAreRefused() throws Exception {
    Path dir = Bridge.tempDir();
    Path target = file(dir, "target", 1);
    Files.setPosixFilePermissions(target, PosixFilePermissions.fromString("rw-------"));
    String path = Bridge.windowsPath(target);
    byte[] good = Native.SHELLgetFSA(path);
    Check.isTrue(Native.SHELLgetFSA(null) == null, "null path reads nothing");
    Check.isTrue(Native.SHELLgetFSA(path + "-missing") == null, "missing file");
    Check.isFalse(Native.SHELLsetFSA(null, good), "null path");
    Check.isFalse(Native.SHELLsetFSA(path, null), "null bytes");
    Check.isFalse(Native.SHELLsetFSA(path, new byte[] {3, 0, 0, 0}), "shorter than 5");
    Check.isFalse(Native.SHELLsetFSA(path, form(3, 20481, 20481)), "beyond the room");
    Check.isFalse(Native.SHELLsetFSA(path, form(3, 200, 10)), "beyond the array");
    Check.isFalse(Native.SHELLsetFSA(path, form(3, 0xFFFFFFF0L, 10)), "huge length");
    Check.isFalse(Native.SHELLsetFSA(path, form(2, 0x20, 0)), "attribute word");
    byte[] garbage = form(3, 20, 20);
    for (int i = 5; i < garbage.length; i++) {
      garbage[i] = (byte) (i * 37);
    }
    Check.isFalse(Native.SHELLsetFSA(path, garbage), "garbage descriptor");
    byte[] truncated = java.util.Arrays.copyOf(good, good.length - 1);
    Check.isFalse(Native.SHELLsetFSA(path, truncated), "truncated");
    Check.equal("rw-------", permissions(target), "untouched");
  }

  private static int[] bits(long icon, int size) {
    int[] pixels = Native.SHELLgetIconBits(icon, size);
    Check.isTrue(pixels != null, "bits");
    Check.equal(size * size, pixels.length, "pixels");
    return pixels;
  }

  // Alpha is 0xFF exactly where the mask is clear; elsewhere the pixel is empty.
  private static int opaque(int[] pixels) {
    int count = 0;
    for (int p : pixels) {
      if ((p >>> 24) == 0xFF) {
        count++;
      } else {
        Check.equal(0, p, "transparent pixel");
      }
    }
    return count;
  }

  public void testIconsComeAtTheRequestedSizeWithAMask() throws Exception {
    Path dir = Bridge.tempDir();
    Path doc = file(dir, "doc.txt", 1);
    for (int size : new int[] {16, 32, 48, 64}) {
      long icon = Native.SHELLgetIconFromPath(Bridge.windowsPath(doc), true, false);
      Check.isTrue(icon != 0, "icon");
      int[] pixels = bits(icon, size);
      int opaque = opaque(pixels);
      Check.isTrue(opaque > size * size / 4 && opaque < size * size, "mask at " + size);
      Check.equal(0, pixels[0], "corner is transparent");
      Check.equal(0xFF, pixels[size / 2 * size + size / 2] >>> 24, "centre is opaque");
    }
    long small = Native.SHELLgetIconFromPath(Bridge.windowsPath(doc), false, false);
    int[] sixteen = bits(small, 16);
    Check.equal(256, sixteen.length, "16 x 16");
  }

  public void testFoldersDrivesAndFilesLookDifferent() throws Exception {
    Path dir = Bridge.tempDir();
    Path doc = file(dir, "doc.txt", 1);
    int[] fileIcon = bits(Native.SHELLgetIconFromPath(Bridge.windowsPath(doc), true, false), 32);
    int[] folder = bits(Native.SHELLgetIconFromPath(Bridge.windowsPath(dir), true, false), 32);
    int[] open = bits(Native.SHELLgetIconFromPath(Bridge.windowsPath(dir), true, true), 32);
    int[] drive = bits(Native.SHELLgetIconFromPath("C:\\", true, false), 32);
    Check.isFalse(java.util.Arrays.equals(fileIcon, folder), "file vs folder");
    Check.isFalse(java.util.Arrays.equals(folder, open), "closed vs open folder");
    Check.isFalse(java.util.Arrays.equals(folder, drive), "folder vs drive");
    long list = ShellProbe.itemList(Bridge.windowsPath(dir));
    try {
      int[] byList = bits(Native.SHELLgetIconFromPIDL(list, true, true), 32);
      Check.isTrue(java.util.Arrays.equals(open, byList), "item list names the same folder");
    } finally {
      ShellProbe.freeItemList(list);
    }
    Check.equal(0, Native.SHELLgetIconFromPIDL(0, true, false), "no list");
    Check.equal(0, Native.SHELLgetIconFromPath(null, true, false), "no path");
    Check.equal(0, Native.SHELLgetIconFromPath(Bridge.windowsPath(dir.resolve("missing")), true,
        false), "nothing there");
    long missingList = ShellProbe.itemList(Bridge.windowsPath(dir.resolve("missing")));
    try {
      Check.equal(0, Native.SHELLgetIconFromPIDL(missingList, false, false), "list of nothing");
    } finally {
      ShellProbe.freeItemList(missingList);
    }
  }

  // Out-of-range sizes answer null and leave the icon usable; size 0 answers no pixels.
  public void testIconSizesOutOfRangeLeaveTheIcon() throws Exception {
    long icon = Native.SHELLgetIconFromPath("C:\\", false, false);
    Check.isTrue(Native.SHELLgetIconBits(icon, 65) == null, "65");
    Check.isTrue(Native.SHELLgetIconBits(icon, -1) == null, "-1");
    Check.equal(0, bits(icon, 0).length, "size 0 still consumes the icon");
    Check.isTrue(Native.SHELLgetIconBits(0, 16) == null, "no icon");
  }

  public void testIgnorePathExports() throws Exception {
    Check.isTrue(Native.SHELLisIgnorePath("D:\\Data\\PAGEFILE.SYS", false), "paging file");
    Check.isFalse(Native.SHELLisIgnorePath("D:\\Data\\PAGEFILE.SYS", true), "as a folder");
    Check.isTrue(Native.SHELLisIgnorePath("E:\\Stuff\\Recycler", true), "recycler folder");
    Check.isFalse(Native.SHELLisIgnorePath("E:\\Stuff\\Recycler", false), "recycler file");
    Check.isTrue(Native.SHELLisIgnorePath("E:\\Docs\\Report.LNK", false), "shortcut");
    Check.isFalse(Native.SHELLisIgnorePath("E:\\", true), "drive root");
    Check.isFalse(Native.SHELLisIgnorePath(null, false), "null");
    if (System.getenv("VARNO_PROFILE_ROOT") == null) {
      Check.equal(0, Native.SHELLgetIgnorePaths().length, "no profile root, no shortcuts");
    }
  }

  // A folder shortcut found under the profile root is listed and excluded in any case.
  public void testFolderShortcutsInASecondJvm() throws Exception {
    Path profiles = Bridge.tempDir().resolve("profiles");
    Path links = profiles.resolve("bob/Favorites/Links");
    Files.createDirectories(links);
    Files.writeString(links.resolve("desktop.ini"),
        "[.ShellClassInfo]\r\nCLSID2={0afaced1-e828-11d1-9187-b532f1e9575d}\r\n");
    String expected = Bridge.windowsPath(links);
    String output = Bridge.runChild(profiles, Map.of("VARNO_PROFILE_ROOT",
        Bridge.windowsPath(profiles)), "ignore", expected.toUpperCase(), expected + "x");
    Check.equal("list " + expected + "\ndir true\ndir false\n", output, "child");
  }

  // No window system is bound here: every window export answers "no such window".
  public void testWindowExportsAnswerNoSuchWindow() {
    Check.isFalse(Native.WINUTILwindowExists("Varno Backup"), "exists");
    Check.isFalse(Native.WINUTILwindowExists(null), "null");
    Check.equal(0, Native.WINUTILsetMinimized("Varno Backup"), "minimise");
    Check.equal(0, Native.WINUTILsetMaximized(null), "maximise");
    Check.equal(0, Native.WINUTILsetRestored("Varno Backup"), "restore");
    Check.equal(0, Native.WINUTILsetAlwaysOnTop(null, true), "on top");
  }
}
