package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.stream.Collectors;
import lathwork.Brenmoor;
import morlane.BridgeException;
import morlane.CallRecord;
import morlane.DataAccess;
import morlane.PlcLink;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The per-thread call record and the facade over it: what each call wrote reaches the thread that
 * made it and no other, the load mode of each library, and the facade's exceptions.
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

        /** A text that the report writes as it is, not quoted as a string value. */
        static Object plain(String text) {
            return new Object() {
                @Override
                public String toString() {
                    return text;
                }
            };
        }

        /** This thread's record, each line quoted with its newline as an escape. */
        static Object record() {
            return plain(Arrays.stream(CallRecord.lastLines()).map(Report::quote)
                    .collect(Collectors.joining(", ", "[", "]")));
        }

        static Object modes() {
            return plain("link " + CallRecord.linkMode() + " corvane " + CallRecord.corvaneMode());
        }

        interface Action {
            void run();
        }

        /** Reports what {@code action} threw: a BridgeException in full, anything else by class. */
        static void outcome(Report report, String label, Action action) {
            try {
                action.run();
                report.value(label, plain("returned"));
            } catch (BridgeException e) {
                report.value(label, plain(e.operation() + " " + e.kind() + " " + e.diagnostics()
                        + (e.isLibraryMissing() ? " missing" : "") + " | " + e.getMessage()));
            } catch (RuntimeException e) {
                report.value(label, plain(e.getClass().getSimpleName()));
            }
        }
    }

    static final class RecordPerCall implements Scenario {
        @Override
        public void run(Report report) {
            SimProbe.setRecording(false);
            report.value("fresh thread", InChild.record());
            Brenmoor.runMode(0, 1);
            report.value("runMode before start", InChild.record());
            Brenmoor.start();
            report.value("start", InChild.record());
            Brenmoor.open(0, 1, 0, 1000, 3);
            report.value("open", InChild.record());
            Brenmoor.open(0, 1, 0, 1000, 3);
            report.value("open again", InChild.record());
            Brenmoor.regWrite(0, 0, 8191, new int[] {1, 2}, 2);
            report.value("regWrite past the end", InChild.record());
            Brenmoor.regRead(0, 0, 8191, 2);
            report.value("regRead past the end", InChild.record());
            Brenmoor.regRead(0, 0, 0, 2);
            report.value("regRead", InChild.record());
            Brenmoor.regRead(0, 0, 0, null, 1);
            report.value("regRead refused", InChild.record());
            Brenmoor.cvRequest("t", "i");
            report.value("cvRequest before cvStart", InChild.record());
            Brenmoor.cvStart();
            Brenmoor.cvRequest("t", "never poked");
            report.value("cvRequest unknown item", InChild.record());
            Brenmoor.cvPoke("sim", "state", "stopped");
            report.value("cvPoke stop", InChild.record());
            Brenmoor.cvPoke("t", "i", "v");
            report.value("cvPoke stopped", InChild.record());
            Brenmoor.cvFinish();
            report.value("cvFinish", InChild.record());
            Brenmoor.close(0);
            Brenmoor.finish();
            report.value("finish", InChild.record());
        }
    }

    @Test
    void eachCallLeavesExactlyTheLinesItWrote() {
        ChildJvm.Run run = ChildJvm.run(RecordPerCall.class);
        assertEquals("""
                in DLL: DLL not found.
                in DLL: Open Error
                in DLL: RegWrite Error
                in DLL: RegRead Error
                in DLL: RegRead Error
                in DLL: DLL not found.
                in DLL: Read error
                in DLL: Corvane stopped
                """, run.stdout);
        assertEquals("""
                fresh thread []
                runMode before start ["in DLL: DLL not found.\\u000a"]
                start []
                open []
                open again ["in DLL: Open Error\\u000a"]
                regWrite past the end ["in DLL: RegWrite Error\\u000a"]
                regRead past the end ["in DLL: RegRead Error\\u000a"]
                regRead []
                regRead refused ["in DLL: RegRead Error\\u000a"]
                cvRequest before cvStart ["in DLL: DLL not found.\\u000a"]
                cvRequest unknown item ["in DLL: Read error\\u000a"]
                cvPoke stop []
                cvPoke stopped ["in DLL: Corvane stopped\\u000a"]
                cvFinish []
                finish []
                """, run.report);
    }

    /**
     * Threads calling at once, each alternating between a call that fails with a line of its own
     * kind and one that succeeds, and checking its record after every call. A record shared
     * between threads, or one that a success does not clear, shows as a mismatch.
     */
    static final class ThreadsAtOnce implements Scenario {
        static final int THREADS = 8;
        static final int ROUNDS = 4000; // a multiple of 4: each thread makes each kind equally often
        static final String[][] EXPECTED = {
            {"in DLL: Run Error\n"}, {"in DLL: Stop Error\n"}, {"in DLL: Read error\n"}, {}};

        static void call(int kind, int thread, int round) {
            switch (kind) {
            case 0 -> Brenmoor.runMode(7, 0); // link 7 is never opened
            case 1 -> Brenmoor.stopMode(6, 0); // nor is link 6
            case 2 -> Brenmoor.cvRequest("t", "never poked");
            default -> Brenmoor.regWrite(0, 0, 100 + thread, round);
            }
        }

        @Override
        public void run(Report report) throws Exception {
            SimProbe.setRecording(false);
            Brenmoor.start();
            Brenmoor.cvStart();
            Brenmoor.open(0, 1, 0, 1000, 3);
            AtomicInteger mismatches = new AtomicInteger();
            List<String> first = new ArrayList<>();
            CountDownLatch go = new CountDownLatch(1);
            List<Thread> threads = new ArrayList<>();
            for (int t = 0; t < THREADS; t++) {
                int thread = t;
                threads.add(new Thread(() -> {
                    try {
                        go.await();
                    } catch (InterruptedException e) {
                        return;
                    }
                    for (int round = 0; round < ROUNDS; round++) {
                        int kind = (thread + round) % 4;
                        call(kind, thread, round);
                        String[] failed = CallRecord.lastLines();
                        Brenmoor.regRead(0, 0, 100 + thread, 1);
                        String[] succeeded = CallRecord.lastLines();
                        if (!Arrays.equals(EXPECTED[kind], failed) || succeeded.length != 0) {
                            mismatches.incrementAndGet();
                            synchronized (first) {
                                if (first.size() < 5) {
                                    first.add("thread " + thread + " kind " + kind + ": "
                                            + Arrays.toString(failed) + Arrays.toString(succeeded));
                                }
                            }
                        }
                    }
                }));
            }
            threads.forEach(Thread::start);
            go.countDown();
            for (Thread thread : threads) {
                thread.join();
            }
            report.value("mismatches", mismatches.get());
            first.forEach(line -> report.value("first", line));
            Brenmoor.close(0);
            Brenmoor.finish();
            Brenmoor.cvFinish();
        }
    }

    @Test
    void threadsCallingAtOnceEachSeeOnlyTheirOwnLines() {
        ChildJvm.Run run = ChildJvm.run(ThreadsAtOnce.class);
        assertEquals("mismatches 0\n", run.report);
        // The record is kept beside the output, not instead of it: every line still reached stdout.
        int each = ThreadsAtOnce.THREADS * ThreadsAtOnce.ROUNDS / 4;
        assertEquals(List.of("in DLL: Read error=" + each, "in DLL: Run Error=" + each,
                "in DLL: Stop Error=" + each), countLines(run.stdout));
    }

    static List<String> countLines(String text) {
        return Arrays.stream(text.split("\n")).collect(Collectors.groupingBy(line -> line,
                java.util.TreeMap::new, Collectors.counting())).entrySet().stream()
                .map(entry -> entry.getKey() + "=" + entry.getValue()).collect(Collectors.toList());
    }

    static final class LoadModes implements Scenario {
        @Override
        public void run(Report report) {
            report.value("before start", InChild.modes());
            Brenmoor.start();
            report.value("start", InChild.modes());
            Brenmoor.start();
            Brenmoor.finish();
            report.value("start, finish", InChild.modes());
            Brenmoor.cvStart();
            report.value("cvStart", InChild.modes());
            Brenmoor.finish();
            report.value("last finish", InChild.modes());
            Brenmoor.cvFinish();
            report.value("cvFinish", InChild.modes());
        }
    }

    @Test
    void loadModeFollowsStartAndFinish() {
        ChildJvm.Run run = ChildJvm.run(LoadModes.class);
        assertEquals("", run.stdout);
        int m = LOADED;
        assertEquals("before start link 0 corvane 0\n"
                + "start link " + m + " corvane 0\n"
                + "start, finish link " + m + " corvane 0\n"
                + "cvStart link " + m + " corvane " + m + "\n"
                + "last finish link 0 corvane " + m + "\n"
                + "cvFinish link 0 corvane 0\n", run.report);
    }

    static final class FacadeFailures implements Scenario {
        @Override
        public void run(Report report) {
            SimProbe.setRecording(false);
            try (PlcLink plc = PlcLink.open(0, 1, 0, 1000, 3)) {
                report.value("mode", plc.mode());
                InChild.outcome(report, "deadline", () -> plc.setCallDeadline(60_000));
                InChild.outcome(report, "negative deadline", () -> plc.setCallDeadline(-1));
                plc.stopMode();
                plc.download("a.prg");
                plc.runMode();
                InChild.outcome(report, "download while running", () -> plc.download("b.prg"));
                plc.writeRegisters(0, 10, 1, 2, 65535, -1);
                report.value("read", plc.readRegisters(0, 10, 4));
                InChild.outcome(report, "write past the end", () -> plc.writeRegisters(0, 8191, 1, 2));
                InChild.outcome(report, "read past the end", () -> plc.readRegisters(0, 8190, 4));
                InChild.outcome(report, "open an open link", () -> PlcLink.open(0, 1, 0, 1000, 3));
            }
            // Only a failed open that gave its load back leaves the library released here.
            report.value("after close", InChild.modes());

            PlcLink refused = PlcLink.open(1, 2, 1, 0, 0);
            Brenmoor.close(1);
            InChild.outcome(report, "close a link closed behind its back", refused::close);
            report.value("after failed close", InChild.modes());
            InChild.outcome(report, "use after close", refused::runMode);

            PlcLink released = PlcLink.open(2, 0, 2, 0, 0);
            Brenmoor.finish();
            InChild.outcome(report, "library released behind its back", released::runMode);
            InChild.outcome(report, "close it", released::close);

            try (DataAccess corvane = DataAccess.open()) {
                report.value("corvane mode", corvane.mode());
                corvane.poke("line1", "speed", "-1");
                report.value("genuine -1", corvane.request("line1", "speed"));
                InChild.outcome(report, "item never poked", () -> corvane.request("line1", "never"));
                corvane.poke("sim", "state", "stopped");
                InChild.outcome(report, "poke while stopped", () -> corvane.poke("line1", "speed", "5"));
                InChild.outcome(report, "request while stopped", () -> corvane.request("line1", "speed"));
                // A caller that takes its failures from the facade can keep the lines off stdout.
                CallRecord.setLinesWritten(false);
                InChild.outcome(report, "lines off", () -> corvane.request("line1", "speed"));
                CallRecord.setLinesWritten(true);
            }
            report.value("after DataAccess close", InChild.modes());
            Brenmoor.start();
            Brenmoor.regWrite(0, 0, 100, null, 3);
            report.value("refused", CallRecord.lastFailure());
            Brenmoor.finish();
        }
    }

    @Test
    void facadeThrowsWhatTheFailedCallWrote() {
        ChildJvm.Run run = ChildJvm.run(FacadeFailures.class);
        assertEquals("""
                in DLL: Download Error
                in DLL: RegWrite Error
                in DLL: RegRead Error
                in DLL: Open Error
                in DLL: Close Error
                in DLL: DLL not found.
                in DLL: DLL not found.
                in DLL: Read error
                in DLL: Corvane stopped
                in DLL: Corvane stopped
                in DLL: RegWrite Error
                """, run.stdout);
        assertEquals("mode " + LOADED + "\n"
                + "deadline " + (LOADED == CallRecord.HOSTED ? "returned" : "IllegalStateException")
                + "\nnegative deadline IllegalArgumentException\n" + """
                download while running downLoad LIBRARY_FAILED [in DLL: Download Error] | downLoad: in DLL: Download Error
                read [1, 2, 65535, 65535]
                write past the end regWrite LIBRARY_FAILED [in DLL: RegWrite Error] | regWrite: in DLL: RegWrite Error
                read past the end regRead LIBRARY_FAILED [in DLL: RegRead Error] | regRead: in DLL: RegRead Error
                open an open link open LIBRARY_FAILED [in DLL: Open Error] | open: in DLL: Open Error
                after close link 0 corvane 0
                close a link closed behind its back close LIBRARY_FAILED [in DLL: Close Error] | close: in DLL: Close Error
                after failed close link 0 corvane 0
                use after close IllegalStateException
                library released behind its back runMode NOT_LOADED [in DLL: DLL not found.] missing | runMode: in DLL: DLL not found.
                close it returned
                """ + "corvane mode " + LOADED + "\n" + """
                genuine -1 "-1"
                item never poked cvRequest LIBRARY_FAILED [in DLL: Read error] | cvRequest: in DLL: Read error
                poke while stopped cvPoke LIBRARY_FAILED [in DLL: Corvane stopped] | cvPoke: in DLL: Corvane stopped
                request while stopped cvRequest LIBRARY_FAILED [in DLL: Corvane stopped] | cvRequest: in DLL: Corvane stopped
                lines off cvRequest LIBRARY_FAILED [in DLL: Corvane stopped] | cvRequest: in DLL: Corvane stopped
                after DataAccess close link 0 corvane 0
                refused REFUSED
                """, run.report);
    }

    static final class MissingLibraries implements Scenario {
        @Override
        public void run(Report report) {
            report.value("bits", System.getProperty("sun.arch.data.model"));
            InChild.outcome(report, "PlcLink.open", () -> PlcLink.open(0, 1, 0, 1000, 3));
            InChild.outcome(report, "DataAccess.open", DataAccess::open);
            report.value("modes", InChild.modes());
        }
    }

    /**
     * A library that is nowhere to be found: the facade's message carries the loader's own words,
     * from this process and, where a 64-bit bridge tried a host, from the host.
     */
    @Test
    void facadeReportsALibraryThatCannotBeLoaded(@TempDir Path empty) {
        ChildJvm.Run run = ChildJvm.run(MissingLibraries.class, empty);
        assertEquals("", run.stdout);
        boolean hostTried = run.report.startsWith("bits \"64\"\n");
        // A build without the 32-bit host (the sanitizer build) says so instead.
        Path host = Paths.get(System.getProperty("morlane.lib.dir"), "morlane-host32");
        String reasons = "";
        for (String file : new String[] {"CVDLL1RZ1.dll", "CVDAlib.dll"}) {
            String loader = file + ": cannot open shared object file: No such file or directory";
            String hosted = Files.exists(host) ? "morlane-host32 could not load it: " + loader
                    : host + " not found";
            reasons += hostTried ? "in process: " + loader + "; hosted: " + hosted + "\n"
                    : loader + "\n";
        }
        String[] reason = reasons.split("\n");
        assertEquals(run.report.substring(0, run.report.indexOf('\n') + 1) + """
                PlcLink.open start NOT_LOADED [] missing | start: CVDLL1RZ1.dll could not be loaded: %s
                DataAccess.open cvStart NOT_LOADED [] missing | cvStart: CVDAlib.dll could not be loaded: %s
                modes link 0 corvane 0
                """.formatted(reason[0], reason[1]), run.report);
    }
}
