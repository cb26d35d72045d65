package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.function.Consumer;
import java.util.stream.Collectors;
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
    static final String DLL_NOT_FOUND = "in DLL: DLL not found.\n";
    private static final String FUNCTION_NOT_FOUND = "in DLL: Function not found.\n";
    static final String LINK_FILE = "CVDLL1RZ1.dll";
    static final String CORVANE_FILE = "CVDAlib.dll";

    /** Each operation's step, journal line and call, in an order the simulated PLC accepts. */
    record Operation(String step, String journal, Consumer<Report> call) {
        String entry() {
            return journal.substring(0, journal.indexOf(' '));
        }
    }

    private static final Operation[] OPERATIONS = {
        new Operation("open", "CVDLLRZ_Open 0 1 110 100 3", r -> Brenmoor.open(0, 1, 0, 100, 3)),
        new Operation("stopMode", "CVDLLRZ_StopMode 0 1", r -> Brenmoor.stopMode(0, 1)),
        new Operation("downLoad", "CVDLLRZ_DownLoad 0 1 x70726f672e6d6f74",
                r -> Brenmoor.downLoad(0, 1, "prog.mot")),
        new Operation("runMode", "CVDLLRZ_RunMode 0 1", r -> Brenmoor.runMode(0, 1)),
        new Operation("regWrite(value)", "CVDLLRZ_RegWrite 0 0 10 [1234] 1",
                r -> Brenmoor.regWrite(0, 0, 10, 1234)),
        new Operation("regWrite(array)", "CVDLLRZ_RegWrite 0 0 11 [5,6] 2",
                r -> Brenmoor.regWrite(0, 0, 11, new int[] {5, 6}, 2)),
        new Operation("regRead(array)", "CVDLLRZ_RegRead 0 0 10 * 3",
                r -> r.value("read", RegisterJvmTest.readInto(new int[] {7, 7, 7}, 0, 10, 3))),
        new Operation("regRead(new)", "CVDLLRZ_RegRead 0 0 10 * 3",
                r -> r.value("read", Brenmoor.regRead(0, 0, 10, 3))),
        new Operation("close", "CVDLLRZ_Close 0", r -> Brenmoor.close(0)),
        new Operation("cvPoke", "CVDA_Poke x746f706963 x6974656d x76616c7565",
                r -> Brenmoor.cvPoke("topic", "item", "value")),
        new Operation("cvRequest", "CVDA_Request x73696d x7374617465 *",
                r -> r.value("reply", Brenmoor.cvRequest("sim", "state"))),
    };

    /** Every operation once, each after its own step "{@code prefix}name". */
    static void callEach(Report report, String prefix) {
        for (Operation operation : OPERATIONS) {
            report.step(prefix + operation.step());
            operation.call().accept(report);
        }
    }

    /**
     * The report of {@link #callEach}: each step, its journal line when it {@code reached} a
     * freshly loaded library, and what Java got.
     */
    private static String eachStepReports(boolean reached) {
        StringBuilder out = new StringBuilder();
        for (Operation operation : OPERATIONS) {
            out.append("-- ").append(operation.step()).append('\n');
            out.append(reached ? operation.journal() + "\n" : "").append(switch (operation.step()) {
                case "regRead(array)" -> reached ? "read [1234, 5, 6]\n" : "read [7, 7, 7]\n";
                case "regRead(new)" -> reached ? "read [1234, 5, 6]\n" : "read [0, 0, 0]\n";
                case "cvRequest" -> reached ? "reply \"running\"\n" : "reply \"-1\"\n";
                default -> "";
            });
        }
        return out.toString();
    }

    /** Native stdout of {@link #callEach}: each step marker, followed by {@code line} if given. */
    private static String eachStepWrites(String line) {
        return Arrays.stream(OPERATIONS).map(operation -> "-- " + operation.step() + "\n" + line)
                .collect(Collectors.joining());
    }

    /**
     * Each line is flushed as it is written, so it stands where it happened among Java's own
     * output on the same stdout, even on a pipe.
     */
    @Test
    void aLineStandsWhereItWasWrittenAmongJavaOutput() {
        ChildJvm.run(report -> {
            System.out.println("java before");
            Brenmoor.close(0);
            System.out.println("java after");
        }).expect("java before\n" + DLL_NOT_FOUND + "java after\n", "");
    }

    /**
     * Without a library, before any start and after one that found no file, every operation
     * writes "DLL not found" and reaches nothing; a start that finds no file is silent, and the
     * facade's message carries the loader's own words, from this process and, where a 64-bit
     * bridge tried a host, from the host.
     */
    @Test
    void withoutALibraryFileEveryOperationWritesDllNotFound(@TempDir Path empty) {
        ChildJvm.Run run = ChildJvm.run(report -> {
            report.value("bits", System.getProperty("sun.arch.data.model"));
            callEach(report, "");
            report.step("start");
            Scenario.startBoth();
            callEach(report, "");
            report.step("facade");
            FacadeJvmTest.InChild.outcome(report, "PlcLink.open",
                    () -> PlcLink.open(0, 1, 0, 1000, 3));
            FacadeJvmTest.InChild.outcome(report, "DataAccess.open", DataAccess::open);
            report.value("modes", FacadeJvmTest.InChild.modes());
        }, empty);
        assertEquals(eachStepWrites(DLL_NOT_FOUND) + "-- start\n" + eachStepWrites(DLL_NOT_FOUND)
                + "-- facade\n", run.stdout());
        boolean hostTried = run.report().startsWith("bits \"64\"\n");
        // A build without the 32-bit host (the sanitizer build) says so instead.
        Path host = ChildJvm.LIB_DIR.resolve("morlane-host32");
        List<String> reasons = new ArrayList<>();
        for (String file : new String[] {LINK_FILE, CORVANE_FILE}) {
            String loader = file + ": cannot open shared object file: No such file or directory";
            String hosted = Files.exists(host) ? "morlane-host32 could not load it: " + loader
                    : host + " not found";
            reasons.add(hostTried ? "in process: " + loader + "; hosted: " + hosted : loader);
        }
        assertEquals(run.report().substring(0, run.report().indexOf('\n') + 1)
                + eachStepReports(false) + "-- start\n" + eachStepReports(false) + """
                -- facade
                PlcLink.open start NOT_LOADED [] missing | start: CVDLL1RZ1.dll could not be loaded: %s
                DataAccess.open cvStart NOT_LOADED [] missing | cvStart: CVDAlib.dll could not be loaded: %s
                modes link 0 corvane 0
                """.formatted(reasons.get(0), reasons.get(1)), run.report());
    }

    /**
     * With the search path leading nowhere, the libraries load from a folder the program chose,
     * or the environment chose, by their path; without the choice, by bare name as before.
     */
    @Test
    void aChosenFolderIsWhereStartsLoadTheLibraries(@TempDir Path empty) {
        Scenario scenario = report -> {
            SimProbe.setRecording(false);
            Scenario.startBoth();
            report.value("as the bridge loads", FacadeJvmTest.InChild.modes());
            Scenario.finishBoth();
            CallRecord.setLibraryFolder(Paths.get(System.getProperty("sim")));
            Scenario.startBoth();
            Brenmoor.open(0, 1, 0, 1000, 3);
            report.value("chosen", FacadeJvmTest.InChild.modes() + " " + CallRecord.lastFailure());
            Scenario.finishBoth();
            CallRecord.setLibraryFolder(null);
            Scenario.startBoth();
            report.value("none chosen", FacadeJvmTest.InChild.modes());
        };
        int m = FacadeJvmTest.LOADED;
        String expected = "as the bridge loads link %d corvane %d\nchosen \"link %d corvane %d NONE\"\n"
                + "none chosen link 0 corvane 0\n";
        for (String variable : new String[] {"", ChildJvm.SIM_DIR.toString()}) {
            ChildJvm.Run run = ChildJvm.launch(List.of("-Dsim=" + ChildJvm.SIM_DIR), Map.of(
                    "MORLANE_LIBRARY_DIR", variable), ChildJvm.LIB_DIR, scenario, empty);
            int first = variable.isEmpty() ? 0 : m;
            assertEquals(expected.formatted(first, first, m, m), run.assertClean(0).report());
        }
    }

    /**
     * Each finish gives back one start, the last one empties the slot, and the two slots know
     * nothing of each other; the load mode follows.
     */
    @Test
    void eachFinishReleasesOneStartAndTheLastEmptiesOnlyItsSlot() {
        int m = FacadeJvmTest.LOADED;
        // The register written by callEach reads 0 after the new start: the last finish really
        // released the library, so the new start loaded a fresh one.
        ChildJvm.run(report -> {
            report.step("finish before start");
            Scenario.finishBoth();
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
            Scenario.finishBoth();
        }).expect("-- finish before start\n-- start twice, finish once\n" + eachStepWrites("")
                + "-- last cvFinish\n" + DLL_NOT_FOUND + "-- last finish\n" + DLL_NOT_FOUND
                + "-- cvStart again\n" + DLL_NOT_FOUND + "-- start again\n",
                "-- finish before start\nmodes link 0 corvane 0\n"
                + "-- start twice, finish once\nmodes link " + m + " corvane " + m + "\n"
                + eachStepReports(true) + """
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
                """.formatted(m));
    }

    /** The two variants of the simulated libraries, each lacking every other entry point. */
    private static final String[] VARIANTS = {"even", "odd"};

    private static List<String> lacking(String variant) {
        return List.of(System.getProperty("morlane.lacking." + variant).split(","));
    }

    /**
     * A missing entry point fails only the operations that need it, with "Function not found",
     * and each entry point is looked up in the library loaded now: one the round before lacked
     * is found, one it had may be gone. Round by round, a variant lacking half the entry points
     * is copied over the files the last round loaded, as an installer would leave them.
     */
    @Test
    void missingEntryPointFailsOnlyTheOperationsThatNeedIt(@TempDir Path temp) throws Exception {
        // Nested, so that the variants' second search directory ($ORIGIN/..) holds nothing.
        Path swap = Files.createDirectory(temp.resolve("lib"));
        ChildJvm.Run run = ChildJvm.run(report -> {
            // The library path: the directory to swap into, then the simulated libraries.
            String[] path = System.getenv("LD_LIBRARY_PATH").split(":");
            for (String variant : VARIANTS) {
                for (String file : new String[] {LINK_FILE, CORVANE_FILE}) {
                    Files.copy(Paths.get(path[1], "lacking-" + variant, file),
                            Paths.get(path[0], file), StandardCopyOption.REPLACE_EXISTING);
                }
                // Statuses fixed to success, so that, say, a link that could not be opened does
                // not fail the operations after it: only the missing entry points may show.
                for (Operation each : OPERATIONS) {
                    if (each.entry().startsWith("CVDLLRZ_")) {
                        SimProbe.scriptStatus(each.entry(), 0);
                    }
                }
                Scenario.startBoth();
                callEach(report, variant + ": ");
                Scenario.finishBoth();
                report.journalThenReset();
            }
        }, swap, ChildJvm.SIM_DIR);
        StringBuilder stdout = new StringBuilder();
        for (String variant : VARIANTS) {
            for (Operation operation : OPERATIONS) {
                boolean needsMissing = lacking(variant).contains(operation.entry());
                String step = variant + ": " + operation.step();
                stdout.append("-- ").append(step).append('\n')
                        .append(needsMissing ? FUNCTION_NOT_FOUND : "");
                List<String> calls =
                        run.step(step).stream().filter(line -> line.startsWith("CVD")).toList();
                assertEquals(needsMissing ? List.of() : List.of(operation.journal()), calls,
                        () -> "calls in step " + step + " of " + run);
            }
        }
        assertEquals(stdout.toString(), run.stdout());
        String noRead = lacking("even").contains("CVDLLRZ_RegRead") ? "even" : "odd";
        String noRequest = lacking("even").contains("CVDA_Request") ? "even" : "odd";
        assertEquals(List.of("read [7, 7, 7]"), run.step(noRead + ": regRead(array)"));
        assertEquals(List.of("read [0, 0, 0]"), run.step(noRead + ": regRead(new)"));
        assertEquals(List.of("reply \"-1\""), run.step(noRequest + ": cvRequest"));
    }
}
