package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import lathwork.Brenmoor;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** The two library slots: what every operation does before, between and after start and finish. */
class FrameJvmTest {
    private static final String DLL_NOT_FOUND = "in DLL: DLL not found.\n";
    private static final String FUNCTION_NOT_FOUND = "in DLL: Function not found.\n";

    /** Step, entry point and journal line of each operation that {@link #callEach} makes. */
    private static final String[][] OPERATIONS = {
        {"open", "CVDLLRZ_Open", "CVDLLRZ_Open 0 1 110 100 3"},
        {"stopMode", "CVDLLRZ_StopMode", "CVDLLRZ_StopMode 0 1"},
        {"downLoad", "CVDLLRZ_DownLoad", "CVDLLRZ_DownLoad 0 1 x70726f672e6d6f74"},
        {"runMode", "CVDLLRZ_RunMode", "CVDLLRZ_RunMode 0 1"},
        {"regWrite(value)", "CVDLLRZ_RegWrite", "CVDLLRZ_RegWrite 0 0 10 [1234] 1"},
        {"regWrite(array)", "CVDLLRZ_RegWrite", "CVDLLRZ_RegWrite 0 0 11 [5,6] 2"},
        {"regRead(array)", "CVDLLRZ_RegRead", "CVDLLRZ_RegRead 0 0 10 * 3"},
        {"regRead(new)", "CVDLLRZ_RegRead", "CVDLLRZ_RegRead 0 0 10 * 3"},
        {"close", "CVDLLRZ_Close", "CVDLLRZ_Close 0"},
        {"cvPoke", "CVDA_Poke", "CVDA_Poke x746f706963 x6974656d x76616c7565"},
        {"cvRequest", "CVDA_Request", "CVDA_Request x73696d x7374617465 *"},
    };

    /** Every operation once, each after its own step, in an order the simulated PLC accepts. */
    static void callEach(Report report) {
        report.step("open");
        Brenmoor.open(0, 1, 0, 100, 3);
        report.step("stopMode");
        Brenmoor.stopMode(0, 1);
        report.step("downLoad");
        Brenmoor.downLoad(0, 1, "prog.mot");
        report.step("runMode");
        Brenmoor.runMode(0, 1);
        report.step("regWrite(value)");
        Brenmoor.regWrite(0, 0, 10, 1234);
        report.step("regWrite(array)");
        Brenmoor.regWrite(0, 0, 11, new int[] {5, 6}, 2);
        report.step("regRead(array)");
        int[] values = {7, 7, 7};
        Brenmoor.regRead(0, 0, 10, values, 3);
        report.value("read", values);
        report.step("regRead(new)");
        report.value("read", Brenmoor.regRead(0, 0, 10, 3));
        report.step("close");
        Brenmoor.close(0);
        report.step("cvPoke");
        Brenmoor.cvPoke("topic", "item", "value");
        report.step("cvRequest");
        report.value("reply", Brenmoor.cvRequest("sim", "state"));
    }

    /** The report of {@link #callEach} when every call succeeds on freshly loaded libraries. */
    private static final String ALL_SUCCEED = """
            -- open
            CVDLLRZ_Open 0 1 110 100 3
            -- stopMode
            CVDLLRZ_StopMode 0 1
            -- downLoad
            CVDLLRZ_DownLoad 0 1 x70726f672e6d6f74
            -- runMode
            CVDLLRZ_RunMode 0 1
            -- regWrite(value)
            CVDLLRZ_RegWrite 0 0 10 [1234] 1
            -- regWrite(array)
            CVDLLRZ_RegWrite 0 0 11 [5,6] 2
            -- regRead(array)
            CVDLLRZ_RegRead 0 0 10 * 3
            read [1234, 5, 6]
            -- regRead(new)
            CVDLLRZ_RegRead 0 0 10 * 3
            read [1234, 5, 6]
            -- close
            CVDLLRZ_Close 0
            -- cvPoke
            CVDA_Poke x746f706963 x6974656d x76616c7565
            -- cvRequest
            CVDA_Request x73696d x7374617465 *
            reply "running"
            """;

    /** The report of {@link #callEach} when neither library is there: only failure results. */
    private static final String NONE_REACHED = """
            -- open
            -- stopMode
            -- downLoad
            -- runMode
            -- regWrite(value)
            -- regWrite(array)
            -- regRead(array)
            read [7, 7, 7]
            -- regRead(new)
            read [0, 0, 0]
            -- close
            -- cvPoke
            -- cvRequest
            reply "-1"
            """;

    /** Native stdout of {@link #callEach}: each step marker, followed by {@code line} if given. */
    private static String eachStepWrites(String line) {
        StringBuilder out = new StringBuilder();
        for (String[] operation : OPERATIONS) {
            out.append("-- ").append(operation[0]).append('\n').append(line);
        }
        return out.toString();
    }

    static final class NoStart implements Scenario {
        @Override
        public void run(Report report) {
            callEach(report);
        }
    }

    /** Java's own output around a failing call, on the same stdout. */
    static final class AmidJavaOutput implements Scenario {
        @Override
        public void run(Report report) {
            System.out.println("java before");
            Brenmoor.close(0);
            System.out.println("java after");
        }
    }

    /** Each line is flushed as it is written, so it stands where it happened even on a pipe. */
    @Test
    void aLineStandsWhereItWasWrittenAmongJavaOutput() {
        ChildJvm.Run run = ChildJvm.run(AmidJavaOutput.class);
        assertEquals("java before\n" + DLL_NOT_FOUND + "java after\n", run.stdout);
    }

    @Test
    void everyOperationBeforeStartWritesDllNotFoundAndReachesNothing() {
        ChildJvm.Run run = ChildJvm.run(NoStart.class);
        assertEquals(eachStepWrites(DLL_NOT_FOUND), run.stdout);
        assertEquals(NONE_REACHED, run.report);
    }

    static final class StartWithoutLibraries implements Scenario {
        @Override
        public void run(Report report) {
            report.step("start");
            Brenmoor.start();
            Brenmoor.cvStart();
            callEach(report);
        }
    }

    @Test
    void startWithoutTheLibraryFileIsSilent(@TempDir Path empty) {
        ChildJvm.Run run = ChildJvm.run(StartWithoutLibraries.class, empty);
        assertEquals("-- start\n" + eachStepWrites(DLL_NOT_FOUND), run.stdout);
        assertEquals("-- start\n" + NONE_REACHED, run.report);
    }

    static final class LoadCounting implements Scenario {
        @Override
        public void run(Report report) {
            report.step("finish before start");
            Brenmoor.finish();
            Brenmoor.cvFinish();
            report.step("start twice, finish once");
            Brenmoor.start();
            Brenmoor.start();
            Brenmoor.finish();
            Brenmoor.cvStart();
            Brenmoor.cvStart();
            Brenmoor.cvFinish();
            callEach(report);
            report.step("last finish");
            Brenmoor.finish();
            Brenmoor.cvFinish();
            report.step("open after last finish");
            Brenmoor.open(0, 1, 0, 100, 3);
            report.step("cvRequest after last cvFinish");
            report.value("reply", Brenmoor.cvRequest("sim", "state"));
            report.step("start again");
            Brenmoor.start();
            Brenmoor.cvStart();
            report.step("read after new start");
            Brenmoor.open(0, 1, 0, 100, 3);
            report.value("read", Brenmoor.regRead(0, 0, 10, 1));
            report.step("cvRequest after new cvStart");
            report.value("reply", Brenmoor.cvRequest("sim", "state"));
        }
    }

    @Test
    void eachFinishReleasesOneStartAndTheLastEmptiesTheSlot() {
        ChildJvm.Run run = ChildJvm.run(LoadCounting.class);
        assertEquals("-- finish before start\n-- start twice, finish once\n" + eachStepWrites("")
                + "-- last finish\n"
                + "-- open after last finish\n" + DLL_NOT_FOUND
                + "-- cvRequest after last cvFinish\n" + DLL_NOT_FOUND
                + "-- start again\n-- read after new start\n-- cvRequest after new cvStart\n",
                run.stdout);
        // The register written by callEach reads 0 after the new start: the last finish really
        // released the library, so the new start loaded a fresh one.
        assertEquals("-- finish before start\n-- start twice, finish once\n" + ALL_SUCCEED + """
                -- last finish
                -- open after last finish
                -- cvRequest after last cvFinish
                reply "-1"
                -- start again
                -- read after new start
                CVDLLRZ_Open 0 1 110 100 3
                CVDLLRZ_RegRead 0 0 10 * 1
                read [0]
                -- cvRequest after new cvStart
                CVDA_Request x73696d x7374617465 *
                reply "running"
                """, run.report);
    }

    static final class SeparateSlots implements Scenario {
        @Override
        public void run(Report report) {
            report.step("cvStart");
            Brenmoor.cvStart();
            report.step("link after cvStart");
            Brenmoor.open(0, 1, 0, 100, 3);
            report.step("Corvane after cvStart");
            report.value("reply", Brenmoor.cvRequest("sim", "state"));
            report.step("start, cvFinish");
            Brenmoor.start();
            Brenmoor.cvFinish();
            report.step("link after cvFinish");
            Brenmoor.open(0, 1, 0, 100, 3);
            report.step("Corvane after cvFinish");
            report.value("reply", Brenmoor.cvRequest("sim", "state"));
            report.step("cvStart, finish");
            Brenmoor.cvStart();
            Brenmoor.finish();
            report.step("link after finish");
            Brenmoor.open(1, 1, 0, 100, 3);
            report.step("Corvane after finish");
            report.value("reply", Brenmoor.cvRequest("sim", "state"));
        }
    }

    @Test
    void linkAndCorvaneSlotsAreIndependent() {
        ChildJvm.Run run = ChildJvm.run(SeparateSlots.class);
        assertEquals("-- cvStart\n"
                + "-- link after cvStart\n" + DLL_NOT_FOUND
                + "-- Corvane after cvStart\n"
                + "-- start, cvFinish\n"
                + "-- link after cvFinish\n"
                + "-- Corvane after cvFinish\n" + DLL_NOT_FOUND
                + "-- cvStart, finish\n"
                + "-- link after finish\n" + DLL_NOT_FOUND
                + "-- Corvane after finish\n", run.stdout);
        assertEquals("""
                -- cvStart
                -- link after cvStart
                -- Corvane after cvStart
                CVDA_Request x73696d x7374617465 *
                reply "running"
                -- start, cvFinish
                -- link after cvFinish
                CVDLLRZ_Open 0 1 110 100 3
                -- Corvane after cvFinish
                reply "-1"
                -- cvStart, finish
                -- link after finish
                -- Corvane after finish
                CVDA_Request x73696d x7374617465 *
                reply "running"
                """, run.report);
    }

    static final class AgainstVariant implements Scenario {
        @Override
        public void run(Report report) {
            // Statuses are fixed to success so that, say, a link that could not be opened does
            // not fail the operations after it: only the missing entry point may show.
            for (String[] operation : OPERATIONS) {
                if (operation[1].startsWith("CVDLLRZ_")) {
                    SimProbe.scriptStatus(operation[1], 0);
                }
            }
            Brenmoor.start();
            Brenmoor.cvStart();
            callEach(report);
        }
    }

    @ParameterizedTest
    @ValueSource(strings = {"CVDLLRZ_Open", "CVDLLRZ_Close", "CVDLLRZ_RunMode", "CVDLLRZ_StopMode",
                            "CVDLLRZ_DownLoad", "CVDLLRZ_RegWrite", "CVDLLRZ_RegRead", "CVDA_Poke",
                            "CVDA_Request"})
    void missingEntryPointFailsOnlyTheOperationsThatNeedIt(String missing) {
        ChildJvm.Run run =
                ChildJvm.run(AgainstVariant.class, ChildJvm.simWithout(missing), ChildJvm.SIM_DIR);
        StringBuilder stdout = new StringBuilder();
        for (String[] operation : OPERATIONS) {
            boolean needsMissing = operation[1].equals(missing);
            stdout.append("-- ").append(operation[0]).append('\n')
                    .append(needsMissing ? FUNCTION_NOT_FOUND : "");
            List<String> calls = new ArrayList<>();
            for (String line : run.step(operation[0])) {
                if (line.startsWith("CVD")) {
                    calls.add(line);
                }
            }
            assertEquals(needsMissing ? List.of() : List.of(operation[2]), calls,
                    () -> "calls in step " + operation[0] + " of " + run);
        }
        assertEquals(stdout.toString(), run.stdout);
        if (missing.equals("CVDLLRZ_RegRead")) {
            assertEquals(List.of("read [7, 7, 7]"), run.step("regRead(array)"));
            assertEquals(List.of("read [0, 0, 0]"), run.step("regRead(new)"));
        }
        if (missing.equals("CVDA_Request")) {
            assertEquals(List.of("reply \"-1\""), run.step("cvRequest"));
        }
    }
}
