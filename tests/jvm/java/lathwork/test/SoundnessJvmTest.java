package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.invoke.MethodHandles;
import java.lang.invoke.VarHandle;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.stream.Collectors;
import java.util.stream.IntStream;
import lathwork.Brenmoor;
import org.junit.jupiter.api.Test;

/**
 * What a careless caller does: releases a library while other threads are inside it, writes to an
 * array that a read fills at the same time. None of it may cost the JVM, a value, or a line. (A
 * library file swapped between a finish and the next start: FrameJvmTest.)
 */
class SoundnessJvmTest {

    /** The 16 words link {@code link} holds at address 100 in round {@code round}. */
    static int[] words(int round, int link) {
        int[] words = new int[16];
        for (int k = 0; k < words.length; k++) {
            words[k] = (round * 977 + link * 131 + k * 4099) & 0xFFFF;
        }
        return words;
    }

    static List<Boolean> loaded() {
        return List.of(SimProbe.isLoaded(FrameJvmTest.LINK_FILE),
                SimProbe.isLoaded(FrameJvmTest.CORVANE_FILE));
    }

    static final int ROUNDS = 30;
    static final int PER_SLOT = 3;
    static final int DELAY_MILLIS = 60;
    /** Calls the main thread makes after the finish, each writing one line. */
    static final int LATE_CALLS_BY_MAIN = 2;

    /** One regRead inside the library, then one after the finish. */
    private static Thread linkWorker(int round, int link, CountDownLatch finished,
                                     ConcurrentLinkedQueue<String> mismatches) {
        return new Thread(() -> {
            String where = "round " + round + " link " + link + ": ";
            int[] expected = words(round, link);
            // Both forms of regRead: the one into a passed array on odd links.
            int[] got;
            if (link % 2 == 1) {
                got = new int[16];
                Brenmoor.regRead(link, 0, 100, got, 16);
            } else {
                got = Brenmoor.regRead(link, 0, 100, 16);
            }
            check(mismatches, Arrays.equals(expected, got),
                    where + "read inside " + Report.describe(got));
            Scenario.await(finished);
            int[] late = {-5, -5, -5};
            Brenmoor.regRead(link, 0, 100, late, 3);
            check(mismatches, Arrays.equals(new int[] {-5, -5, -5}, late),
                    where + "late read " + Report.describe(late));
        }, "link-" + link);
    }

    /** One cvRequest inside the library, then one after the cvFinish. */
    private static Thread corvaneWorker(int round, int worker, CountDownLatch finished,
                                        ConcurrentLinkedQueue<String> mismatches) {
        return new Thread(() -> {
            String where = "round " + round + " topic t" + worker + ": ";
            String reply = Brenmoor.cvRequest("t" + worker, "i");
            check(mismatches, ("round " + round + " \u00e9 " + worker).equals(reply),
                    where + "reply inside " + Report.quote(reply));
            Scenario.await(finished);
            String late = Brenmoor.cvRequest("t" + worker, "i");
            check(mismatches, "-1".equals(late), where + "late reply " + Report.quote(late));
        }, "corvane-" + worker);
    }

    static void check(ConcurrentLinkedQueue<String> mismatches, boolean right, String what) {
        if (!right && mismatches.size() < 20) {
            mismatches.add(what);
        }
    }

    /**
     * Round after round, three threads are inside a slowed regRead and three inside a slowed
     * cvRequest when the last finish and cvFinish come. The calls already inside must come back
     * with their values and no line; every call after the finish must find the slot empty; and
     * once the last call inside has left, the libraries must be gone.
     */
    @Test
    void lastFinishDuringSlowedCallsLetsThemEndThenReleases() {
        ChildJvm.Run run = ChildJvm.run(report -> {
            ConcurrentLinkedQueue<String> mismatches = new ConcurrentLinkedQueue<>();
            List<String> stillLoaded = new ArrayList<>();
            long slowestFinish = 0;
            for (int round = 0; round < ROUNDS; round++) {
                report.step("round " + round);
                // Odd rounds take a second load, so the first finish is not the last one.
                int loads = 1 + round % 2;
                for (int n = 0; n < loads; n++) {
                    Scenario.startBoth();
                }
                for (int w = 0; w < PER_SLOT; w++) {
                    Brenmoor.open(w, 1, 0, 100, 3);
                    Brenmoor.regWrite(w, 0, 100, words(round, w), 16);
                    Brenmoor.cvPoke("t" + w, "i", "round " + round + " \u00e9 " + w);
                }
                SimProbe.setDelay("CVDLLRZ_RegRead", DELAY_MILLIS);
                SimProbe.setDelay("CVDA_Request", DELAY_MILLIS);
                int journaled = SimProbe.journalCount();

                CountDownLatch finished = new CountDownLatch(1);
                List<Thread> threads = new ArrayList<>();
                for (int w = 0; w < PER_SLOT; w++) {
                    threads.add(linkWorker(round, w, finished, mismatches));
                    threads.add(corvaneWorker(round, w, finished, mismatches));
                }
                threads.forEach(Thread::start);
                // A simulated entry point journals before its delay: once all six lines are
                // there, all six threads are inside the libraries.
                long deadline = System.nanoTime() + 10_000_000_000L;
                while (SimProbe.journalCount() - journaled < 2 * PER_SLOT) {
                    if (System.nanoTime() > deadline) {
                        mismatches.add("round " + round + ": the calls never got inside");
                        break;
                    }
                    Thread.onSpinWait();
                }
                long began = System.nanoTime();
                for (int n = 0; n < loads; n++) {
                    Scenario.finishBoth();
                }
                slowestFinish = Math.max(slowestFinish, System.nanoTime() - began);
                int[] late = Brenmoor.regRead(0, 0, 100, 2);
                check(mismatches, late.length == 2 && late[0] == 0 && late[1] == 0,
                        "round " + round + ": main's late read " + Report.describe(late));
                String reply = Brenmoor.cvRequest("t0", "i");
                check(mismatches, "-1".equals(reply),
                        "round " + round + ": main's late reply " + Report.quote(reply));
                finished.countDown();
                for (Thread thread : threads) {
                    thread.join();
                }
                if (!loaded().equals(List.of(false, false))) {
                    stillLoaded.add("round " + round + " " + loaded());
                }
                SimProbe.setDelay("CVDLLRZ_RegRead", 0);
                SimProbe.setDelay("CVDA_Request", 0);
            }
            report.step("summary");
            report.value("mismatches", new ArrayList<>(mismatches));
            report.value("loaded after the calls left", stillLoaded);
            report.value("slowest finish ms", slowestFinish / 1_000_000);
        });
        assertEquals(List.of("mismatches []", "loaded after the calls left []"),
                run.step("summary").subList(0, 2));
        // Every call that began after the finish wrote its line, and nothing else wrote one: the
        // six threads' late calls and the main thread's, round after round.
        assertEquals(IntStream.range(0, ROUNDS).mapToObj(round -> "-- round " + round + "\n"
                + FrameJvmTest.DLL_NOT_FOUND.repeat(2 * PER_SLOT + LATE_CALLS_BY_MAIN))
                .collect(Collectors.joining("", "", "-- summary\n")), run.stdout());
        System.out.println("finish during calls: " + ROUNDS + " rounds, " + 2 * PER_SLOT
                + " calls inside each; " + run.step("summary").get(2));
    }

    /**
     * The ordinary Java program: a shutdown hook that calls finish and cvFinish while daemon
     * threads are still calling both libraries.
     */
    @Test
    void finishInAShutdownHookWhileThreadsStillCall() {
        int runs = 8;
        for (int n = 0; n < runs; n++) {
            ChildJvm.Run run = ChildJvm.run(report -> {
                Scenario.startBoth();
                for (int link = 0; link < 4; link++) {
                    Brenmoor.open(link, 1, 0, 100, 3);
                }
                Brenmoor.cvPoke("t", "i", "v");
                SimProbe.setRecording(false);
                Runtime.getRuntime().addShutdownHook(new Thread(Scenario::finishBoth));
                AtomicLong calls = new AtomicLong();
                for (int w = 0; w < 4; w++) {
                    int link = w;
                    Thread worker = new Thread(() -> {
                        int[] into = new int[16];
                        while (true) {
                            Brenmoor.regRead(link, 0, 100, into, 16);
                            Brenmoor.cvRequest("t", "i");
                            calls.addAndGet(2);
                        }
                    }, "caller-" + w);
                    worker.setDaemon(true);
                    worker.start();
                }
                while (calls.get() < 2000) {
                    Thread.sleep(1);
                }
                report.step("exit");
                report.value("calls before exit", calls.get() >= 2000);
                // Returning ends the JVM: the hook runs while the daemon threads go on calling.
            });
            int attempt = n;
            assertEquals(List.of("calls before exit true"), run.step("exit"));
            // Calls that came after the finish each wrote their line; no other text.
            assertEquals("-- exit\n", run.stdout().replace(FrameJvmTest.DLL_NOT_FOUND, ""),
                    () -> "run " + attempt + " of " + runs + ": " + run);
        }
    }

    static final VarHandle ELEMENT = MethodHandles.arrayElementVarHandle(int[].class);

    /**
     * One thread reads 16 words into the start of a 1000-element array, again and again, while
     * another writes the array's last element. The read may touch only its 16 elements: a bridge
     * that copies the whole array out and back undoes writes it was never asked to touch.
     */
    @Test
    void readIntoAnArrayLeavesOtherThreadsWritesBeyondCountAlone() {
        ChildJvm.Run run = ChildJvm.run(report -> {
            Brenmoor.start();
            Brenmoor.open(0, 1, 0, 100, 3);
            int[] expected = words(7, 0);
            Brenmoor.regWrite(0, 0, 100, expected, 16);
            SimProbe.setRecording(false);

            int[] shared = new int[1000];
            AtomicBoolean stop = new AtomicBoolean();
            AtomicLong reads = new AtomicLong();
            AtomicLong wrongReads = new AtomicLong();
            Thread reader = new Thread(() -> {
                int[] head = new int[16];
                while (!stop.get()) {
                    Brenmoor.regRead(0, 0, 100, shared, 16);
                    System.arraycopy(shared, 0, head, 0, 16);
                    if (!Arrays.equals(expected, head)) {
                        wrongReads.incrementAndGet();
                    }
                    reads.incrementAndGet();
                }
            }, "reader");
            long[] writer = new long[2]; // last value written, writes found undone
            Thread writerThread = new Thread(() -> {
                int last = 0;
                long undone = 0;
                while (!stop.get()) {
                    // Only this thread writes element 999, so it must still hold the last value.
                    if ((int) ELEMENT.getVolatile(shared, 999) != last) {
                        undone++;
                    }
                    ELEMENT.setVolatile(shared, 999, ++last);
                }
                writer[0] = last;
                writer[1] = undone;
            }, "writer");
            reader.start();
            writerThread.start();
            Thread.sleep(1500);
            stop.set(true);
            reader.join();
            writerThread.join();
            report.step("threads");
            report.value("reads", reads.get());
            report.value("writes", writer[0]);
            report.value("wrong reads", wrongReads.get());
            report.value("writes undone", writer[1]);
            report.value("last write in place", shared[999] == writer[0]);
        });
        assertEquals("-- threads\n", run.stdout());
        List<String> figures = run.step("threads");
        assertEquals(List.of("wrong reads 0", "writes undone 0", "last write in place true"),
                figures.subList(2, 5), () -> figures.toString());
        long reads = Long.parseLong(figures.get(0).substring("reads ".length()));
        long writes = Long.parseLong(figures.get(1).substring("writes ".length()));
        assertTrue(reads > 100 && writes > 100, () -> "the threads barely ran: " + figures);
        System.out.println("writes beyond count: " + reads + " reads of 16 into int[1000], "
                + writes + " writes to element 999, none undone");
    }
}
