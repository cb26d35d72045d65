package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicLong;
import java.util.stream.Collectors;
import lathwork.Brenmoor;
import morlane.CallRecord;
import org.junit.jupiter.api.Test;

/**
 * Many Java threads in the bridge at once, each with its own record of its latest call, then many
 * load and release cycles on one thread.
 *
 * <p>The threads share both libraries, and two pairs of them share a PLC link, but each owns its
 * registers and its Corvane items, so every value a thread reads back is known to it. Failures
 * are scripted while the threads run: which thread's call takes a scripted status is left to
 * chance, but each thread scripts a status only right before it calls that entry point itself,
 * so every scripted status is taken by the end, and the number of each diagnostic line is known.
 */
class ConcurrencyJvmTest {
    static final int THREADS = 6;
    static final long RUN_MILLIS = 3000;
    /** Hosted, every cycle starts and ends two host processes, some milliseconds each. */
    static final int CYCLES = "hosted".equals(System.getProperty("morlane.mode")) ? 300 : 10_000;

    static final String RUN_ERROR = "in DLL: Run Error\n";
    static final String STOP_ERROR = "in DLL: Stop Error\n";
    static final String REG_WRITE_ERROR = "in DLL: RegWrite Error\n";
    static final String REG_READ_ERROR = "in DLL: RegRead Error\n";
    static final String CORVANE_STOPPED = "in DLL: Corvane stopped\n";
    static final String WRITE_ERROR = "in DLL: Write error\n";
    static final String READ_ERROR = "in DLL: Read error\n";

    /** The two words at the top of every link's data registers, for the overlong reads. */
    static final int[] TOP = {0xBEEF, 0x8001};

    /** What the threads did and what they expect the bridge to have written. */
    static final class Tally {
        final AtomicLong operations = new AtomicLong();
        final AtomicLong minusOnes = new AtomicLong();
        final AtomicLong scriptedRequestFailures = new AtomicLong();
        final Map<String, AtomicLong> expectedLines = new LinkedHashMap<>();
        final ConcurrentLinkedQueue<String> mismatches = new ConcurrentLinkedQueue<>();

        Tally() {
            for (String line : new String[] {RUN_ERROR, STOP_ERROR, REG_WRITE_ERROR,
                    REG_READ_ERROR, CORVANE_STOPPED, WRITE_ERROR, READ_ERROR}) {
                expectedLines.put(line, new AtomicLong());
            }
        }

        void expect(String line) {
            expectedLines.get(line).incrementAndGet();
        }

        void check(boolean right, String what) {
            if (!right && mismatches.size() < 20) {
                mismatches.add(what);
            }
        }
    }

    /** Iteration {@code i} of thread {@code id}: its link, its register block, its topic. */
    static void iteration(int id, int i, Tally tally) {
        int link = id % 4;
        int base = id / 4 * 4000;
        String where = "thread " + id + " iteration " + i + ": ";
        // A block of 1..300 words (beyond the bridge's on-stack limit now and then) somewhere
        // in [base, base + 3000), with values outside 0..65535 among them.
        int length = 1 + i * 37 % 300;
        int address = base + i * 101 % (3000 - length);
        int[] values = new int[length];
        int[] words = new int[length];
        for (int k = 0; k < length; k++) {
            int flip = k % 3 == 0 ? 0xFFFF0000 : 0;
            values[k] = (id * 1_000_003 + i * 7919 + k * 104_729) ^ flip;
            words[k] = values[k] & 0xFFFF;
        }
        if (i % 40 == 7) {
            SimProbe.scriptStatus("CVDLLRZ_RegWrite", i % 80 == 7 ? 1 : -1);
            tally.expect(REG_WRITE_ERROR);
        }
        Brenmoor.regWrite(link, 0, address, values, length);

        int[] into = new int[length + 3];
        Arrays.fill(into, -7);
        Brenmoor.regRead(link, 0, address, into, length);
        int[] expectedInto = Arrays.copyOf(words, length + 3);
        Arrays.fill(expectedInto, length, length + 3, -7);
        tally.check(Arrays.equals(expectedInto, into), where + "regRead into an array");

        int[] fresh = Brenmoor.regRead(link, 0, address, length);
        tally.check(Arrays.equals(words, fresh), where + "regRead into a new array");

        // Each thread's record holds the lines of its own latest call: a failure's line,
        // then nothing after a success. Links 6 and 7 are never opened.
        String failure = i % 2 == 0 ? RUN_ERROR : STOP_ERROR;
        if (i % 2 == 0) {
            Brenmoor.runMode(7, 0);
        } else {
            Brenmoor.stopMode(6, 0);
        }
        tally.expect(failure);
        tally.check(Arrays.equals(new String[] {failure}, CallRecord.lastLines()),
                where + "record of a failure " + Arrays.toString(CallRecord.lastLines()));
        int single = i * 40_503 + id;
        Brenmoor.regWrite(link, 0, base + 3500, single);
        int[] back = Brenmoor.regRead(link, 0, base + 3500, 1);
        tally.check(back.length == 1 && back[0] == (single & 0xFFFF), where + "single word");
        tally.check(CallRecord.lastLines().length == 0, where + "record of a success");

        if (i % 40 == 37) {
            // Runs past the end of the data registers: the two inside arrive, the rest read
            // as 0, and the library reports the failure.
            int[] over = Brenmoor.regRead(link, 0, 8190, 5);
            tally.expect(REG_READ_ERROR);
            tally.check(Arrays.equals(new int[] {TOP[0], TOP[1], 0, 0, 0}, over),
                    where + "overlong read " + Arrays.toString(over));
            tally.operations.incrementAndGet();
        }
        if (i % 50 == 25) {
            Brenmoor.stopMode(link, 1);
            Brenmoor.runMode(link, 1);
            tally.operations.addAndGet(2);
        }

        String topic = "thread" + id;
        String item = "item" + i % 16;
        String value = "v" + i + " \u00e9\u20ac\ud83d\ude00 " + id;
        if (i % 40 == 17) {
            boolean stopped = i % 80 == 17;
            SimProbe.scriptStatus("CVDA_Poke", stopped ? 0 : 2);
            tally.expect(stopped ? CORVANE_STOPPED : WRITE_ERROR);
        }
        // A scripted status replaces only what the library returns: the value is stored.
        Brenmoor.cvPoke(topic, item, value);
        if (i % 40 == 27) {
            SimProbe.scriptStatus("CVDA_Request", 2);
            tally.expect(READ_ERROR);
            tally.scriptedRequestFailures.incrementAndGet();
        }
        String reply = Brenmoor.cvRequest(topic, item);
        if ("-1".equals(reply)) {
            tally.minusOnes.incrementAndGet();
        } else {
            tally.check(value.equals(reply), where + "reply " + Report.quote(reply));
        }
        tally.operations.addAndGet(8);
    }

    @Test
    void threadsReadTheirOwnValuesAndCyclesUnloadTheLibraries() {
        ChildJvm.Run run = ChildJvm.run(report -> {
            Scenario.startBoth();
            for (int link = 0; link < 4; link++) {
                Brenmoor.open(link, 1, 0, 100, 3);
                Brenmoor.regWrite(link, 0, 8190, TOP, 2);
            }
            SimProbe.setRecording(false);

            report.step("threads");
            Tally tally = new Tally();
            CountDownLatch go = new CountDownLatch(1);
            long deadline = System.nanoTime() + RUN_MILLIS * 1_000_000;
            long[] iterations = new long[THREADS];
            List<Thread> threads = new ArrayList<>();
            for (int id = 0; id < THREADS; id++) {
                int self = id;
                threads.add(new Thread(() -> {
                    Scenario.await(go);
                    int i = 0;
                    while (System.nanoTime() < deadline) {
                        iteration(self, i++, tally);
                    }
                    iterations[self] = i;
                }, "bridge-" + id));
            }
            threads.forEach(Thread::start);
            go.countDown();
            for (Thread thread : threads) {
                thread.join();
            }
            long fewest = Arrays.stream(iterations).min().getAsLong();
            report.value("threads", THREADS);
            report.value("operations", tally.operations.get());
            report.value("fewest iterations", fewest);
            report.value("mismatches", new ArrayList<>(tally.mismatches));
            report.value("minus ones", tally.minusOnes.get());
            report.value("scripted request failures", tally.scriptedRequestFailures.get());
            for (Map.Entry<String, AtomicLong> e : tally.expectedLines.entrySet()) {
                report.value("expect " + Report.quote(e.getKey()), e.getValue().get());
            }

            // Every thread is done: load and release now, many times, on this thread alone.
            report.step("cycles");
            Scenario.finishBoth();
            report.value("loaded after finish", SoundnessJvmTest.loaded());
            for (int n = 0; n < CYCLES; n++) {
                Scenario.startBoth();
                if (n % 1000 == 0) {
                    // A second load, and one finish, leave the library where it was.
                    Scenario.startBoth();
                    Scenario.finishBoth();
                }
                if (n == 0 || n == CYCLES - 1) {
                    report.value("loaded in cycle " + n, SoundnessJvmTest.loaded());
                }
                Scenario.finishBoth();
            }
            report.value("loaded after cycles", SoundnessJvmTest.loaded());

            report.step("after cycles");
            Brenmoor.open(0, 1, 0, 100, 3);
            report.value("read", Brenmoor.regRead(0, 0, 8190, 2));
            report.value("reply", Brenmoor.cvRequest("thread0", "item0"));
            SimProbe.setRecording(true);
        });

        List<String> figures = run.step("threads");
        assertEquals("[]", figure(figures, "mismatches"), "values read back wrong");
        assertTrue(Long.parseLong(figure(figures, "fewest iterations")) >= 40,
                () -> "a thread barely ran: " + figures);
        assertEquals(figure(figures, "scripted request failures"), figure(figures, "minus ones"),
                "\"-1\" replies other than the scripted request failures");

        // Between the markers, exactly the lines the scripted failures and the overlong reads
        // call for, in whatever order the threads wrote them.
        String threadsOutput = between(run.stdout(), "-- threads\n", "-- cycles\n");
        Map<String, Long> written = Arrays.stream(threadsOutput.split("(?<=\n)"))
                .filter(line -> !line.isEmpty())
                .collect(Collectors.groupingBy(line -> line, TreeMap::new, Collectors.counting()));
        // The child reports each line as Report.quote writes it, with its count: expect "..." n.
        Map<String, Long> expected = new TreeMap<>();
        for (String figure : figures) {
            if (figure.startsWith("expect \"")) {
                int close = figure.lastIndexOf('"');
                String line = figure.substring(8, close).replace("\\u000a", "\n");
                expected.put(line, Long.parseLong(figure.substring(close + 2)));
            }
        }
        assertEquals(expected, written);

        assertEquals(List.of("loaded after finish [false, false]",
                "loaded in cycle 0 [true, true]",
                "loaded in cycle " + (CYCLES - 1) + " [true, true]",
                "loaded after cycles [false, false]"), run.step("cycles"));
        assertEquals(List.of("read [0, 0]", "reply \"-1\""), run.step("after cycles"));
        assertEquals("-- after cycles\n" + FrameJvmTest.DLL_NOT_FOUND.repeat(3),
                run.stdout().substring(run.stdout().indexOf("-- after cycles\n")));

        long lines = written.values().stream().mapToLong(Long::longValue).sum();
        System.out.println("concurrency: " + figure(figures, "threads") + " threads, "
                + figure(figures, "operations") + " operations in " + RUN_MILLIS + " ms, " + lines
                + " diagnostic lines as scripted; " + CYCLES
                + " start/finish and cvStart/cvFinish cycles, then both libraries unloaded");
    }

    /**
     * A library may tie state to the thread it is called on: every call of one Java thread
     * reaches it on one thread, a call too large for a hosted thread's mailbox (a 100 KB text)
     * included, and two Java threads alive at once reach it on two. (The simulated library
     * answers the item "thread" of topic "sim" with its calling thread.)
     */
    @Test
    void eachJavaThreadsCallsReachTheLibraryOnOneThreadOfItsOwn() {
        ChildJvm.run(report -> {
            SimProbe.setRecording(false);
            Brenmoor.cvStart();
            CountDownLatch firstCalled = new CountDownLatch(1);
            CountDownLatch secondDone = new CountDownLatch(1);
            List<String> first = new ArrayList<>();
            List<String> second = new ArrayList<>();
            Thread one = new Thread(() -> {
                for (int i = 0; i < 3; i++) {
                    first.add(Brenmoor.cvRequest("sim",
                            i == 1 ? "thread:" + "x".repeat(100_000) : "thread"));
                    Brenmoor.cvPoke("t", "i", "v"); // calls in between change nothing
                }
                firstCalled.countDown();
                Scenario.await(secondDone);
                first.add(Brenmoor.cvRequest("sim", "thread"));
            });
            Thread two = new Thread(() -> {
                Scenario.await(firstCalled);
                second.add(Brenmoor.cvRequest("sim", "thread"));
                second.add(Brenmoor.cvRequest("sim", "thread"));
                secondDone.countDown();
            });
            one.start();
            two.start();
            one.join();
            two.join();
            report.value("first thread's calls on one thread",
                    first.size() == 4 && first.stream().distinct().count() == 1);
            report.value("second thread's calls on one thread",
                    second.size() == 2 && second.get(0).equals(second.get(1)));
            report.value("the two on two threads", !first.get(0).equals(second.get(0)));
            report.value("no failure", !first.contains("-1") && !second.contains("-1"));
            Brenmoor.cvFinish();
        }).expect("", """
                first thread's calls on one thread true
                second thread's calls on one thread true
                the two on two threads true
                no failure true
                """);
    }

    /** The value of the report line "{@code label} value". */
    private static String figure(List<String> lines, String label) {
        return lines.stream().filter(line -> line.startsWith(label + " ")).findFirst()
                .map(line -> line.substring(label.length() + 1))
                .orElseGet(() -> fail("no figure \"" + label + "\" in " + lines));
    }

    private static String between(String text, String from, String to) {
        int start = text.indexOf(from);
        int end = text.indexOf(to);
        assertTrue(start >= 0 && end > start, () -> "markers missing in:\n" + text);
        return text.substring(start + from.length(), end);
    }
}
