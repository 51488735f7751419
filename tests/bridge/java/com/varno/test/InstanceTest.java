package com.varno.test;

import com.varno.Native;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;

/**
 * Installation values, single instance, restart and shell execution: each runs in a second
 * JVM with its own working directory, as the desktop client does.
 */
public final class InstanceTest {
  static {
    Bridge.load();
  }

  private static final Map<String, String> NO_CHANGES = Map.of();

  private static Path withEtc() throws IOException {
    Path dir = Bridge.tempDir();
    Files.createDirectory(dir.resolve("etc"));
    return dir;
  }

  private static Path script(Path path, String body) throws IOException {
    Files.createDirectories(path.getParent());
    Files.writeString(path, "#!/bin/sh\n" + body + "\n");
    Files.setPosixFilePermissions(path, PosixFilePermissions.fromString("rwxr-xr-x"));
    return path;
  }

  /** Waits (without a time assertion) for a file a detached program writes. */
  private static String awaitFile(Path path) throws Exception {
    for (int i = 0; i < 600 && !Files.exists(path); i++) {
      Thread.sleep(50);
    }
    Check.isTrue(Files.exists(path), path + " written");
    return Files.readString(path, StandardCharsets.UTF_8).trim();
  }

  // The key offsets as util documents them ("fixed for ever").
  private static int[] keyOffsets() throws IOException {
    List<String> lines = Bridge.lines(Path.of(Bridge.property("varno.source"), "util/FORMAT.md"));
    for (int i = 0; i < lines.size(); i++) {
      if (lines.get(i).contains("offsets, in this order")) {
        int j = i + 1;
        while (j < lines.size() && !lines.get(j).matches("[0-9, ]+")) {
          j++;
        }
        String[] numbers = lines.get(j).split(",\\s*");
        int[] offsets = new int[numbers.length];
        for (int k = 0; k < numbers.length; k++) {
          offsets[k] = Integer.parseInt(numbers[k].trim());
        }
        return offsets;
      }
    }
    throw new AssertionError("offsets table not found");
  }

  private static String keyOf(byte[] file) throws IOException {
    int[] offsets = keyOffsets();
    Check.equal(8, offsets.length, "pieces");
    byte[] key = new byte[32];
    for (int i = 0; i < 8; i++) {
      System.arraycopy(file, offsets[i], key, 4 * i, 4);
    }
    return Bridge.hex(key);
  }

  public void testApplicationKeyIsReadFromTheKeyFile() throws Exception {
    Path dir = withEtc();
    byte[] file = new byte[4096];
    new Random(42).nextBytes(file);
    Files.write(dir.resolve("etc/varno.ak"), file);
    Check.equal(keyOf(file), Bridge.runChild(dir, NO_CHANGES, "key").trim(), "key");
  }

  public void testApplicationKeyFileIsCreatedOnFirstUse() throws Exception {
    Path dir = withEtc();
    String key = Bridge.runChild(dir, NO_CHANGES, "key").trim();
    byte[] file = Files.readAllBytes(dir.resolve("etc/varno.ak"));
    Check.equal(4096, file.length, "key file size");
    Check.equal(keyOf(file), key, "key from the new file");
    Check.isFalse(key.equals("0".repeat(64)), "a real key");
  }

  public void testUnreadableKeyAnswersZeros() throws Exception {
    Check.equal("0".repeat(64), Bridge.runChild(Bridge.tempDir(), NO_CHANGES, "key").trim(),
        "no etc folder");
    Path dir = withEtc();
    Files.write(dir.resolve("etc/varno.ak"), new byte[4000]);
    Check.equal("0".repeat(64), Bridge.runChild(dir, NO_CHANGES, "key").trim(), "short file");
  }

  // Both run in this JVM's working directory, so they see the same drive map.
  public void testMachineTokenIsWhatVarnoCtlPrints() throws Exception {
    String ctl = new String(Bridge.run(null, Bridge.property("varno.ctl"), "token"),
        StandardCharsets.US_ASCII).trim();
    byte[] token = Native.VARNOgetMachineToken();
    Check.equal(20, token.length, "token size");
    Check.equal(ctl, Bridge.hex(token), "token");
  }

  public void testVolumesAreWhatVarnoCtlLists() throws Exception {
    Path dir = withEtc();
    Files.createDirectory(dir.resolve("floppy"));
    Files.writeString(dir.resolve("etc/drives"),
        "A:=" + dir.resolve("floppy") + "\nD:=" + dir + "\n");
    String java = Bridge.runChild(dir, NO_CHANGES, "volumes");
    ProcessBuilder builder = new ProcessBuilder(Bridge.property("varno.ctl"), "volumes");
    builder.directory(dir.toFile()).redirectError(ProcessBuilder.Redirect.INHERIT);
    Process ctl = builder.start();
    String expected = new String(ctl.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    Check.equal(0, ctl.waitFor(), "varno-ctl volumes");
    Check.equal(expected, java, "volumes");
    String[] lines = java.split("\n");
    Check.equal(3, lines.length, "A:, C:, D:");
    Check.equal("A:\\\t1\t\t\t", lines[0], "floppy: type 1, nothing asked");
    Check.isTrue(lines[1].startsWith("C:\\\t"), "C: second");
    Check.isTrue(lines[2].matches("D:\\\\\t[0-6]\t.*\t[0-9A-F]{4}-[0-9A-F]{4}\t.+"), lines[2]);
  }

  // First instance: false, then true in the same process; a second process: true; once the
  // first has ended the lock is free again.
  public void testIsRunningAcrossTwoProcesses() throws Exception {
    Path dir = withEtc();
    Process first = Bridge.startChild(dir, NO_CHANGES, "isRunning");
    var firstOut = new java.io.BufferedReader(
        new java.io.InputStreamReader(first.getInputStream(), StandardCharsets.UTF_8));
    Check.equal("false true", firstOut.readLine(), "first instance");
    Process second = Bridge.startChild(dir, NO_CHANGES, "isRunning");
    second.getOutputStream().close();
    Check.equal("true true", Bridge.childOutput(second).trim(), "second instance");
    first.getOutputStream().close();
    Check.equal(0, first.waitFor(), "first exit");
    Check.isTrue(Files.exists(dir.resolve("etc/.lock")), "lock file created");
    Process third = Bridge.startChild(dir, NO_CHANGES, "isRunning");
    third.getOutputStream().close();
    Check.equal("false true", Bridge.childOutput(third).trim(), "after the first ended");
  }

  public void testIsRunningWithoutEtcFolderIsAlwaysTrue() throws Exception {
    Path dir = Bridge.tempDir();
    Process child = Bridge.startChild(dir, NO_CHANGES, "isRunning");
    child.getOutputStream().close();
    Check.equal("true true", Bridge.childOutput(child).trim(), "no etc");
    Check.isFalse(Files.exists(dir.resolve("etc")), "nothing created");
  }

  private static final String LAUNCHER = "echo \"$@\" > launched.tmp && mv launched.tmp ";

  private static Map<String, String> path(Path bin) {
    Map<String, String> env = new HashMap<>();
    env.put("PATH", bin + ":/usr/bin:/bin");
    return env;
  }

  // The launcher gets this process's id and the code; the VM ends through System.exit(0).
  public void testRestartStartsTheLauncherFromTheWorkingDirectory() throws Exception {
    Path dir = Bridge.tempDir();
    script(dir.resolve("varno.exe"), LAUNCHER + "here.txt");
    script(dir.resolve("bin/varno.exe"), LAUNCHER + "path.txt");
    Process child = Bridge.startChild(dir, path(dir.resolve("bin")), "restart", "7");
    Check.equal("", Bridge.childOutput(child), "exited without returning");
    Check.equal(child.pid() + " 7", awaitFile(dir.resolve("here.txt")), "launcher arguments");
    Check.isFalse(Files.exists(dir.resolve("path.txt")), "working directory first");
  }

  public void testRestartFindsTheLauncherOnTheSearchPath() throws Exception {
    Path dir = Bridge.tempDir();
    script(dir.resolve("bin/varno.exe"), LAUNCHER + "path.txt");
    Process child = Bridge.startChild(dir, path(dir.resolve("bin")), "restart", "-3");
    Check.equal("", Bridge.childOutput(child), "exited without returning");
    Check.equal(child.pid() + " -3", awaitFile(dir.resolve("path.txt")), "launcher arguments");
  }

  public void testRestartWithoutLauncherStillEnds() throws Exception {
    Path dir = Bridge.tempDir();
    Process child = Bridge.startChild(dir, path(dir.resolve("bin")), "restart", "1");
    Check.equal("", Bridge.childOutput(child), "exited without returning");
  }

  public void testExecuteFileOpensWithXdgOpen() throws Exception {
    Path dir = Bridge.tempDir();
    Path doc = Files.writeString(dir.resolve("doc with space.txt"), "x");
    script(dir.resolve("bin/xdg-open"), "echo \"$1\" > opened.tmp && mv opened.tmp opened.txt");
    Check.equal("true\n", Bridge.runChild(dir, path(dir.resolve("bin")), "execute",
        Bridge.windowsPath(doc)), "started");
    Check.equal(doc.toString(), awaitFile(dir.resolve("opened.txt")), "opened path");
    Check.equal("false\n", Bridge.runChild(dir, path(dir.resolve("bin")), "execute",
        Bridge.windowsPath(dir.resolve("missing.txt"))), "nothing to open");
    Map<String, String> none = Map.of("PATH", dir.resolve("empty").toString());
    Check.equal("false\n", Bridge.runChild(dir, none, "execute", Bridge.windowsPath(doc)),
        "no opener");
    Check.isFalse(Native.SHELLexecuteFile(null), "null path");
  }
}
