package com.varno.test;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.Arrays;
import java.util.Comparator;

/**
 * Runs every public no-argument method whose name starts with "test" in the classes named on
 * the command line, each on a fresh instance, in name order. Exits 1 when any failed and 2 when
 * nothing ran, so CTest sees a failure either way.
 */
public final class TestRunner {
  private TestRunner() {}

  public static void main(String[] args) throws Exception {
    int run = 0;
    int failed = 0;
    for (String className : args) {
      Class<?> suite = Class.forName(className);
      Method[] methods = suite.getDeclaredMethods();
      Arrays.sort(methods, Comparator.comparing(Method::getName));
      for (Method method : methods) {
        int modifiers = method.getModifiers();
        if (!method.getName().startsWith("test")
            || method.getParameterCount() != 0
            || !Modifier.isPublic(modifiers)
            || Modifier.isStatic(modifiers)) {
          continue;
        }
        String name = suite.getSimpleName() + "." + method.getName();
        run++;
        try {
          method.invoke(suite.getDeclaredConstructor().newInstance());
          System.out.println("PASS " + name);
        } catch (InvocationTargetException e) {
          failed++;
          System.out.println("FAIL " + name);
          e.getCause().printStackTrace(System.out);
        }
      }
    }
    System.out.println(run + " run, " + failed + " failed");
    if (run == 0) {
      System.exit(2);
    }
    if (failed > 0) {
      System.exit(1);
    }
  }
}
