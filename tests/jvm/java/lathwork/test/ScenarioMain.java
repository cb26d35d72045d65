package lathwork.test;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.nio.file.Paths;

/**
 * Entry point of a child JVM: {@code ScenarioMain <class#method> <report file>}, the method being
 * a {@link Scenario}'s. Nothing here writes to System.out, whose bytes would reach the pipe ahead
 * of the bridge's buffered lines.
 */
public final class ScenarioMain {
    private ScenarioMain() {}

    public static void main(String[] args) throws Throwable {
        if (args.length != 2) {
            throw new IllegalArgumentException("usage: ScenarioMain <class#method> <report file>");
        }
        String[] target = args[0].split("#");
        Method scenario = Class.forName(target[0]).getDeclaredMethod(target[1], Report.class);
        scenario.setAccessible(true);
        try (Report report = new Report(Paths.get(args[1]))) {
            scenario.invoke(null, report);
        } catch (InvocationTargetException e) {
            throw e.getCause();
        }
    }
}
