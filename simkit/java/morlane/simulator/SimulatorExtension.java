package morlane.simulator;

import org.junit.jupiter.api.extension.AfterEachCallback;
import org.junit.jupiter.api.extension.BeforeEachCallback;
import org.junit.jupiter.api.extension.ExtensionContext;
import org.junit.jupiter.api.extension.ParameterContext;
import org.junit.jupiter.api.extension.ParameterResolver;

/**
 * Gives each JUnit 5 test a fresh {@link Simulator}, started before the test and closed after it,
 * as a parameter of the test method:
 *
 * <pre>{@code
 * @ExtendWith(SimulatorExtension.class)
 * class ConveyorTest {
 *     @Test
 *     void stopsOnJam(Simulator plc) {
 *         plc.setRegister(0, 0, 10, 1);
 *         ...
 *     }
 * }
 * }</pre>
 *
 * <p>The stand-ins run in process, or hosted when the system property {@code
 * morlane.simulator.hosted} is {@code true} (so one suite can run both ways, from two runs of the
 * build).
 */
public final class SimulatorExtension
        implements BeforeEachCallback, AfterEachCallback, ParameterResolver {
    private static final ExtensionContext.Namespace NAMESPACE =
            ExtensionContext.Namespace.create(SimulatorExtension.class);

    @Override
    public void beforeEach(ExtensionContext context) {
        context.getStore(NAMESPACE).put(Simulator.class,
                Simulator.start(Boolean.getBoolean("morlane.simulator.hosted")));
    }

    @Override
    public void afterEach(ExtensionContext context) {
        Simulator simulator = context.getStore(NAMESPACE).remove(Simulator.class, Simulator.class);
        if (simulator != null) {
            simulator.close();
        }
    }

    @Override
    public boolean supportsParameter(ParameterContext parameter, ExtensionContext context) {
        return parameter.getParameter().getType() == Simulator.class;
    }

    @Override
    public Object resolveParameter(ParameterContext parameter, ExtensionContext context) {
        return context.getStore(NAMESPACE).get(Simulator.class, Simulator.class);
    }
}
