package lathwork.test;

import static java.nio.charset.StandardCharsets.ISO_8859_1;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CountDownLatch;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import lathwork.Brenmoor;
import morlane.BridgeException;
import morlane.CallRecord;
import morlane.PlcLink;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The call journal (MORLANE_JOURNAL) and the simulated libraries' replay of it (MORLANE_REPLAY):
 * the demo recorded as in the field and replayed as at the desk, and 64 threads journaling at once.
 */
class JournalJvmTest {
    private static final String MODE =
            "hosted".equals(System.getProperty("morlane.mode")) ? "hosted" : "in-process";

    /** The demo program, unchanged. */
    static void demo(Report report) throws Exception {
        Class.forName("lathwork.demo.BrenmoorDemo").getMethod("main", String[].class)
                .invoke(null, (Object) new String[0]);
    }

    private static ChildJvm.Run run(Map<String, String> variables, Scenario scenario) {
        return ChildJvm.launch(List.of(), variables, ChildJvm.LIB_DIR, scenario).assertClean(0);
    }

    /** The lines without what differs from run to run: time, thread and duration. */
    private static List<String> calls(Path journal) throws Exception {
        return Files.readAllLines(journal, ISO_8859_1).stream()
                .map(line -> line.substring(line.indexOf(' ', line.indexOf(' ') + 1) + 1,
                        line.lastIndexOf(' ')))
                .collect(Collectors.toList());
    }

    @Test
    void demoRecordedInTheFieldIsReplayedAtTheDesk(@TempDir Path dir) throws Exception {
        Path field = dir.resolve("field"), desk = dir.resolve("desk"), edited = dir.resolve("edit");
        ChildJvm.Run recorded =
                run(Map.of("MORLANE_JOURNAL", field.toString()), JournalJvmTest::demo);
        List<String> calls = calls(field);
        assertTrue(calls.containsAll(List.of("- CVDLLRZ_RunMode -> - NOT_LOADED",
                MODE + " CVDLLRZ_RegRead 0 0 8190 4 -> 9 [7,8,0,0] LIBRARY_FAILED",
                MODE + " CVDA_Poke \"line1\" \"operator\" \"Zo\\xc3\\xab\\x20\\xc5\\x81ukasz\\x20"
                        + "\\xed\\xa0\\xbd\\xed\\xb9\\x82\" -> 1 NONE",
                MODE + " CVDA_Request \"line1\" \"speed\" -> 1 \"1250\" NONE")), () -> calls + "");

        ChildJvm.Run replayed = run(Map.of("MORLANE_JOURNAL", desk.toString(),
                "MORLANE_REPLAY", field.toString()), JournalJvmTest::demo);
        assertEquals(recorded.stdout(), replayed.stdout());
        assertEquals(calls, calls(desk));

        // The answers are the recording's: edited there, they change in Java; a call unlike its
        // recorded one fails, and the simulated journal says so.
        Files.writeString(edited, Files.readString(field, ISO_8859_1)
                .replaceFirst("100 4 -> 0 \\[100,200,300,400\\]", "100 4 -> 0 [100,200,300,401]")
                .replace("-> 1 \"1250\"", "-> 1 \"1251\"")
                .replace("CVDLLRZ_Open 1 1 111", "CVDLLRZ_Open 1 1 112"), ISO_8859_1);
        ChildJvm.Run edit = ChildJvm.launch(List.of(), Map.of("MORLANE_REPLAY", edited.toString()),
                ChildJvm.LIB_DIR, JournalJvmTest::demo);
        assertEquals(0, edit.exitCode(), edit::toString);
        assertEquals("simctl: replay: call 2 of CVDLLRZ_Open differs from the recording's: "
                + "CVDLLRZ_Open 1 1 112 1000 3\n", edit.stderr(), edit::toString);
        assertTrue(edit.stdout().contains("array now [100, 200, 300, 401, -1, -1]"), edit::toString);
        assertTrue(edit.stdout().contains("got \"1251\""), edit::toString);
        assertEquals(recorded.stdout().split("Open Error").length + 1,
                edit.stdout().split("Open Error").length, edit::toString);
        assertTrue(edit.report().contains("\n! replay: call 2 of CVDLLRZ_Open differs from the "
                + "recording's: CVDLLRZ_Open 1 1 112 1000 3\n"), edit::toString);

        Process summary = new ProcessBuilder(System.getProperty("morlane.simwatch"), "summary",
                field.toString()).redirectErrorStream(true).start();
        String table = new String(summary.getInputStream().readAllBytes(), ISO_8859_1);
        assertEquals(0, summary.waitFor(), table);
        assertTrue(Pattern.compile("(?m)^CVDLLRZ_RegRead +5 +2 +[0-9.]+ +[0-9.]+ +[0-9.]+ "
                + "LIBRARY_FAILED 1 NOT_LOADED 1$").matcher(table).find(), table);
    }

    /** Scenarios naming the facade, which the launcher cannot load. */
    static final class InChild {
        private InChild() {}

        /**
         * Four threads, each writing and reading its own registers 20 times: one after another
         * in the recording, in the opposite order in the replay. Then, replaying only, a read the
         * recording does not hold.
         */
        static void threads(Report report) throws Exception {
            boolean replaying = System.getenv("MORLANE_REPLAY") != null;
            SimProbe.setRecording(false);
            try (PlcLink plc = PlcLink.open(0, 1, 0, 1000, 3)) {
                List<String> seen = new ArrayList<>();
                for (int n = 0; n < 4; n++) {
                    int t = replaying ? 3 - n : n;
                    CompletableFuture<String> thread = new CompletableFuture<>();
                    new Thread(() -> {
                        String outcome = "in order";
                        for (int i = 0; i < 20; i++) {
                            plc.writeRegisters(0, 100 * t, t, i);
                            int[] words = plc.readRegisters(0, 100 * t, 2);
                            if (words[0] != t || words[1] != i) {
                                outcome = "call " + i + " read " + Arrays.toString(words);
                            }
                        }
                        thread.complete("thread " + t + " " + outcome);
                    }).start();
                    seen.add(thread.get());
                }
                report.value("threads", seen);
                if (replaying) {
                    try { // not a catch of BridgeException: the launcher could not verify it
                        plc.readRegisters(0, 7, 1);
                    } catch (RuntimeException e) {
                        report.value("not recorded", ((BridgeException) e).status() + " "
                                + e.getMessage());
                    }
                }
            }
        }
    }

    @Test
    void aRecordingOfSeveralThreadsReplaysInAnotherOrder(@TempDir Path dir) {
        Path field = dir.resolve("field");
        String threads = "threads [thread %d in order, thread %d in order, thread %d in order, "
                + "thread %d in order]\n";
        ChildJvm.Run recorded = run(Map.of("MORLANE_JOURNAL", field.toString()),
                InChild::threads);
        assertEquals(threads.formatted(0, 1, 2, 3), recorded.report());
        ChildJvm.Run replayed = ChildJvm.launch(List.of(), Map.of("MORLANE_REPLAY",
                field.toString()), ChildJvm.LIB_DIR, InChild::threads);
        assertEquals(threads.formatted(3, 2, 1, 0) + "not recorded \"OptionalInt[10] regRead: "
                + "library failed, status 10: in DLL: RegRead Error\"\n", replayed.report(),
                replayed::toString);
        assertEquals("simctl: replay: call 81 of CVDLLRZ_RegRead is not in the recording\n",
                replayed.stderr(), replayed::toString);
    }

    /**
     * MORLANE_REPLAY naming a FIFO is refused at once (opening it to read would wait for a
     * writer); a line too long to hold is skipped, and the lines after it replay.
     */
    @Test
    void replayRefusesAFifoAndSkipsAnOverlongLine(@TempDir Path dir) throws Exception {
        Path fifo = dir.resolve("fifo"), long_line = dir.resolve("long");
        assertEquals(0, new ProcessBuilder("mkfifo", fifo.toString()).start().waitFor());
        try (var out = Files.newBufferedWriter(long_line, ISO_8859_1)) {
            out.write("x".repeat((32 << 20) + 1) + "\n2025-03-04T05:06:07.123456Z 0x1 " + MODE
                    + " CVDLLRZ_Open 0 1 110 1000 3 -> 4 LIBRARY_FAILED 100ns\n");
        }
        for (Path replay : List.of(fifo, long_line)) {
            ChildJvm.Run run = assertTimeoutPreemptively(Duration.ofSeconds(60), () ->
                    ChildJvm.launch(List.of(), Map.of("MORLANE_REPLAY", replay.toString()),
                            ChildJvm.LIB_DIR, report -> {
                        Brenmoor.start();
                        Brenmoor.open(0, 1, 0, 1000, 3);
                        report.value("status", CallRecord.lastStatus().toString());
                        Brenmoor.finish();
                    }));
            String why = replay == fifo ? "is not a regular file: no replay"
                    : ": 1 lines over 32 MiB skipped";
            assertTrue(run.report().endsWith("\nstatus \"OptionalInt[" + (replay == fifo ? 0 : 4)
                    + "]\"\n"), run::toString);
            assertTrue(run.stderr().lines().allMatch(line -> line.equals("simctl: MORLANE_REPLAY "
                    + replay + (why.startsWith(":") ? "" : " ") + why))
                    && !run.stderr().isEmpty(), run::toString);
        }
    }

    /** Quartiles between ranks: the median of two calls is their mean, not the lower one. */
    @Test
    void summaryInterpolatesItsQuartiles(@TempDir Path dir) throws Exception {
        Path journal = dir.resolve("two");
        Files.writeString(journal, "2025-03-04T05:06:07.123456Z 0x1 hosted CVDLLRZ_Close 0 -> 0 NONE"
                + " 1000ns\n2025-03-04T05:06:07.223456Z 0x1 hosted CVDLLRZ_Close 0 -> 2"
                + " LIBRARY_FAILED 5000ns\n", ISO_8859_1);
        Process summary = new ProcessBuilder(System.getProperty("morlane.simwatch"), "summary",
                journal.toString()).redirectErrorStream(true).start();
        String table = new String(summary.getInputStream().readAllBytes(), ISO_8859_1);
        assertEquals(0, summary.waitFor(), table);
        assertTrue(table.contains("\nCVDLLRZ_Close          2      1       2.0       3.0       4.0"
                + " LIBRARY_FAILED 1\n"), table);
    }

    static final int THREADS = 64;
    static final int CALLS = 60;

    /**
     * Each thread writes 100 registers of its own and pokes a text of 1500 bytes, CALLS times:
     * lines of 0.7 and 1.6 KB, enough of them for a journal written in pieces to tear.
     */
    @Test
    void sixtyFourThreadsTearNoLineAndLoseNone(@TempDir Path dir) throws Exception {
        Path journal = dir.resolve("journal"), older = dir.resolve("journal.1");
        run(Map.of("MORLANE_JOURNAL", journal.toString(), "MORLANE_JOURNAL_MIB", "5"), report -> {
            Scenario.startBoth();
            Brenmoor.open(0, 1, 0, 1000, 3);
            CountDownLatch go = new CountDownLatch(1);
            List<CompletableFuture<Void>> threads = new ArrayList<>();
            for (int t = 0; t < THREADS; t++) {
                int thread = t;
                threads.add(CompletableFuture.runAsync(() -> {
                    int[] words = new int[100];
                    Arrays.fill(words, 65535 - thread);
                    Scenario.await(go);
                    for (int i = 0; i < CALLS; i++) {
                        words[0] = i;
                        Brenmoor.regWrite(0, 0, 100 * thread, words, words.length);
                        Brenmoor.cvPoke("t" + thread, "i" + i, "x".repeat(1500));
                    }
                }, runnable -> new Thread(runnable).start()));
            }
            go.countDown();
            threads.forEach(CompletableFuture::join);
            Brenmoor.close(0);
        });
        // About 8.5 MiB in all: rotated once, within a line of the bound.
        assertTrue(Files.size(older) <= 5 << 20 && Files.size(older) > (5 << 20) - 2000);
        assertTrue(Files.size(journal) < 5 << 20);
        List<String> lines = new ArrayList<>(Files.readAllLines(older, ISO_8859_1));
        lines.addAll(Files.readAllLines(journal, ISO_8859_1));
        Pattern call = Pattern.compile(
                "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z 0x\\p{XDigit}+ " + MODE
                + " (CVDLLRZ_RegWrite 0 0 (\\d+) \\[(\\d+)(?:,\\d+){99}\\] 100 -> 0"
                + "|CVDA_Poke \"t(\\d+)\" \"i(\\d+)\" \"x{1500}\" -> 1"
                + "|CVDLLRZ_Open 0 1 110 1000 3 -> 0|CVDLLRZ_Close 0 -> 0) NONE \\d+ns");
        Set<String> seen = new HashSet<>();
        for (String line : lines) {
            Matcher matcher = call.matcher(line);
            assertTrue(matcher.matches(), line);
            seen.add(matcher.group(2) != null ? "write " + matcher.group(2) + " " + matcher.group(3)
                    : matcher.group(4) != null ? "poke " + matcher.group(4) + " " + matcher.group(5)
                    : matcher.group(1));
        }
        assertEquals(2 * THREADS * CALLS + 2, seen.size());
        assertEquals(seen.size(), lines.size());
    }

    /**
     * Texts in an ANSI code page exist only on Windows: here MORLANE_TEXTS=ansi is refused on
     * stderr, the switch throws, and texts reach the library as the JVM's bytes.
     */
    @Test
    void ansiTextsAreRefusedElsewhereThanWindows() {
        ChildJvm.Run run = ChildJvm.launch(List.of(), Map.of("MORLANE_TEXTS", "ansi"),
                ChildJvm.LIB_DIR, report -> {
            try {
                CallRecord.setAnsiTexts(true);
                report.value("switch", "taken");
            } catch (UnsupportedOperationException e) {
                report.value("switch", e.getMessage());
            }
            CallRecord.setAnsiTexts(false);
            Brenmoor.start();
            Brenmoor.downLoad(0, 1, "caf\u00e9");
            Brenmoor.finish();
        });
        assertEquals(0, run.exitCode(), () -> "run: " + run);
        assertEquals("switch \"morlane: an ANSI code page exists only on Windows; texts cross as"
                + " the JVM's modified UTF-8\"\nCVDLLRZ_DownLoad 0 1 x636166c3a9\n", run.report());
        assertEquals("morlane: MORLANE_TEXTS=ansi refused: an ANSI code page exists only on"
                + " Windows; texts cross as the JVM's modified UTF-8\n", run.stderr());
    }

    /** A program that starts the journal itself: the calls after it are journaled, once. */
    @Test
    void aProgramStartsTheJournalThroughCallRecord(@TempDir Path dir) {
        ChildJvm.Run run = ChildJvm.launch(List.of("-Djava.io.tmpdir=" + dir), Map.of(),
                ChildJvm.LIB_DIR, report -> {
            Path journal = Path.of(System.getProperty("java.io.tmpdir"), "started-journal");
            Brenmoor.close(7);
            report.value("started", CallRecord.startJournal(journal));
            report.value("again", CallRecord.startJournal(journal.resolveSibling("other")));
            Brenmoor.close(8);
            report.value("journal", calls(journal));
        });
        assertEquals("started true\nagain false\njournal [- CVDLLRZ_Close -> - NOT_LOADED]\n",
                run.assertClean(0).report(), () -> "report: " + run);
    }

    /**
     * Only a regular file is a journal: a FIFO (whose open would wait for a reader) or a symbolic
     * link is refused at once, with the one stderr line, from the environment and from the
     * program alike. A journal deleted under the program begins anew within a second.
     */
    @Test
    void aJournalIsARegularFileAndOutlivesItsDeletion(@TempDir Path dir) throws Exception {
        Path fifo = dir.resolve("fifo"), link = dir.resolve("link");
        assertEquals(0, new ProcessBuilder("mkfifo", fifo.toString()).start().waitFor());
        Files.createSymbolicLink(link, dir.resolve("target"));
        ChildJvm.Run run = ChildJvm.launch(List.of("-Djava.io.tmpdir=" + dir),
                Map.of("MORLANE_JOURNAL", fifo.toString()), ChildJvm.LIB_DIR, report -> {
            Path tmp = Path.of(System.getProperty("java.io.tmpdir"));
            for (String refused : new String[] {"fifo", "link"}) {
                try {
                    CallRecord.startJournal(tmp.resolve(refused));
                    report.value(refused, "started");
                } catch (java.io.UncheckedIOException e) {
                    report.value(refused, "refused");
                }
            }
            Path journal = tmp.resolve("journal");
            CallRecord.startJournal(journal);
            Brenmoor.close(1);
            Files.delete(journal);
            Thread.sleep(1100);
            Brenmoor.close(2);
            report.value("journal", calls(journal));
        });
        assertEquals(0, run.exitCode(), run::toString);
        assertEquals("morlane: MORLANE_JOURNAL " + fifo + " cannot be opened: no journal\n",
                run.stderr(), run::toString);
        assertEquals("fifo \"refused\"\nlink \"refused\"\n"
                + "journal [- CVDLLRZ_Close -> - NOT_LOADED]\n", run.report(), run::toString);
        assertTrue(Files.notExists(dir.resolve("target")));
    }
}
