package com.varno.test;

import com.varno.Native;
import java.awt.EventQueue;
import java.awt.Frame;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Map;

/**
 * Window services against real Java windows on an X display (run under Xvfb, no window
 * manager). xwininfo, an outside tool, confirms what the display did.
 */
public final class WindowTest {
  static {
    Bridge.load();
  }

  private static final String TITLE = "Varno Backup";

  private interface Condition {
    boolean holds() throws Exception;
  }

  /** Polls (without a time assertion) until the condition holds; answers whether it did. */
  private static boolean await(Condition condition) throws Exception {
    for (int i = 0; i < 400; i++) {
      if (condition.holds()) {
        return true;
      }
      Thread.sleep(25);
    }
    return condition.holds();
  }

  private static Frame show(String title) throws Exception {
    Frame frame = new Frame(title);
    frame.setSize(200, 120);
    EventQueue.invokeAndWait(() -> frame.setVisible(true));
    Check.isTrue(await(() -> mapState(title).equals("IsViewable")), title + " shown");
    return frame;
  }

  /** Disposes of the frame and waits until its window is gone from the display. */
  private static void close(Frame frame) throws Exception {
    String title = frame.getTitle();
    frame.dispose();
    Check.isTrue(await(() -> !xwininfo("-root", "-tree").contains("\"" + title + "\"")),
        title + " gone");
  }

  /**
   * xwininfo's answer. A window destroyed while xwininfo walks the tree makes it fail with
   * "Bad Window", so a failed query is asked again a few times before it counts.
   */
  private static String xwininfo(String... args) throws Exception {
    String[] command = new String[args.length + 1];
    command[0] = "xwininfo";
    System.arraycopy(args, 0, command, 1, args.length);
    for (int attempt = 1; ; attempt++) {
      try {
        return new String(Bridge.run(null, command), StandardCharsets.UTF_8);
      } catch (AssertionError e) {
        if (attempt == 10) {
          throw e;
        }
        Thread.sleep(50);
      }
    }
  }

  private static String mapState(String title) throws Exception {
    for (String line : xwininfo("-name", title).split("\n")) {
      if (line.trim().startsWith("Map State:")) {
        return line.trim().substring("Map State:".length()).trim();
      }
    }
    return "";
  }

  // Root children as xwininfo lists them in stacking order; true when `a` comes before `b`.
  private static boolean listedBefore(String a, String b) throws Exception {
    String tree = xwininfo("-root", "-children");
    return tree.indexOf("\"" + a + "\"") < tree.indexOf("\"" + b + "\"");
  }

  public void testWindowsAreFoundByExactTitle() throws Exception {
    Check.isTrue(System.getenv("DISPLAY") != null, "a display");
    Check.isFalse(Native.WINUTILwindowExists(TITLE), "before any window");
    Frame frame = show(TITLE);
    try {
      Check.isTrue(Native.WINUTILwindowExists(TITLE), "exact title");
      Check.isFalse(Native.WINUTILwindowExists("varno backup"), "other case");
      Check.isFalse(Native.WINUTILwindowExists("Varno"), "prefix");
      Check.isFalse(Native.WINUTILwindowExists(null), "null");
      Check.equal(1, Native.WINUTILsetAlwaysOnTop(TITLE, true), "on top");
      Check.equal(1, Native.WINUTILsetAlwaysOnTop(TITLE, false), "off top");
      Check.equal(0, Native.WINUTILsetAlwaysOnTop("Nobody", true), "missing window");
      Check.equal(0, Native.WINUTILsetMinimized(TITLE), "minimise answers the message result");
      Check.equal(0, Native.WINUTILsetMaximized(TITLE), "maximise answers the message result");
    } finally {
      close(frame);
    }
    Check.isFalse(Native.WINUTILwindowExists(TITLE), "gone after dispose");
  }

  // Restore shows a hidden window, as SC_RESTORE does.
  public void testRestoreMapsAHiddenWindow() throws Exception {
    Frame frame = show(TITLE);
    try {
      EventQueue.invokeAndWait(() -> frame.setVisible(false));
      Check.isTrue(await(() -> mapState(TITLE).equals("IsUnMapped")), "hidden");
      Check.equal(0, Native.WINUTILsetRestored(TITLE), "restore");
      Check.isTrue(await(() -> mapState(TITLE).equals("IsViewable")), "shown again");
    } finally {
      close(frame);
    }
  }

  // A second instance raises the running client's window above the others.
  public void testSecondInstanceRaisesTheWindow() throws Exception {
    Frame client = show(TITLE);
    Frame other = show("Other window");
    try {
      Check.isTrue(await(() -> listedBefore("Other window", TITLE)), "other on top first");
      Path dir = Bridge.tempDir();
      Files.createDirectory(dir.resolve("etc"));
      Process first = Bridge.startChild(dir, Map.of(), "isRunning");
      var firstOut = new java.io.BufferedReader(
          new java.io.InputStreamReader(first.getInputStream(), StandardCharsets.UTF_8));
      Check.equal("false true", firstOut.readLine(), "first instance");
      Process second = Bridge.startChild(dir, Map.of(), "isRunning");
      second.getOutputStream().close();
      Check.equal("true true", Bridge.childOutput(second).trim(), "second instance");
      first.getOutputStream().close();
      Check.equal(0, first.waitFor(), "first exit");
      Check.isTrue(await(() -> listedBefore(TITLE, "Other window")), "client raised");
    } finally {
      close(client);
      close(other);
    }
  }
}
