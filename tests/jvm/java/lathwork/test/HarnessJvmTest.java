package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import lathwork.Brenmoor;
import org.junit.jupiter.api.Test;

/**
 * The harness itself: the bridge's lines must reach the captured stdout even when the child ends
 * through System.exit (a normal end is every other test), and a JNI warning must not go unnoticed.
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
        ChildJvm.Run run = ChildJvm.launch(ExitWithCode.class);
        run.assertClean(3);
        assertEquals("-- before exit\nin DLL: DLL not found.\n", run.stdout);
        assertEquals("-- before exit\n", run.report);
    }

    static final class MisuseJni implements Scenario {
        @Override
        public void run(Report report) {
            SimProbe.provokeJniWarning();
        }
    }

    @Test
    void jniWarningFailsTheRun() {
        ChildJvm.Run run = ChildJvm.launch(MisuseJni.class);
        assertTrue(run.stdout.contains("WARNING in native method"), () -> "no warning in " + run);
        assertThrows(AssertionError.class, () -> run.assertClean(0));
    }
}
