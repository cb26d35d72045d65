package lathwork.test;

import static java.nio.charset.StandardCharsets.ISO_8859_1;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
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
import morlane.CallRecord;
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
        ChildJvm.Run edit = run(Map.of("MORLANE_REPLAY", edited.toString()), JournalJvmTest::demo);
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
}
