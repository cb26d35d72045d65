package lathwork.test;

import java.io.Serializable;
import java.lang.invoke.SerializedLambda;
import java.lang.reflect.Method;

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
}
