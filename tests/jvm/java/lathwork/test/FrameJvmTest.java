package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.List;
import lathwork.Brenmoor;
import morlane.CallRecord;
import morlane.DataAccess;
import morlane.PlcLink;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The two library slots: what every operation does before, between and after start and finish,
 * with no library file, and with a library that lacks an entry point.
 */
class FrameJvmTest {
    private static final String DLL_NOT_FOUND = "in DLL: DLL not found.\n";
    private static final String FUNCTION_NOT_FOUND = "in DLL: Function not found.\n";
    static final String LINK_FILE = "CVDLL1RZ1.dll";
    static final String CORVANE_FILE = "CVDAlib.dll";

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

    /** Every operation once, each after its own step "{@code prefix}name", in an order the
     *  simulated PLC accepts. */
    static void callEach(Report report, String prefix) {
        report.step(prefix + "open");
        Brenmoor.open(0, 1, 0, 100, 3);
        report.step(prefix + "stopMode");
        Brenmoor.stopMode(0, 1);
        report.step(prefix + "downLoad");
        Brenmoor.downLoad(0, 1, "prog.mot");
        report.step(prefix + "runMode");
        Brenmoor.runMode(0, 1);
        report.step(prefix + "regWrite(value)");
        Brenmoor.regWrite(0, 0, 10, 1234);
        report.step(prefix + "regWrite(array)");
        Brenmoor.regWrite(0, 0, 11, new int[] {5, 6}, 2);
        report.step(prefix + "regRead(array)");
        int[] values = {7, 7, 7};
        Brenmoor.regRead(0, 0, 10, values, 3);
        report.value("read", values);
        report.step(prefix + "regRead(new)");
        report.value("read", Brenmoor.regRead(0, 0, 10, 3));
        report.step(prefix + "close");
        Brenmoor.close(0);
        report.step(prefix + "cvPoke");
        Brenmoor.cvPoke("topic", "item", "value");
        report.step(prefix + "cvRequest");
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

    /** Every operation before any start, then after a start that found no library file. */
    static final class NoLibraryFile implements Scenario {
        @Override
        public void run(Report report) {
            report.value("bits", System.getProperty("sun.arch.data.model"));
            callEach(report, "");
            report.step("start");
            Brenmoor.start();
            Brenmoor.cvStart();
            callEach(report, "");
            report.step("facade");
            FacadeJvmTest.InChild.outcome(report, "PlcLink.open",
                    () -> PlcLink.open(0, 1, 0, 1000, 3));
            FacadeJvmTest.InChild.outcome(report, "DataAccess.open", DataAccess::open);
            report.value("modes", FacadeJvmTest.InChild.modes());
        }
    }

    /**
     * Without a library every operation writes "DLL not found" and reaches nothing; a start that
     * finds no file is silent, and the facade's message carries the loader's own words, from this
     * process and, where a 64-bit bridge tried a host, from the host.
     */
    @Test
    void withoutALibraryFileEveryOperationWritesDllNotFound(@TempDir Path empty) {
        ChildJvm.Run run = ChildJvm.run(NoLibraryFile.class, empty);
        assertEquals(eachStepWrites(DLL_NOT_FOUND) + "-- start\n" + eachStepWrites(DLL_NOT_FOUND)
                + "-- facade\n", run.stdout);
        boolean hostTried = run.report.startsWith("bits \"64\"\n");
        // A build without the 32-bit host (the sanitizer build) says so instead.
        Path host = ChildJvm.LIB_DIR.resolve("morlane-host32");
        List<String> reasons = new ArrayList<>();
        for (String file : new String[] {LINK_FILE, CORVANE_FILE}) {
            String loader = file + ": cannot open shared object file: No such file or directory";
            String hosted = Files.exists(host) ? "morlane-host32 could not load it: " + loader
                    : host + " not found";
            reasons.add(hostTried ? "in process: " + loader + "; hosted: " + hosted : loader);
        }
        assertEquals(run.report.substring(0, run.report.indexOf('\n') + 1) + NONE_REACHED
                + "-- start\n" + NONE_REACHED + """
                -- facade
                PlcLink.open start NOT_LOADED [] missing | start: CVDLL1RZ1.dll could not be loaded: %s
                DataAccess.open cvStart NOT_LOADED [] missing | cvStart: CVDAlib.dll could not be loaded: %s
                modes link 0 corvane 0
                """.formatted(reasons.get(0), reasons.get(1)), run.report);
    }

    static final class LoadCounting implements Scenario {
        @Override
        public void run(Report report) {
            report.step("finish before start");
            Brenmoor.finish();
            Brenmoor.cvFinish();
            report.value("modes", FacadeJvmTest.InChild.modes());
            report.step("start twice, finish once");
            Brenmoor.start();
            Brenmoor.start();
            Brenmoor.finish();
            Brenmoor.cvStart();
            Brenmoor.cvStart();
            Brenmoor.cvFinish();
            report.value("modes", FacadeJvmTest.InChild.modes());
            callEach(report, "");
            report.step("last cvFinish");
            Brenmoor.cvFinish();
            report.value("modes", FacadeJvmTest.InChild.modes());
            report.value("reply", Brenmoor.cvRequest("sim", "state"));
            Brenmoor.open(1, 1, 0, 100, 3);
            report.step("last finish");
            Brenmoor.finish();
            report.value("modes", FacadeJvmTest.InChild.modes());
            Brenmoor.open(2, 1, 0, 100, 3);
            report.step("cvStart again");
            Brenmoor.cvStart();
            report.value("modes", FacadeJvmTest.InChild.modes());
            Brenmoor.open(3, 1, 0, 100, 3);
            report.value("reply", Brenmoor.cvRequest("sim", "state"));
            report.step("start again");
            Brenmoor.start();
            report.value("modes", FacadeJvmTest.InChild.modes());
            Brenmoor.open(0, 1, 0, 100, 3);
            report.value("read", Brenmoor.regRead(0, 0, 10, 1));
            Brenmoor.finish();
            Brenmoor.cvFinish();
        }
    }

    /**
     * Each finish gives back one start, the last one empties the slot, and the two slots know
     * nothing of each other; the load mode follows.
     */
    @Test
    void eachFinishReleasesOneStartAndTheLastEmptiesOnlyItsSlot() {
        ChildJvm.Run run = ChildJvm.run(LoadCounting.class);
        assertEquals("-- finish before start\n-- start twice, finish once\n" + eachStepWrites("")
                + "-- last cvFinish\n" + DLL_NOT_FOUND + "-- last finish\n" + DLL_NOT_FOUND
                + "-- cvStart again\n" + DLL_NOT_FOUND + "-- start again\n", run.stdout);
        int m = FacadeJvmTest.LOADED;
        // The register written by callEach reads 0 after the new start: the last finish really
        // released the library, so the new start loaded a fresh one.
        assertEquals("-- finish before start\nmodes link 0 corvane 0\n"
                + "-- start twice, finish once\nmodes link " + m + " corvane " + m + "\n"
                + ALL_SUCCEED + """
                -- last cvFinish
                modes link %1$d corvane 0
                reply "-1"
                CVDLLRZ_Open 1 1 110 100 3
                -- last finish
                modes link 0 corvane 0
                -- cvStart again
                modes link 0 corvane %1$d
                CVDA_Request x73696d x7374617465 *
                reply "running"
                -- start again
                modes link %1$d corvane %1$d
                CVDLLRZ_Open 0 1 110 100 3
                CVDLLRZ_RegRead 0 0 10 * 1
                read [0]
                """.formatted(m), run.report);
    }

    /** The two variants of the simulated libraries, each lacking every other entry point. */
    private static final String[] VARIANTS = {"even", "odd"};

    private static List<String> lacking(String variant) {
        return List.of(System.getProperty("morlane.lacking." + variant).split(","));
    }

    /**
     * Round by round, a variant lacking half the entry points is copied over the files the last
     * round loaded, as an installer would leave them, and every operation is called once.
     */
    static final class SwappedVariants implements Scenario {
        @Override
        public void run(Report report) throws Exception {
            // The child's library path is: the directory to swap into, then the simulated libraries.
            String[] path = System.getenv("LD_LIBRARY_PATH").split(":");
            Path swap = Paths.get(path[0]);
            Path sims = Paths.get(path[1]);
            for (String variant : VARIANTS) {
                for (String file : new String[] {LINK_FILE, CORVANE_FILE}) {
                    Files.copy(sims.resolve("lacking-" + variant).resolve(file),
                            swap.resolve(file), StandardCopyOption.REPLACE_EXISTING);
                }
                // Statuses fixed to success, so that, say, a link that could not be opened does
                // not fail the operations after it: only the missing entry points may show.
                for (String[] each : OPERATIONS) {
                    if (each[1].startsWith("CVDLLRZ_")) {
                        SimProbe.scriptStatus(each[1], 0);
                    }
                }
                Brenmoor.start();
                Brenmoor.cvStart();
                callEach(report, variant + ": ");
                Brenmoor.finish();
                Brenmoor.cvFinish();
                report.journalThenReset();
            }
        }
    }

    /**
     * A missing entry point fails only the operations that need it, with "Function not found",
     * and each entry point is looked up in the library loaded now: one the round before lacked
     * is found, one it had may be gone.
     */
    @Test
    void missingEntryPointFailsOnlyTheOperationsThatNeedIt(@TempDir Path temp) throws Exception {
        // Nested, so that the variants' second search directory ($ORIGIN/..) holds nothing.
        Path swap = Files.createDirectory(temp.resolve("lib"));
        ChildJvm.Run run = ChildJvm.run(SwappedVariants.class, swap, ChildJvm.SIM_DIR);
        StringBuilder stdout = new StringBuilder();
        for (String variant : VARIANTS) {
            for (String[] operation : OPERATIONS) {
                boolean needsMissing = lacking(variant).contains(operation[1]);
                String step = variant + ": " + operation[0];
                stdout.append("-- ").append(step).append('\n')
                        .append(needsMissing ? FUNCTION_NOT_FOUND : "");
                List<String> calls = new ArrayList<>();
                for (String line : run.step(step)) {
                    if (line.startsWith("CVD")) {
                        calls.add(line);
                    }
                }
                assertEquals(needsMissing ? List.of() : List.of(operation[2]), calls,
                        () -> "calls in step " + step + " of " + run);
            }
        }
        assertEquals(stdout.toString(), run.stdout);
        String noRead = lacking("even").contains("CVDLLRZ_RegRead") ? "even" : "odd";
        String noRequest = lacking("even").contains("CVDA_Request") ? "even" : "odd";
        assertEquals(List.of("read [7, 7, 7]"), run.step(noRead + ": regRead(array)"));
        assertEquals(List.of("read [0, 0, 0]"), run.step(noRead + ": regRead(new)"));
        assertEquals(List.of("reply \"-1\""), run.step(noRequest + ": cvRequest"));
    }
}
