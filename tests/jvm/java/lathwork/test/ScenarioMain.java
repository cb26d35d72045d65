package lathwork.test;

import java.lang.reflect.Constructor;
import java.nio.file.Paths;

/**
 * Entry point of a child JVM: {@code ScenarioMain <scenario class> <report file>}. Nothing here
 * writes to System.out, whose bytes would reach the pipe ahead of the bridge's buffered lines.
 */
public final class ScenarioMain {
    private ScenarioMain() {}

    public static void main(String[] args) throws Exception {
        if (args.length != 2) {
            throw new IllegalArgumentException("usage: ScenarioMain <scenario> <report file>");
        }
        Constructor<? extends Scenario> constructor =
                Class.forName(args[0]).asSubclass(Scenario.class).getDeclaredConstructor();
        constructor.setAccessible(true);
        Scenario scenario = constructor.newInstance();
        try (Report report = new Report(Paths.get(args[1]))) {
            scenario.run(report);
        }
    }
}
