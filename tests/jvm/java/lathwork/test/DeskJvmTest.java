package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.stream.Collectors;
import morlane.DataAccess;
import morlane.PlcLink;
import morlane.simulator.Simulator;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The desk kit (the simulator artifact) as a program's test uses it, in the mode the suite runs
 * in, with the library search path leading nowhere; and simwatch's fault commands.
 */
class DeskJvmTest {
    static final boolean HOSTED = "hosted".equals(System.getProperty("morlane.mode"));

    /** The scenario; it names the kit's and the facade's types, which the launcher lacks. */
    static final class InChild {
        private InChild() {}

        static void outcome(Report report, String label, Runnable action) {
            long started = System.nanoTime();
            FacadeJvmTest.InChild.outcome(report, label, action);
            report.value(label + " slow", System.nanoTime() - started >= 300_000_000L);
        }

        static void simwatch(String... arguments) throws Exception {
            String[] command = new String[arguments.length + 1];
            command[0] = System.getProperty("simwatch");
            System.arraycopy(arguments, 0, command, 1, arguments.length);
            Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
            String said = new String(process.getInputStream().readAllBytes());
            if (process.waitFor() != 0) {
                throw new AssertionError(Arrays.toString(arguments) + ": " + said);
            }
        }

        static void kit(Report report) throws Exception {
            try (Simulator plc = Simulator.start(HOSTED)) {
                plc.setRegister(0, 0, 100, 42);
                plc.setCorvaneItem("line1", "speed", "1250");
                PlcLink link = PlcLink.open(0, 1, 0, 1000, 3);
                DataAccess corvane = DataAccess.open();
                report.value("read", link.readRegisters(0, 100, 1));
                link.writeRegisters(0, 101, 7);
                report.value("written", plc.register(0, 0, 101));
                report.value("requested", corvane.request("line1", "speed"));
                report.value("item", plc.corvaneItem("line1", "speed"));
                report.value("never set", plc.corvaneItem("line1", "never"));

                plc.failWith("CVDLLRZ_RegRead", 9, 2);
                for (int i = 0; i < 3; i++) {
                    outcome(report, "read " + i, () -> link.readRegisters(0, 100, 1));
                }
                plc.failWith("CVDA_Poke", 0);
                outcome(report, "poke", () -> corvane.poke("a", "b", "c"));
                outcome(report, "poke", () -> corvane.poke("a", "b", "c"));
                plc.clearFaults("CVDA_Poke");
                outcome(report, "poke cleared", () -> corvane.poke("a", "b", "c"));
                plc.delay("CVDLLRZ_RunMode", 300, 1);
                outcome(report, "run", link::runMode);
                outcome(report, "run", link::runMode);
                simwatch("status", "CVDLLRZ_StopMode", "6", "1");
                outcome(report, "simwatch status", link::stopMode);
                outcome(report, "stop", link::stopMode);
                if (HOSTED) {
                    plc.crash("CVDLLRZ_RegWrite");
                    outcome(report, "crash", () -> link.writeRegisters(0, 1, 1));
                    link.close(); // quiet: the library is gone with its host
                    PlcLink again = PlcLink.open(0, 1, 0, 1000, 3);
                    simwatch("crash", "CVDLLRZ_Close");
                    again.close();
                    report.value("crashed by simwatch", again.loadMode());
                } else {
                    link.close();
                }
                corvane.close();
                report.value("calls", plc.calls().subList(0, 2));
            }
            try (Simulator plc = Simulator.start(HOSTED)) {
                report.value("fresh", new Report.Plain(plc.register(0, 0, 100) + " "
                        + plc.corvaneItem("line1", "speed")));
            }
        }
    }

    @Test
    void aProgramsTestDrivesTheSimulatedPlcAndScriptsItsFaults(@TempDir Path empty) {
        ChildJvm.Run run = ChildJvm.launch(List.of("-Dsimwatch="
                + System.getProperty("morlane.simwatch")), Map.of(), ChildJvm.LIB_DIR,
                InChild::kit, empty);
        String crash = """
                crash regWrite HOST_LOST [in DLL: RegWrite Error] | regWrite: host lost: in DLL: RegWrite Error
                crash slow false
                crashed by simwatch NOT_LOADED
                """;
        assertEquals("""
                read [42]
                written 7
                requested "1250"
                item "1250"
                never set null
                read 0 regRead LIBRARY_FAILED [in DLL: RegRead Error] status 9 | regRead: library failed, status 9: in DLL: RegRead Error
                read 0 slow false
                read 1 regRead LIBRARY_FAILED [in DLL: RegRead Error] status 9 | regRead: library failed, status 9: in DLL: RegRead Error
                read 1 slow false
                read 2 returned
                read 2 slow false
                poke cvPoke LIBRARY_FAILED [in DLL: Corvane stopped] status 0 | cvPoke: library failed, status 0: in DLL: Corvane stopped
                poke slow false
                poke cvPoke LIBRARY_FAILED [in DLL: Corvane stopped] status 0 | cvPoke: library failed, status 0: in DLL: Corvane stopped
                poke slow false
                poke cleared returned
                poke cleared slow false
                run returned
                run slow true
                run returned
                run slow false
                simwatch status stopMode LIBRARY_FAILED [in DLL: Stop Error] status 6 | stopMode: library failed, status 6: in DLL: Stop Error
                simwatch status slow false
                stop returned
                stop slow false
                %scalls [CVDLLRZ_Open 0 1 110 1000 3, CVDLLRZ_RegRead 0 0 100 * 1]
                fresh 0 null
                """.formatted(HOSTED ? crash : ""), run.assertClean(0).report().lines()
                .filter(line -> !line.startsWith("CVD")) // the probe's copy of the calls
                .collect(Collectors.joining("\n", "", "\n")), run::toString);
    }
}
