package com.varno.test;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/** Loads the libvarno.so under test (-Dvarno.library) and runs outside tools. */
final class Bridge {
  private Bridge() {}

  private static boolean loaded;

  static synchronized void load() {
    if (!loaded) {
      System.load(property("varno.library"));
      loaded = true;
    }
  }

  static String property(String name) {
    String value = System.getProperty(name);
    if (value == null) {
      throw new IllegalStateException("-D" + name + " is not set");
    }
    return value;
  }

  /** The Windows form of a local path: "C:" maps "/" when no drive map says otherwise. */
  static String windowsPath(Path path) {
    return "C:" + path.toAbsolutePath().toString().replace('/', '\\');
  }

  /** Runs a command, failing the test unless it exits 0; answers its standard output. */
  static byte[] run(Path stdin, String... command) throws IOException, InterruptedException {
    ProcessBuilder builder = new ProcessBuilder(command);
    builder.redirectError(ProcessBuilder.Redirect.INHERIT);
    if (stdin != null) {
      builder.redirectInput(stdin.toFile());
    }
    Process process = builder.start();
    byte[] output = process.getInputStream().readAllBytes();
    int status = process.waitFor();
    if (status != 0) {
      throw new AssertionError(Arrays.toString(command) + " exited " + status);
    }
    return output;
  }

  static String hex(byte[] bytes) {
    StringBuilder text = new StringBuilder();
    for (byte b : bytes) {
      text.append(String.format("%02x", b & 0xff));
    }
    return text.toString();
  }

  /** A fresh folder, removed with its contents when the JVM exits. */
  static Path tempDir() throws IOException {
    Path dir = Files.createTempDirectory("varno-bridge");
    Runtime.getRuntime().addShutdownHook(new Thread(() -> removeTree(dir)));
    return dir;
  }

  private static void removeTree(Path dir) {
    try (var walk = Files.walk(dir)) {
      walk.sorted(java.util.Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
    } catch (IOException e) {
      // best effort: a leftover temporary folder is harmless
    }
  }

  static List<String> lines(Path file) throws IOException {
    return new ArrayList<>(Files.readAllLines(file, StandardCharsets.UTF_8));
  }

  /**
   * Starts a second JVM running {@link Child} with `args`, in `dir`, with `env` changes (a null
   * value removes the variable). Its standard error goes to ours.
   */
  static Process startChild(Path dir, Map<String, String> env, String... args) throws IOException {
    List<String> command = new ArrayList<>();
    command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
    command.add("-Xcheck:jni");
    command.add("-Dvarno.library=" + property("varno.library"));
    command.add("-cp");
    command.add(System.getProperty("java.class.path"));
    command.add(Child.class.getName());
    command.addAll(Arrays.asList(args));
    ProcessBuilder builder = new ProcessBuilder(command).directory(dir.toFile());
    builder.redirectError(ProcessBuilder.Redirect.INHERIT);
    for (Map.Entry<String, String> e : env.entrySet()) {
      if (e.getValue() == null) {
        builder.environment().remove(e.getKey());
      } else {
        builder.environment().put(e.getKey(), e.getValue());
      }
    }
    return builder.start();
  }

  /** The standard output of a finished child, which must exit 0 without JNI warnings. */
  static String childOutput(Process child) throws IOException, InterruptedException {
    String output = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    int status = child.waitFor();
    if (status != 0) {
      throw new AssertionError("child exited " + status + ": " + output);
    }
    // -Xcheck:jni reports on standard output, which the parent reads instead of CTest.
    if (output.toLowerCase(Locale.ROOT).contains("warn")) {
      throw new AssertionError("child JNI check: " + output);
    }
    return output;
  }

  static String runChild(Path dir, Map<String, String> env, String... args)
      throws IOException, InterruptedException {
    return childOutput(startChild(dir, env, args));
  }
}
