package lathwork.test;

import java.io.Serializable;
import java.lang.invoke.SerializedLambda;
import java.lang.reflect.Method;
import java.util.concurrent.CountDownLatch;
import java.util.function.BooleanSupplier;
import lathwork.Brenmoor;

/**
 * What one child JVM does: drives the bridge and writes what it saw to the report. A scenario is
 * a lambda or a method reference that captures nothing, written beside the test that judges it;
 * the child finds it again by the static method javac compiled it to.
 */
@FunctionalInterface
interface Scenario extends Serializable {
    void run(Report report) throws Exception;

    /** "class#method" of the static method behind this scenario, for ScenarioMain. */
    default String target() {
        try {
            Method replace = getClass().getDeclaredMethod("writeReplace");
            replace.setAccessible(true);
            SerializedLambda lambda = (SerializedLambda) replace.invoke(this);
            if (lambda.getCapturedArgCount() != 0) {
                throw new IllegalArgumentException("a scenario may capture nothing: " + lambda);
            }
            return lambda.getImplClass().replace('/', '.') + "#" + lambda.getImplMethodName();
        } catch (ReflectiveOperationException e) {
            throw new IllegalStateException(e);
        }
    }

    /** start, then cvStart: both libraries loaded. */
    static void startBoth() {
        Brenmoor.start();
        Brenmoor.cvStart();
    }

    /** finish, then cvFinish. */
    static void finishBoth() {
        Brenmoor.finish();
        Brenmoor.cvFinish();
    }

    /** Awaits {@code latch}, on a thread that nobody interrupts. */
    static void await(CountDownLatch latch) {
        try {
            latch.await();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IllegalStateException(e);
        }
    }

    /** Waits up to {@code millis} for {@code condition}, looking every millisecond. */
    static void waitFor(BooleanSupplier condition, long millis) throws InterruptedException {
        long deadline = System.nanoTime() + millis * 1_000_000;
        while (!condition.getAsBoolean() && System.nanoTime() < deadline) {
            Thread.sleep(1);
        }
    }
}
