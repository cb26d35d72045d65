package lathwork.test;

import java.util.Arrays;
import java.util.stream.Collectors;
import lathwork.Brenmoor;
import lathwork.test.Report.Plain;
import morlane.BridgeException;
import morlane.CallRecord;
import morlane.DataAccess;
import morlane.PlcLink;
import org.junit.jupiter.api.Test;

/**
 * The facade over the per-thread call record: its exceptions carry what the failed call wrote.
 * (Each thread's own record: ConcurrencyJvmTest; the load modes: FrameJvmTest.)
 */
class FacadeJvmTest {
    /** The mode a loaded library is expected in: the build runs this suite once per mode. */
    static final int LOADED = "hosted".equals(System.getProperty("morlane.mode", "in-process"))
            ? CallRecord.HOSTED : CallRecord.IN_PROCESS;

    /**
     * Helpers of the scenarios. They name the morlane classes, which only the child JVMs have on
     * their class path, so they live apart from the test methods that the launcher loads.
     */
    static final class InChild {
        private InChild() {}

        /** This thread's record, each line quoted with its newline as an escape. */
        static Object record() {
            return new Plain(Arrays.stream(CallRecord.lastLines()).map(Report::quote)
                    .collect(Collectors.joining(", ", "[", "]")));
        }

        static Object modes() {
            return new Plain("link " + CallRecord.linkMode() + " corvane "
                    + CallRecord.corvaneMode());
        }

        /** Reports what {@code action} threw: a BridgeException in full, anything else by class. */
        static void outcome(Report report, String label, Runnable action) {
            try {
                action.run();
                report.value(label, new Plain("returned"));
            } catch (RuntimeException e) {
                // Not a catch of BridgeException: the launcher, which cannot load it, links this
                // class when it names the scenario below.
                report.value(label, new Plain(e instanceof BridgeException b ? b.operation() + " "
                        + b.kind() + " " + b.diagnostics() + (b.isLibraryMissing() ? " missing" : "")
                        + (b.status().isPresent() ? " status " + b.status().getAsInt() : "")
                        + " | " + b.getMessage() : e.getClass().getSimpleName()));
            }
        }

        /** The scenario, kept here because its lambdas take the facade's types as parameters. */
        static void failures(Report report) {
            SimProbe.setRecording(false);
            report.value("fresh thread", record());
            try (PlcLink plc = PlcLink.open(0, 1, 0, 1000, 3)) {
                report.value("mode", new Plain(plc.mode() + " " + plc.loadMode()));
                outcome(report, "deadline", () -> plc.setCallDeadline(60_000));
                outcome(report, "negative deadline", () -> plc.setCallDeadline(-1));
                plc.stopMode();
                plc.download("a.prg");
                plc.runMode();
                outcome(report, "download while running", () -> plc.download("b.prg"));
                plc.writeRegisters(0, 10, 1, 2, 65535, -1);
                report.value("read", plc.readRegisters(0, 10, 4));
                outcome(report, "open an open link", () -> PlcLink.open(0, 1, 0, 1000, 3));
            }
            // Only a failed open that gave its load back leaves the library released here.
            report.value("after close", modes());

            PlcLink refused = PlcLink.open(1, 2, 1, 0, 0);
            Brenmoor.close(1);
            outcome(report, "close a link closed behind its back", refused::close);
            report.value("after failed close", modes());
            outcome(report, "use after close", refused::runMode);

            PlcLink released = PlcLink.open(2, 0, 2, 0, 0);
            Brenmoor.finish();
            outcome(report, "library released behind its back", released::runMode);
            outcome(report, "close it", released::close);

            try (DataAccess corvane = DataAccess.open()) {
                report.value("corvane mode", new Plain(corvane.mode() + " " + corvane.loadMode()));
                corvane.poke("line1", "speed", "-1");
                report.value("genuine -1", corvane.request("line1", "speed"));
                outcome(report, "item never poked", () -> corvane.request("line1", "never"));
                corvane.poke("sim", "state", "stopped");
                outcome(report, "poke while stopped", () -> corvane.poke("line1", "speed", "5"));
                outcome(report, "request while stopped", () -> corvane.request("line1", "speed"));
                // A caller that takes its failures from the facade can keep the lines off stdout.
                CallRecord.setLinesWritten(false);
                outcome(report, "lines off", () -> corvane.request("line1", "speed"));
                CallRecord.setLinesWritten(true);
            }
            report.value("after DataAccess close", modes());
            Brenmoor.start();
            Brenmoor.regWrite(0, 0, 100, null, 3);
            report.value("refused", CallRecord.lastFailure());
            Brenmoor.finish();
            report.value("record after finish", record());
        }
    }

    @Test
    void facadeThrowsWhatTheFailedCallWrote() {
        ChildJvm.run(InChild::failures).expect("""
                in DLL: Download Error
                in DLL: Open Error
                in DLL: Close Error
                in DLL: DLL not found.
                in DLL: Read error
                in DLL: Corvane stopped
                in DLL: Corvane stopped
                in DLL: RegWrite Error
                """, """
                fresh thread []
                mode %1$d %3$s
                deadline %2$s
                negative deadline IllegalArgumentException
                download while running downLoad LIBRARY_FAILED [in DLL: Download Error] status 7 | downLoad: library failed, status 7: in DLL: Download Error
                read [1, 2, 65535, 65535]
                open an open link open LIBRARY_FAILED [in DLL: Open Error] status 3 | open: library failed, status 3: in DLL: Open Error
                after close link 0 corvane 0
                close a link closed behind its back close LIBRARY_FAILED [in DLL: Close Error] status 2 | close: library failed, status 2: in DLL: Close Error
                after failed close link 0 corvane 0
                use after close IllegalStateException
                library released behind its back runMode NOT_LOADED [in DLL: DLL not found.] missing | runMode: not loaded: in DLL: DLL not found.
                close it returned
                corvane mode %1$d %3$s
                genuine -1 "-1"
                item never poked cvRequest LIBRARY_FAILED [in DLL: Read error] status 2 | cvRequest: library failed, status 2: in DLL: Read error
                poke while stopped cvPoke LIBRARY_FAILED [in DLL: Corvane stopped] status 0 | cvPoke: library failed, status 0: in DLL: Corvane stopped
                request while stopped cvRequest LIBRARY_FAILED [in DLL: Corvane stopped] status 0 | cvRequest: library failed, status 0: in DLL: Corvane stopped
                lines off cvRequest LIBRARY_FAILED [in DLL: Corvane stopped] status 0 | cvRequest: library failed, status 0: in DLL: Corvane stopped
                after DataAccess close link 0 corvane 0
                refused REFUSED
                record after finish []
                """.formatted(LOADED,
                        LOADED == CallRecord.HOSTED ? "returned" : "IllegalStateException",
                        LOADED == CallRecord.HOSTED ? "HOSTED" : "IN_PROCESS"));
    }
}
