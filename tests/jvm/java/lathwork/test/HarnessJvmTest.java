package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import lathwork.Brenmoor;
import org.junit.jupiter.api.Test;

/**
 * The harness itself: the bridge's lines must reach the captured stdout even when the child ends
 * through System.exit (a normal end is every other test), and a JNI warning must not go unnoticed.
 */
class HarnessJvmTest {
    @Test
    void unflushedLinesSurviveSystemExit() {
        ChildJvm.Run run = ChildJvm.launch(report -> {
            report.step("before exit");
            Brenmoor.close(0);
            report.journal();
            System.exit(3);
        });
        run.assertClean(3);
        run.expect("-- before exit\nin DLL: DLL not found.\n", "-- before exit\n");
    }

    @Test
    void jniWarningFailsTheRun() {
        ChildJvm.Run run = ChildJvm.launch(report -> SimProbe.provokeJniWarning());
        assertTrue(run.stdout().contains("WARNING in native method"), () -> "no warning in " + run);
        assertThrows(AssertionError.class, () -> run.assertClean(0));
    }
}
