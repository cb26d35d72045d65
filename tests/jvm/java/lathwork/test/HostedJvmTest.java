package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.net.BindException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HexFormat;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.stream.Collectors;
import lathwork.Brenmoor;
import morlane.CallRecord;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * What only a hosted library has: a crash inside it costs its host process and its slot, not the
 * JVM; a host program that is missing or cannot start leaves the slot empty, silently; a host
 * holds nothing of the JVM's but its channel; a JVM killed outright takes its hosts along.
 * Everything else a hosted library does is checked by the rest of the suite, which the build runs
 * a second time in this mode.
 */
class HostedJvmTest {
    static final String HOST_PROGRAM = "morlane-host32";
    static final String INTERPRETER = "/lib/ld-linux.so.2";
    static final String NO_INTERPRETER = "/nonexistent/ld.so";

    @BeforeAll
    static void onlyHosted() {
        // In process a crashing library takes the JVM with it; there is nothing to contain.
        assumeTrue("hosted".equals(System.getProperty("morlane.mode")),
                "needs the 32-bit simulated libraries served through the host");
    }

    /** Launches {@code scenario}, failing with {@code why} if the child has not ended in 30 s. */
    static ChildJvm.Run within30s(String why, Scenario scenario) {
        return assertTimeoutPreemptively(Duration.ofSeconds(30), () -> ChildJvm.launch(scenario),
                why);
    }

    /** The link slot's and the Corvane slot's mode: 0 empty, 1 in process, 2 hosted. */
    static int[] modes() {
        return new int[] {CallRecord.linkMode(), CallRecord.corvaneMode()};
    }

    /**
     * Each library crashes once inside a call, while the other slot is loaded too. The call in
     * flight fails with its own line and result, its slot is empty afterwards, the other slot's
     * host serves on, and a new start brings a fresh host.
     */
    @Test
    void aLibraryCrashingInsideACallCostsItsHostNotTheJvm() {
        // The journal shows each crashing call reached its library before its host died.
        ChildJvm.run(report -> {
            report.step("start both");
            Scenario.startBoth();
            report.value("modes", modes());
            Brenmoor.open(0, 1, 0, 100, 3);
            Brenmoor.regWrite(0, 0, 100, new int[] {1, 2, 3}, 3);
            Brenmoor.cvPoke("t", "i", "kept");

            report.step("regRead crashes the link library");
            SimProbe.scriptCrash("CVDLLRZ_RegRead");
            report.value("read", Brenmoor.regRead(0, 0, 100, 3));
            report.value("modes", modes());
            report.step("open after the crash");
            Brenmoor.open(0, 1, 0, 100, 3);
            report.step("the data-access host serves on");
            report.value("reply", Brenmoor.cvRequest("t", "i"));

            report.step("start again");
            Brenmoor.start();
            report.value("modes", modes());
            Brenmoor.open(0, 1, 0, 100, 3);
            // A fresh library: the words written before the crash are gone.
            report.value("read", Brenmoor.regRead(0, 0, 100, 3));
            Brenmoor.regWrite(0, 0, 100, new int[] {4, 5, 6}, 3);
            report.value("read", Brenmoor.regRead(0, 0, 100, 3));

            report.step("cvRequest crashes the data-access library");
            SimProbe.scriptCrash("CVDA_Request");
            report.value("reply", Brenmoor.cvRequest("t", "i"));
            report.value("modes", modes());
            report.step("cvPoke after the crash");
            Brenmoor.cvPoke("t", "i", "lost");
            report.step("the link host serves on");
            report.value("read", Brenmoor.regRead(0, 0, 100, 3));

            report.step("cvStart again");
            Brenmoor.cvStart();
            report.value("modes", modes());
            report.value("reply", Brenmoor.cvRequest("t", "i"));
            Brenmoor.cvPoke("t", "i", "new");
            report.value("reply", Brenmoor.cvRequest("t", "i"));

            // Killed from outside while idle: the next call finds it gone.
            report.step("the link host killed between calls");
            Brenmoor.cvFinish();
            runningHosts().forEach(pid -> ProcessHandle.of(pid).ifPresent(host -> {
                host.destroyForcibly();
                host.onExit().join();
            }));
            report.value("read", Brenmoor.regRead(0, 0, 100, 3));
            report.value("modes", modes());
            Brenmoor.close(0);
        }).expect("""
                -- start both
                -- regRead crashes the link library
                in DLL: RegRead Error
                -- open after the crash
                in DLL: DLL not found.
                -- the data-access host serves on
                -- start again
                -- cvRequest crashes the data-access library
                in DLL: Read error
                -- cvPoke after the crash
                in DLL: DLL not found.
                -- the link host serves on
                -- cvStart again
                in DLL: Read error
                -- the link host killed between calls
                in DLL: RegRead Error
                in DLL: DLL not found.
                """, """
                -- start both
                modes [2, 2]
                CVDLLRZ_Open 0 1 110 100 3
                CVDLLRZ_RegWrite 0 0 100 [1,2,3] 3
                CVDA_Poke x74 x69 x6b657074
                -- regRead crashes the link library
                CVDLLRZ_RegRead 0 0 100 * 3
                read [0, 0, 0]
                modes [0, 2]
                -- open after the crash
                -- the data-access host serves on
                CVDA_Request x74 x69 *
                reply "kept"
                -- start again
                modes [2, 2]
                CVDLLRZ_Open 0 1 110 100 3
                CVDLLRZ_RegRead 0 0 100 * 3
                read [0, 0, 0]
                CVDLLRZ_RegWrite 0 0 100 [4,5,6] 3
                CVDLLRZ_RegRead 0 0 100 * 3
                read [4, 5, 6]
                -- cvRequest crashes the data-access library
                CVDA_Request x74 x69 *
                reply "-1"
                modes [2, 0]
                -- cvPoke after the crash
                -- the link host serves on
                CVDLLRZ_RegRead 0 0 100 * 3
                read [4, 5, 6]
                -- cvStart again
                modes [2, 2]
                CVDA_Request x74 x69 *
                reply "-1"
                CVDA_Poke x74 x69 x6e6577
                CVDA_Request x74 x69 *
                reply "new"
                -- the link host killed between calls
                read [0, 0, 0]
                modes [0, 0]
                """);
    }

    /** What a load failure says of the host, with the folder it names left out. */
    static String hostedPart(String reason) {
        int hosted = reason == null ? -1 : reason.indexOf("; hosted: ");
        return hosted < 0 ? "no hosted part: " + reason
                : reason.substring(hosted + 10).replaceAll("^/\\S*/", "");
    }

    /**
     * The bridge copied alone into a folder of its own, and beside it: nothing, a host program
     * that may not be run, one that exits at once, or one whose interpreter (the 32-bit C
     * runtime) is missing. Each start is silent and says why in the slot's load failure.
     */
    @ParameterizedTest
    @ValueSource(strings = {"missing", "not executable", "exits at once", "without its runtime"})
    void aHostThatCannotServeLeavesTheSlotsEmptyAndStartSilent(String host, @TempDir Path bridge)
            throws IOException {
        Path built = ChildJvm.LIB_DIR;
        Files.copy(built.resolve("libmorlane.so"), bridge.resolve("libmorlane.so"));
        Path program = bridge.resolve(HOST_PROGRAM);
        String why = switch (host) {
            case "missing" -> HOST_PROGRAM + " not found";
            case "not executable" -> {
                Files.copy(built.resolve(HOST_PROGRAM), program);
                assertTrue(program.toFile().setExecutable(false, false));
                yield HOST_PROGRAM + " is not executable";
            }
            case "exits at once" -> {
                Files.write(program, "#!/bin/sh\nexit 1\n".getBytes(StandardCharsets.US_ASCII));
                assertTrue(program.toFile().setExecutable(true));
                yield HOST_PROGRAM + " ended before it answered";
            }
            default -> {
                // The same length as the interpreter it names, so the file stays well-formed.
                String text = new String(Files.readAllBytes(built.resolve(HOST_PROGRAM)),
                        StandardCharsets.ISO_8859_1);
                assertTrue(text.contains(INTERPRETER));
                Files.write(program, text.replace(INTERPRETER, NO_INTERPRETER)
                        .getBytes(StandardCharsets.ISO_8859_1));
                assertTrue(program.toFile().setExecutable(true));
                yield "could not start " + program + ": its interpreter " + NO_INTERPRETER
                        + " is missing, so the 32-bit C runtime is not installed"
                        + " (on Debian: the package libc6:i386)";
            }
        };
        // Both starts, and what they leave; the calls after are FrameJvmTest's.
        ChildJvm.launch(List.of(), Map.of(), bridge, report -> {
            Scenario.startBoth();
            report.value("modes", modes());
            report.value("link reason", hostedPart(CallRecord.linkLoadFailure()));
            report.value("corvane reason", hostedPart(CallRecord.corvaneLoadFailure()));
        }).assertClean(0).expect("", "modes [0, 0]\nlink reason \"%1$s\"\ncorvane reason \"%1$s\"\n"
                .formatted(why));
    }

    /**
     * A listening socket the program closes after a host started: the port must be free again at
     * once, as it is when no host runs. A host holding any descriptor of the JVM but its channel
     * would keep the port bound for as long as it lives.
     */
    @Test
    void aHostHoldsNothingOfTheJvmButItsChannel() {
        ChildJvm.run(report -> {
            ServerSocket listening = new ServerSocket(0, 1, InetAddress.getLoopbackAddress());
            int port = listening.getLocalPort();
            Scenario.startBoth();
            report.value("modes", modes());
            listening.close();
            try (ServerSocket again = new ServerSocket()) {
                again.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), port));
                report.value("port after close", "free");
            } catch (BindException e) {
                report.value("port after close", e.getMessage());
            }
            Scenario.finishBoth();
        }).expect("", "modes [2, 2]\nport after close \"free\"\n");
    }

    /**
     * Both slots hosted, a regRead asleep inside the link library, then the JVM sends itself
     * SIGKILL: no shutdown hook, no finish, nothing of the bridge runs. Reports each host's pid
     * first.
     */
    @Test
    void noHostOutlivesItsJvmKilledWithACallInside() throws InterruptedException {
        // A host inherits the JVM's stderr: while one lives on, the child's output never ends.
        ChildJvm.Run run = within30s(
                "the killed JVM's stderr stays open: a process it started outlived it", report -> {
            Scenario.startBoth();
            Brenmoor.open(0, 1, 0, 100, 3);
            SimProbe.setDelay("CVDLLRZ_RegRead", 600_000);
            int journaled = SimProbe.journalCount();
            Thread reader = new Thread(() -> Brenmoor.regRead(0, 0, 100, 16), "reader");
            reader.setDaemon(true);
            reader.start();
            Scenario.waitFor(() -> SimProbe.journalCount() > journaled, 10_000);
            report.step("hosts");
            runningHosts().forEach(pid -> report.value("pid", pid));
            signal(List.of(ProcessHandle.current().pid()), "KILL");
            Thread.sleep(60_000);
            report.step("still alive after SIGKILL");
        });
        assertEquals(128 + 9, run.exitCode(), () -> "exit code of " + run);
        assertTrue(run.report().contains("CVDLLRZ_RegRead 0 0 100 * 16\n-- hosts\n"),
                () -> "no call inside: " + run);
        assertHostsOfStepEnd(run, "hosts");
    }

    /** The two hosts whose pids the child reported after "-- {@code step}" end within 5 s. */
    static void assertHostsOfStepEnd(ChildJvm.Run run, String step) throws InterruptedException {
        List<Long> pids =
                run.step(step).stream().map(line -> Long.parseLong(line.substring(4))).toList();
        assertEquals(2, pids.size(), () -> "one host per slot: " + run);
        assertEquals(List.of(), stillRunning(pids, 5000), "hosts outlived their JVM");
    }

    /** Those of {@code pids} still running hosts after waiting up to {@code millis} for them. */
    static List<Long> stillRunning(List<Long> pids, long millis) throws InterruptedException {
        List<Long> left = new ArrayList<>(pids);
        long deadline = System.nanoTime() + millis * 1_000_000;
        while (!left.isEmpty() && System.nanoTime() < deadline) {
            left.removeIf(pid -> !hostRuns(pid));
            Thread.sleep(10);
        }
        left.removeIf(pid -> !hostRuns(pid));
        return left;
    }

    /** Whether {@code pid} is still a running (not a reaped or zombie) morlane-host32. */
    static boolean hostRuns(long pid) {
        if (!ProcessHandle.of(pid).flatMap(process -> process.info().command())
                .map(command -> command.endsWith("/" + HOST_PROGRAM)).orElse(false)) {
            return false;
        }
        try {
            String stat = Files.readString(Paths.get("/proc", Long.toString(pid), "stat"));
            // The state follows the command name in parentheses, which may itself hold ')'.
            return stat.charAt(stat.lastIndexOf(')') + 2) != 'Z';
        } catch (IOException e) {
            return false;
        }
    }

    /** Link 0 open, holding {@code words} from address 100, with the journal off. */
    static void openUnrecordedLinkHolding(int... words) {
        SimProbe.setRecording(false);
        Brenmoor.start();
        Brenmoor.open(0, 1, 0, 100, 3);
        Brenmoor.regWrite(0, 0, 100, words, words.length);
    }

    /** The running (not reaped, not zombie) hosts this JVM started. */
    static List<Long> runningHosts() {
        return ProcessHandle.current().children().map(ProcessHandle::pid)
                .filter(HostedJvmTest::hostRuns).toList();
    }

    static void signal(List<Long> pids, String signal) throws Exception {
        for (long pid : pids) { // the shell's own kill: no procps needed
            new ProcessBuilder("/bin/sh", "-c", "kill -" + signal + " " + pid).inheritIO().start()
                    .waitFor();
        }
    }

    /**
     * 800 threads read at once while the library spends 2 s in every read. Each call has a host
     * thread of its own, as it has a JVM thread in process, so all are served.
     */
    @Test
    void eightHundredCallersAtOnceAreAllServed() {
        ChildJvm.run(report -> {
            openUnrecordedLinkHolding(7, 8);
            SimProbe.setDelay("CVDLLRZ_RegRead", 2000);
            CountDownLatch go = new CountDownLatch(1);
            AtomicInteger served = new AtomicInteger();
            List<String> failed = Collections.synchronizedList(new ArrayList<>());
            List<Thread> callers = new ArrayList<>();
            for (int i = 0; i < 800; i++) {
                Thread caller = new Thread(null, () -> {
                    Scenario.await(go);
                    int[] words = Brenmoor.regRead(0, 0, 100, 2);
                    String[] lines = CallRecord.lastLines();
                    if (lines.length == 0 && words[0] == 7 && words[1] == 8) {
                        served.incrementAndGet();
                    } else {
                        failed.add(String.join("", lines) + Arrays.toString(words));
                    }
                }, "caller-" + i, 256 * 1024);
                caller.start();
                callers.add(caller);
            }
            go.countDown();
            for (Thread caller : callers) {
                caller.join();
            }
            SimProbe.setDelay("CVDLLRZ_RegRead", 0);
            report.value("served", served.get());
            report.value("first failures", failed.subList(0, Math.min(3, failed.size())));
            report.value("mode", CallRecord.linkMode());
            // Each caller's end closes its mailbox, and the host thread serving it ends: what is
            // left is the host's control thread and the one serving this thread's own calls.
            Path tasks = Paths.get("/proc/" + runningHosts().get(0) + "/task");
            long patience = System.nanoTime() + 10_000_000_000L;
            long threads;
            while ((threads = Files.list(tasks).count()) > 2 && System.nanoTime() < patience) {
                Thread.sleep(10);
            }
            report.value("host threads after the callers ended", threads);
            Brenmoor.close(0);
            Brenmoor.finish();
        }).expect("", "served 800\nfirst failures []\nmode 2\n"
                + "host threads after the callers ended 2\n");
    }

    /**
     * Both hosts stopped (SIGSTOP) while idle: finish and cvFinish return at once all the same,
     * and the released hosts are killed after their grace period. Then, with fresh hosts stopped
     * as well, the JVM exits through a shutdown hook that finishes: it must not hang, and it
     * leaves no host behind.
     */
    @Test
    void stoppedHostsHoldUpNeitherFinishNorTheJvmsExit() throws InterruptedException {
        ChildJvm.Run run = within30s("a stopped host held up the JVM", report -> {
            Scenario.startBoth();
            List<Long> hosts = runningHosts();
            report.value("hosts", hosts.size());
            signal(hosts, "STOP");
            long started = System.nanoTime();
            Scenario.finishBoth();
            long took = (System.nanoTime() - started) / 1_000_000;
            System.err.printf("finish and cvFinish with stopped hosts took %d ms%n", took);
            report.value("finish within 1 s", took < 1000);
            report.value("modes", modes());
            report.value("released hosts ended", stillRunning(hosts, 10_000).isEmpty());

            Scenario.startBoth();
            List<Long> fresh = runningHosts();
            report.step("exit");
            for (long pid : fresh) {
                report.value("pid", pid);
            }
            Runtime.getRuntime().addShutdownHook(new Thread(Scenario::finishBoth));
            signal(fresh, "STOP");
        });
        assertEquals(0, run.exitCode(), () -> "exit code of " + run);
        System.out.println(run.stderr().strip());
        assertTrue(run.report().startsWith("""
                hosts 2
                finish within 1 s true
                modes [0, 0]
                released hosts ended true
                -- exit
                """), () -> "report: " + run);
        assertHostsOfStepEnd(run, "exit");
    }

    /**
     * 40 rounds of start and finish while 8 threads call without pause: a released host ends
     * with its own calls, whatever the next host is doing, so only the current host and those
     * still finishing a call are ever seen running (2 here; one more is allowed for a loaded
     * machine, where a call can outlast a round). Counted per slot, most of the 40 would stay.
     */
    @Test
    void releasedHostsEndWithTheirOwnCalls() {
        ChildJvm.Run run = ChildJvm.run(report -> {
            SimProbe.setRecording(false);
            AtomicBoolean calling = new AtomicBoolean(true);
            List<Thread> callers = new ArrayList<>();
            for (int i = 0; i < 8; i++) {
                Thread caller = new Thread(() -> {
                    int[] words = new int[4];
                    while (calling.get()) {
                        Brenmoor.regRead(0, 0, 100, words, 4);
                    }
                });
                caller.start();
                callers.add(caller);
            }
            int most = 0;
            for (int round = 0; round < 40; round++) {
                Brenmoor.start();
                for (int look = 0; look < 5; look++) {
                    most = Math.max(most, runningHosts().size());
                    Thread.sleep(4);
                }
                Brenmoor.finish();
                most = Math.max(most, runningHosts().size());
            }
            calling.set(false);
            for (Thread caller : callers) {
                caller.join();
            }
            report.value("at most 3 hosts running", most <= 3);
            Scenario.waitFor(() -> runningHosts().isEmpty(), 5000);
            report.value("after the rounds", runningHosts().size());
        });
        assertEquals("at most 3 hosts running true\nafter the rounds 0\n", run.report(),
                () -> "report: " + run);
    }

    /**
     * A deadline that a call keeps changes nothing, however far off (the longest one there is
     * means none); one it outlives ends the host as a crash would: the call fails with its own
     * line and result, the slot empties, and the next start brings a fresh host under the same
     * deadline.
     */
    @Test
    void aCallPastItsDeadlineEndsItsHostAsACrashWould() {
        ChildJvm.run(report -> {
            openUnrecordedLinkHolding(5, 6);
            CallRecord.setLinkDeadline(Long.MAX_VALUE);
            SimProbe.setDelay("CVDLLRZ_RegRead", 50);
            report.step("within the deadline");
            report.value("read", Brenmoor.regRead(0, 0, 100, 2));
            report.value("modes", modes());
            report.step("past the deadline");
            CallRecord.setLinkDeadline(1000);
            List<Long> host = runningHosts();
            SimProbe.setDelay("CVDLLRZ_RegRead", 600_000);
            Path journal = Files.createTempFile("deadline", ".journal");
            CallRecord.startJournal(journal);
            long started = System.nanoTime();
            report.value("read", Brenmoor.regRead(0, 0, 100, 2));
            report.value("failure", CallRecord.lastFailure());
            // The journal shows how long the abandoned call ran, not "-".
            String line = Files.readString(journal).strip();
            Files.delete(journal);
            long journaled = Long.parseLong(line.substring(line.lastIndexOf(' ') + 1,
                    line.length() - 2));
            report.value("journaled", line.contains(" -> - DEADLINE_PASSED ")
                    && journaled >= 1_000_000_000L && journaled < 3_000_000_000L);
            long took = (System.nanoTime() - started) / 1_000_000;
            report.value("returned within 3 s", took < 3000);
            report.value("modes", modes());
            report.value("host ended", host.stream().noneMatch(HostedJvmTest::hostRuns));
            SimProbe.setDelay("CVDLLRZ_RegRead", 0);
            report.step("start again");
            Brenmoor.start();
            Brenmoor.open(0, 1, 0, 100, 3);
            report.value("read", Brenmoor.regRead(0, 0, 100, 2));
            report.value("modes", modes());
            Brenmoor.finish();
        }).expect("-- within the deadline\n-- past the deadline\nin DLL: RegRead Error\n"
                + "-- start again\n", """
                -- within the deadline
                read [5, 6]
                modes [2, 0]
                -- past the deadline
                read [0, 0]
                failure DEADLINE_PASSED
                journaled true
                returned within 3 s true
                modes [0, 0]
                host ended true
                -- start again
                read [0, 0]
                modes [2, 0]
                """);
    }

    /**
     * Calls over the channel's limits fail alone, with their own lines and results, and never
     * reach the library; the host serves on. (In process the same calls would go through.)
     */
    @Test
    void callsOverTheLimitsFailAloneWithTheirLines() {
        ChildJvm.run(report -> {
            Scenario.startBoth();
            Brenmoor.open(0, 1, 0, 100, 3);
            report.step("over the limits");
            int[] read = Brenmoor.regRead(0, 0, 100, (1 << 22) + 1);
            report.value("read all zero", Arrays.stream(read).allMatch(word -> word == 0));
            Brenmoor.regWrite(0, 0, 100, new int[(1 << 22) + 1], (1 << 22) + 1);
            String long_text = "x".repeat((1 << 20) + 1);
            Brenmoor.downLoad(0, 1, long_text);
            Brenmoor.cvPoke("t", "i", long_text);
            report.value("reply", Brenmoor.cvRequest(long_text, "i"));
            report.value("modes", modes());
            // The library itself refuses a read this long, but it is asked.
            report.step("at the limit");
            Brenmoor.regRead(0, 0, 100, 1 << 22);
            report.step("the host serves on");
            Brenmoor.regWrite(0, 0, 100, new int[] {3, 4}, 2);
            report.value("read", Brenmoor.regRead(0, 0, 100, 2));
            report.value("modes", modes());
            Scenario.finishBoth();
        }).expect("""
                -- over the limits
                in DLL: RegRead Error
                in DLL: RegWrite Error
                in DLL: Download Error
                in DLL: Write error
                in DLL: Read error
                -- at the limit
                in DLL: RegRead Error
                -- the host serves on
                """, """
                CVDLLRZ_Open 0 1 110 100 3
                -- over the limits
                read all zero true
                reply "-1"
                modes [2, 2]
                -- at the limit
                CVDLLRZ_RegRead 0 0 100 * 4194304
                -- the host serves on
                CVDLLRZ_RegWrite 0 0 100 [3,4] 2
                CVDLLRZ_RegRead 0 0 100 * 2
                read [3, 4]
                modes [2, 2]
                """);
    }

    /**
     * Four callers asleep inside the library when its host is killed: the bridge's warden sees
     * the host end and wakes them all at once; each fails with its own line and result.
     */
    @Test
    void callersSleepingInAKilledHostWakeAndFail() {
        ChildJvm.Run run = within30s("callers did not wake", report -> {
            SimProbe.setRecording(true);
            Brenmoor.start();
            Brenmoor.open(0, 1, 0, 100, 3);
            SimProbe.setDelay("CVDLLRZ_RegRead", 600_000);
            int journaled = SimProbe.journalCount();
            long[] returned = new long[4];
            List<String> results = Collections.synchronizedList(new ArrayList<>());
            List<Thread> callers = new ArrayList<>();
            for (int i = 0; i < returned.length; i++) {
                int index = i;
                Thread caller = new Thread(() -> {
                    int[] words = Brenmoor.regRead(0, 0, 100, 2);
                    returned[index] = System.nanoTime();
                    results.add(String.join("", CallRecord.lastLines()).trim() + " "
                            + Arrays.toString(words));
                });
                caller.start();
                callers.add(caller);
            }
            Scenario.waitFor(() -> SimProbe.journalCount() >= journaled + returned.length, 10_000);
            // Long past any spin: every caller sleeps on its mailbox by now.
            Thread.sleep(200);
            SimProbe.setRecording(false);
            List<ProcessHandle> hosts =
                    runningHosts().stream().flatMap(pid -> ProcessHandle.of(pid).stream()).toList();
            long killed = System.nanoTime();
            hosts.forEach(ProcessHandle::destroyForcibly);
            for (Thread caller : callers) {
                caller.join();
            }
            long slowest = 0;
            for (long at : returned) {
                slowest = Math.max(slowest, at - killed);
            }
            System.err.printf("callers woke %.2f ms after the kill was sent%n", slowest / 1e6);
            report.value("results", results);
            report.value("woken within 1 s", slowest < 1_000_000_000L);
            report.value("modes", modes());
        });
        System.out.println(run.stderr().strip());
        assertEquals("in DLL: RegRead Error\n".repeat(4), run.stdout());
        assertTrue(run.report().endsWith("""
                results [in DLL: RegRead Error [0, 0], in DLL: RegRead Error [0, 0], \
                in DLL: RegRead Error [0, 0], in DLL: RegRead Error [0, 0]]
                woken within 1 s true
                modes [0, 0]
                """), () -> "report: " + run);
    }

    /**
     * A library that writes over its host's mailbox, as foreign code can: a reply no host of
     * ours writes (two bytes, no NUL) or one a host could write ("ok") but for an earlier request,
     * each handed back without a wake-up, or a cleared turn word. Each call fails with its own line
     * and result within the bridge's re-check of a sleeping call, nothing of the fake reply (nor of
     * the real one coming later) reaches Java, and the host is ended as a crash would end it.
     */
    static final String[] MAILBOX_FAULTS = {"fault:reply", "fault:turn", "fault:early"};

    @Test
    void aLibraryWritingOverItsMailboxFailsItsCallAndEndsItsHost() {
        String each = """
                reply "-1"
                failure HOST_LOST
                failed within 1 s true
                modes [0, 0]
                host ended true
                """;
        ChildJvm.run(report -> {
            for (String fault : MAILBOX_FAULTS) {
                report.step(fault);
                Brenmoor.cvStart();
                List<Long> host = runningHosts();
                long started = System.nanoTime();
                report.value("reply", Brenmoor.cvRequest("sim", fault));
                report.value("failure", CallRecord.lastFailure());
                report.value("failed within 1 s", System.nanoTime() - started < 1_000_000_000L);
                report.value("modes", modes());
                report.value("host ended", host.stream().noneMatch(HostedJvmTest::hostRuns));
            }
            report.step("the next host answers its own request");
            Brenmoor.cvStart();
            Brenmoor.cvPoke("t", "i", "v");
            report.value("reply", Brenmoor.cvRequest("t", "i"));
            Brenmoor.cvFinish();
        }).expect(Arrays.stream(MAILBOX_FAULTS).map(fault -> "-- " + fault + "\nin DLL: Read error\n")
                .collect(Collectors.joining()) + "-- the next host answers its own request\n",
                Arrays.stream(MAILBOX_FAULTS).map(fault -> "-- " + fault + "\nCVDA_Request x73696d x"
                        + HexFormat.of().formatHex(fault.getBytes(StandardCharsets.UTF_8))
                        + " *\n" + each).collect(Collectors.joining())
                + "-- the next host answers its own request\nCVDA_Poke x74 x69 x76\n"
                + "CVDA_Request x74 x69 *\nreply \"v\"\n");
    }

    /**
     * A library that leaves a child of its own running (a helper, a daemon) keeps its host's
     * channel open after the host dies: the bridge sees the host's end from its process all the
     * same, for the call in flight and for a new thread's first call to a host killed while idle.
     */
    @Test
    void aHostsEndIsSeenWhateverItsLibrarysChildrenHold() {
        ChildJvm.Run run = within30s("a host's end went unseen", report -> {
            SimProbe.setRecording(false);
            Brenmoor.cvStart();
            report.value("forked", Brenmoor.cvRequest("sim", "fault:fork"));
            SimProbe.scriptCrash("CVDA_Request");
            long started = System.nanoTime();
            String reply = Brenmoor.cvRequest("t", "i");
            long took = System.nanoTime() - started;
            System.err.printf("the crash in flight failed its call after %.2f ms%n", took / 1e6);
            report.value("in flight", List.of(reply, CallRecord.lastFailure(),
                    took < 1_000_000_000L));
            Brenmoor.cvStart();
            report.value("forked", Brenmoor.cvRequest("sim", "fault:fork"));
            runningHosts().forEach(pid -> ProcessHandle.of(pid).ifPresent(host -> {
                host.destroyForcibly();
                host.onExit().join();
            }));
            List<Object> seen = Collections.synchronizedList(new ArrayList<>());
            Thread caller = new Thread(() -> {
                long at = System.nanoTime();
                Brenmoor.cvPoke("t", "i", "v");
                seen.addAll(List.of(CallRecord.lastFailure(),
                        System.nanoTime() - at < 1_000_000_000L));
            });
            caller.start();
            caller.join();
            report.value("a new thread", seen);
            report.value("modes", modes());
        });
        System.out.println(run.stderr().strip());
        assertEquals("in DLL: Read error\nin DLL: Write error\n", run.stdout(), () -> "" + run);
        assertTrue(run.report().contains("""
                forked "forked"
                in flight [-1, HOST_LOST, true]
                """) && run.report().endsWith("""
                forked "forked"
                a new thread [HOST_LOST, true]
                modes [0, 0]
                """), () -> "report: " + run);
    }

    /**
     * A host that stops answering (stopped here) holds up no caller past its deadline, not even
     * new threads whose mailbox it would have to take first: each ends at its deadline, as a call
     * past it does, and the host is ended.
     */
    @Test
    void aStoppedHostHoldsNewThreadsOnlyUntilTheirDeadline() {
        ChildJvm.Run run = within30s("callers waited past their deadline", report -> {
            SimProbe.setRecording(false);
            Brenmoor.start();
            List<Long> host = runningHosts();
            signal(host, "STOP");
            CallRecord.setLinkDeadline(1000);
            List<String> results = Collections.synchronizedList(new ArrayList<>());
            List<Thread> callers = new ArrayList<>();
            for (int i = 0; i < 2; i++) {
                Thread caller = new Thread(() -> {
                    long at = System.nanoTime();
                    Brenmoor.close(0);
                    long took = System.nanoTime() - at;
                    System.err.printf("a new thread's call ended after %.0f ms%n", took / 1e6);
                    results.add(CallRecord.lastFailure() + " within 3 s "
                            + (took < 3_000_000_000L));
                });
                caller.start();
                callers.add(caller);
            }
            for (Thread caller : callers) {
                caller.join();
            }
            report.value("results", results);
            report.value("modes", modes());
            report.value("host ended", host.stream().noneMatch(HostedJvmTest::hostRuns));
        });
        System.out.println(run.stderr().strip());
        assertEquals("in DLL: Close Error\n".repeat(2), run.stdout(), () -> "" + run);
        assertTrue(run.report().endsWith("""
                results [DEADLINE_PASSED within 3 s true, DEADLINE_PASSED within 3 s true]
                modes [0, 0]
                host ended true
                """), () -> "report: " + run);
    }
}
