package com.varno.test;

import com.varno.Native;
import com.varno.io.Volume;

/**
 * The second JVM of the process tests: runs one action against libvarno in its own working
 * directory and environment, and prints what it saw.
 */
public final class Child {
  private Child() {}

  public static void main(String[] args) throws Exception {
    Bridge.load();
    switch (args[0]) {
      case "isRunning":
        // Two answers, then the lock is held until the parent closes our standard input.
        boolean first = Native.VARNOisRunning();
        boolean second = Native.VARNOisRunning();
        System.out.println(first + " " + second);
        System.out.flush();
        while (System.in.read() != -1) {
          // hold
        }
        break;
      case "restart":
        Native.VARNOrestart(Integer.parseInt(args[1]));
        System.out.println("returned");
        break;
      case "execute":
        System.out.println(Native.SHELLexecuteFile(args[1]));
        break;
      case "key":
        System.out.println(Bridge.hex(Native.VARNOgetApplicationKey()));
        break;
      case "volumes":
        Volume[] volumes = Native.SHELLgetVolumes();
        for (Volume v : volumes) {
          System.out.println(String.join("\t", v.getRoot(), Integer.toString(v.getType()),
              v.getLabel(), v.getSerial(), v.getFileSystem()));
        }
        break;
      case "ignore":
        for (String path : Native.SHELLgetIgnorePaths()) {
          System.out.println("list " + path);
        }
        for (int i = 1; i < args.length; i++) {
          System.out.println("dir " + Native.SHELLisIgnorePath(args[i], true));
        }
        break;
      default:
        throw new IllegalArgumentException(args[0]);
    }
  }
}
