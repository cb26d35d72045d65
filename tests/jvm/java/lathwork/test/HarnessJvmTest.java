package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import lathwork.Brenmoor;
import org.junit.jupiter.api.Test;

/**
 * The harness itself: the bridge's lines, written without a flush, must reach the captured stdout
 * however the child ends, and a JNI warning must not go unnoticed.
 */
class HarnessJvmTest {
    static final class ExitWithCode implements Scenario {
        @Override
        public void run(Report report) {
            report.step("before exit");
            Brenmoor.close(0);
            report.journal();
            System.exit(3);
        }
    }

    @Test
    void unflushedLinesSurviveSystemExit() {
        ChildJvm.Run run = ChildJvm.launch(ExitWithCode.class, ChildJvm.SIM_DIR);
        run.assertClean(3);
        assertEquals("-- before exit\nin DLL: DLL not found.\n", run.stdout);
        assertEquals("-- before exit\n", run.report);
    }

    static final class ReturnNormally implements Scenario {
        @Override
        public void run(Report report) {
            report.step("before return");
            Brenmoor.close(0);
        }
    }

    @Test
    void unflushedLinesSurviveNormalReturn() {
        ChildJvm.Run run = ChildJvm.run(ReturnNormally.class);
        assertEquals("-- before return\nin DLL: DLL not found.\n", run.stdout);
    }

    static final class MisuseJni implements Scenario {
        @Override
        public void run(Report report) {
            SimProbe.provokeJniWarning();
        }
    }

    @Test
    void jniWarningFailsTheRun() {
        ChildJvm.Run run = ChildJvm.launch(MisuseJni.class, ChildJvm.SIM_DIR);
        assertTrue(run.stdout.contains("WARNING in native method"), () -> "no warning in " + run);
        assertThrows(AssertionError.class, () -> run.assertClean(0));
    }
}
