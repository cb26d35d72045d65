package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.CompletableFuture;
import java.util.function.Supplier;
import java.util.stream.Collectors;
import java.util.stream.IntStream;
import java.util.stream.LongStream;
import lathwork.Brenmoor;
import morlane.CallRecord;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Hosted calls exactly as in process. Each seed makes a random script of calls to all fifteen
 * natives: integers, texts, arrays and counts at their edges, start and finish interleaved with
 * everything, the simulated libraries' statuses and replies scripted. One child JVM runs it with
 * the 64-bit simulated libraries in process, another with the 32-bit ones behind morlane-host32,
 * and call by call the journal, the native stdout and what Java saw must be the same. A script's
 * first n calls depend on its seed alone, so a failure at call #n of seed s repeats as "s n+1".
 *
 * <p>Kept out of the scripts because the modes differ there by design: crashes, delays and
 * deadlines; anything over the host's limits (a text over 1 MiB, more than 4 Mi words: refused
 * hosted with the operation's line, while in process the library gets it); and a reply that a
 * library leaves without a NUL short of the area's end, where in process the rest of the area is
 * whatever the bridge's stack held.
 *
 * <p>A longer run by hand, scripts 1000 to 1099 with 2000 calls each ("7 5000": seed 7 alone;
 * ctest gives the whole run 600 s, each child JVM has 60 s):
 * <pre>
 * MORLANE_DIFFERENTIAL="1000-1099 2000" ctest --test-dir build/linux -R jvm_differential --output-on-failure
 * </pre>
 */
class DifferentialJvmTest {
    /** Seeds 1 to 12 with 500 calls each, in each mode, unless a run by hand says otherwise. */
    static final String[] RUN = System.getenv().getOrDefault("MORLANE_DIFFERENTIAL", "1-12 500")
            .trim().split("\\s+");
    static final Path SIM32_DIR = Paths.get(System.getProperty("morlane.sim32.dir", ""));

    static LongStream seeds() {
        String[] range = RUN[0].split("-");
        return LongStream.rangeClosed(Long.parseLong(range[0]),
                                      Long.parseLong(range[range.length - 1]));
    }

    @ParameterizedTest(name = "seed {0}")
    @MethodSource("seeds")
    void hostedCallsMatchInProcessCalls(long seed) {
        int calls = Integer.parseInt(RUN[1]);
        CompletableFuture<ChildJvm.Run> pending =
                CompletableFuture.supplyAsync(() -> child(seed, calls, "hosted", SIM32_DIR));
        ChildJvm.Run inProcessRun = child(seed, calls, "in-process", ChildJvm.SIM_DIR);
        ChildJvm.Run hostedRun = pending.join();
        // Otherwise both runs could be in process, and agree for nothing.
        assertEquals(List.of("modes 1 1"), inProcessRun.step("modes"), inProcessRun::toString);
        assertEquals(List.of("modes 2 2"), hostedRun.step("modes"), hostedRun::toString);
        List<String> inProcess = calls(inProcessRun);
        List<String> hosted = calls(hostedRun);
        for (int i = 0; i < Math.max(inProcess.size(), hosted.size()); i++) {
            String expected = i < inProcess.size() ? inProcess.get(i) : "(the run had ended)\n";
            String actual = i < hosted.size() ? hosted.get(i) : "(the run had ended)\n";
            if (!expected.equals(actual)) {
                int at = Arrays.mismatch(expected.toCharArray(), actual.toCharArray());
                fail("seed " + seed + ": call #" + i + " is the first to differ (again: "
                        + "MORLANE_DIFFERENTIAL=\"" + seed + " " + (i + 1) + "\")\n"
                        + "--- in process:\n" + excerpt(expected, at) + inProcessRun.stderr()
                        + "\n--- hosted:\n" + excerpt(actual, at) + hostedRun.stderr());
            }
        }
        assertEquals(calls, inProcess.size(), "calls made");
        inProcessRun.assertClean(0);
        hostedRun.assertClean(0);
    }

    static ChildJvm.Run child(long seed, int calls, String mode, Path simulated) {
        return ChildJvm.launch(List.of("-Dmorlane.mode=" + mode, "-Dmorlane.differential.seed="
                + seed, "-Dmorlane.differential.calls=" + calls), Map.of(), ChildJvm.LIB_DIR,
                DifferentialJvmTest::script, simulated);
    }

    /** Each call's report lines, its marker line first, then its native stdout lines. */
    static List<String> calls(ChildJvm.Run run) {
        List<String> reported = sections(run.report());
        List<String> written = sections(run.stdout());
        return IntStream.range(0, Math.min(reported.size(), written.size()))
                .mapToObj(i -> reported.get(i) + "native stdout:\n"
                        + written.get(i).substring(written.get(i).indexOf('\n') + 1))
                .collect(Collectors.toList());
    }

    /** The text from each "-- #" marker line up to the next one; what comes before is left. */
    static List<String> sections(String text) {
        List<String> parts = Arrays.asList(text.split("(?m)^(?=-- #)"));
        return parts.subList(1, parts.size());
    }

    /** The call's first line, and the text around {@code at}. */
    static String excerpt(String text, int at) {
        int from = Math.max(text.indexOf('\n') + 1, at - 400);
        int to = Math.min(text.length(), at + 400);
        return text.substring(0, text.indexOf('\n') + 1) + (from > text.indexOf('\n') + 1
                ? "..." : "") + text.substring(from, to) + (to < text.length() ? "..." : "");
    }

    static final Report.Plain VOID = new Report.Plain("void");

    /** One call of a script, with the status or reply scripted for it. */
    record Step(String what, Supplier<Object> action) {}

    static void script(Report report) throws InterruptedException {
        // Outside the comparison: the mode each library is served in; then nothing loaded.
        report.step("modes");
        Scenario.startBoth();
        report.value("modes", new Report.Plain(CallRecord.linkMode() + " " + CallRecord.corvaneMode()));
        Scenario.finishBoth();
        settle();
        Generator script = new Generator(new Random(Long.getLong("morlane.differential.seed")));
        for (int i = 0, calls = Integer.getInteger("morlane.differential.calls"); i < calls; i++) {
            Step step = script.next();
            report.step("#" + i + " " + step.what());
            Object seen;
            try {
                seen = step.action().get();
            } catch (RuntimeException | Error e) {
                seen = new Report.Plain("threw " + e);
            }
            report.value("=", seen);
            report.journalThenReset();
            settle();
        }
    }

    /**
     * Waits until a library whose slot is empty has left every process, so that the next start
     * finds the simulated PLCs reset as in process, however long a host takes to exit.
     */
    static void settle() throws InterruptedException {
        long deadline = System.nanoTime() + 10_000_000_000L;
        while (CallRecord.linkMode() == CallRecord.NOT_LOADED
                && SimProbe.isLoaded("CVDLL1RZ1.dll")
                || CallRecord.corvaneMode() == CallRecord.NOT_LOADED
                && SimProbe.isLoaded("CVDAlib.dll")) {
            if (System.nanoTime() > deadline) {
                throw new IllegalStateException("a library still loaded 10 s after its finish");
            }
            Thread.sleep(1);
        }
    }

    /** Makes a script's calls from its seed alone, never from what earlier calls returned. */
    static final class Generator {
        static final int MIN = Integer.MIN_VALUE;
        static final int MAX = Integer.MAX_VALUE;
        /**
         * ASCII, two- and three-byte characters, U+0000 (C0 80), a pair beyond U+FFFF, and lone
         * high and low surrogates.
         */
        static final String[] PIECES = {"a", "Z", "7", " ", "\u00e9", "\u07ff", "\u0800", "\u6f22",
                                        "\uffff", "\u0000", "\ud83d\ude00", "\ud83d", "\ude00"};

        static final byte[][] FOREIGN = CorvaneJvmTest.FOREIGN_REPLIES;

        private final Random random;
        private int linkLoads;
        private int corvaneLoads;

        Generator(Random random) {
            this.random = random;
        }

        Step next() {
            // Loads are likelier while a slot is empty, so that most calls find their library.
            int[] weights = {linkLoads == 0 ? 12 : 2, 2, corvaneLoads == 0 ? 12 : 2, 2, 6, 2, 4, 4,
                             5, 6, 6, 6, 6, 10, 10};
            int method = 0;
            for (int left = random.nextInt(Arrays.stream(weights).sum()); left >= weights[method];) {
                left -= weights[method++];
            }
            int link = random.nextInt(5) > 0 ? random.nextInt(2) : pick(-1, 7, 8, MIN, MAX);
            int unit = random.nextInt(5) > 0 ? random.nextInt(2) : pick(31, 32, -1, MIN, MAX);
            int area = random.nextInt(6) > 0 ? random.nextInt(2) : pick(2, -1, MIN, MAX);
            int address = random.nextInt(3) > 0 ? random.nextInt(200)
                    : pick(1, 4095, 4096, 8191, 8192, -1, MIN, MAX);
            // Up to the ends of both register areas and one past, and what no array holds.
            int count = random.nextInt(4) > 0 ? random.nextInt(20)
                    : pick(0, 4095, 4096, 4097, 8191, 8192, 8193, -1, MIN, MAX);
            switch (method) {
            case 0:
                linkLoads++;
                return new Step("start()", act(Brenmoor::start));
            case 1:
                linkLoads = Math.max(0, linkLoads - 1);
                return new Step("finish()", act(Brenmoor::finish));
            case 2:
                corvaneLoads++;
                return new Step("cvStart()", act(Brenmoor::cvStart));
            case 3:
                corvaneLoads = Math.max(0, corvaneLoads - 1);
                return new Step("cvFinish()", act(Brenmoor::cvFinish));
            case 4: {
                int selector = random.nextBoolean() ? random.nextInt(3)
                        : pick(3, -1, 101, 110, 111, MIN, MAX);
                int timeout = setting();
                int retries = setting();
                return scripted("CVDLLRZ_Open", show("open", link, unit, selector, timeout, retries),
                        act(() -> Brenmoor.open(link, unit, selector, timeout, retries)));
            }
            case 5:
                return scripted("CVDLLRZ_Close", show("close", link),
                        act(() -> Brenmoor.close(link)));
            case 6:
                return scripted("CVDLLRZ_RunMode", show("runMode", link, unit),
                        act(() -> Brenmoor.runMode(link, unit)));
            case 7:
                return scripted("CVDLLRZ_StopMode", show("stopMode", link, unit),
                        act(() -> Brenmoor.stopMode(link, unit)));
            case 8: {
                String file = text();
                return scripted("CVDLLRZ_DownLoad", show("downLoad", link, unit, file),
                        act(() -> Brenmoor.downLoad(link, unit, file)));
            }
            case 9: {
                int value = word();
                return scripted("CVDLLRZ_RegWrite", show("regWrite", link, area, address, value),
                        act(() -> Brenmoor.regWrite(link, area, address, value)));
            }
            case 10: {
                int[] values = array(count);
                return scripted("CVDLLRZ_RegWrite",
                        show("regWrite", link, area, address, values, count), () -> {
                            Brenmoor.regWrite(link, area, address, values, count);
                            return values;
                        });
            }
            case 11: {
                int[] values = array(count);
                return scripted("CVDLLRZ_RegRead",
                        show("regRead", link, area, address, values, count), () -> {
                            Brenmoor.regRead(link, area, address, values, count);
                            return values;
                        });
            }
            case 12:
                return scripted("CVDLLRZ_RegRead", show("regRead", link, area, address, count),
                        () -> Brenmoor.regRead(link, area, address, count));
            case 13: {
                boolean state = random.nextInt(12) == 0;
                String topic = state ? "sim" : key();
                String item = state ? "state" : key();
                String value = state ? pick("stopped", "running", "running", "paused") : text();
                return scripted("CVDA_Poke", show("cvPoke", topic, item, value),
                        act(() -> Brenmoor.cvPoke(topic, item, value)));
            }
            default: {
                String topic = key();
                String item = key();
                Step request = scripted("CVDA_Request", show("cvRequest", topic, item),
                        () -> Brenmoor.cvRequest(topic, item));
                if (random.nextInt(3) > 0) {
                    return request;
                }
                // Filling the whole area is the one way to leave out the NUL; see above.
                byte[] reply = reply();
                return new Step("reply of " + reply.length + " bytes, " + request.what(), () -> {
                    SimProbe.scriptReply(reply, reply.length < 4096);
                    return request.action().get();
                });
            }
            }
        }

        static Supplier<Object> act(Runnable call) {
            return () -> {
                call.run();
                return VOID;
            };
        }

        /** The call, a quarter of the time with a status scripted for its entry point. */
        Step scripted(String entry, String what, Supplier<Object> call) {
            if (random.nextInt(4) > 0) {
                return new Step(what, call);
            }
            int status = pick(0, 1, 2, -1, 9, MIN, MAX);
            return new Step("status " + status + ", " + what, () -> {
                SimProbe.scriptStatus(entry, status);
                return call.get();
            });
        }

        int setting() {
            return random.nextInt(4) > 0 ? random.nextInt(1000) : pick(0, -1, MIN, MAX);
        }

        int word() {
            return random.nextBoolean() ? random.nextInt(65536)
                    : pick(0, -1, 65535, 65536, 0x12345, MIN, MAX);
        }

        /** Null, one short of the count, one beyond it, or just the count, filled with words. */
        int[] array(int count) {
            int fits = count >= 0 && count <= 8193 ? count : random.nextInt(20);
            int[] values = switch (random.nextInt(8)) {
                case 0 -> null;
                case 1 -> new int[Math.max(fits - 1, 0)];
                case 2 -> new int[fits + 1];
                default -> new int[fits];
            };
            for (int i = 0; values != null && i < values.length; i++) {
                values[i] = word();
            }
            return values;
        }

        /** A topic or an item: mostly a few short ones, so that requests find what was poked. */
        String key() {
            return random.nextInt(10) < 6 ? pick("t", "i", "", "item") : text();
        }

        String text() {
            return switch (random.nextInt(10)) {
                case 0 -> null;
                case 1, 2 -> "";
                case 3, 4, 5 -> pick("t", "i", "v", "topic", "item", "prog.mot");
                case 6, 7, 8 -> pieces(1 + random.nextInt(40), PIECES.length);
                // Around the simulated PLC's 259-byte file name and Corvane's 4095-byte value.
                default -> pieces(pick(259, 260, 1365, 4095, 4096, 9000),
                                  random.nextBoolean() ? 1 : PIECES.length);
            };
        }

        String pieces(int count, int kinds) {
            StringBuilder text = new StringBuilder();
            for (int i = 0; i < count; i++) {
                text.append(PIECES[random.nextInt(kinds)]);
            }
            return text.toString();
        }

        /**
         * Bytes for a reply: none; a text as modified or as standard UTF-8 (U+0000 then a NUL
         * inside); one of the foreign replies; any bytes but NUL, or with a NUL inside; long.
         */
        byte[] reply() {
            int kind = random.nextInt(6);
            if (kind < 3) {
                String text = pieces(random.nextInt(40), PIECES.length);
                return kind == 0 ? modifiedUtf8(text) : kind == 1
                        ? text.getBytes(StandardCharsets.UTF_8)
                        : FOREIGN[random.nextInt(FOREIGN.length)].clone();
            }
            byte[] bytes = new byte[kind == 5 ? pick(4095, 4096) : 1 + random.nextInt(64)];
            for (int i = 0; i < bytes.length; i++) {
                bytes[i] = (byte) (1 + random.nextInt(255));
            }
            if (random.nextInt(4) == 0) {
                bytes[random.nextInt(bytes.length)] = 0;
            }
            return bytes;
        }

        static byte[] modifiedUtf8(String text) {
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            try (DataOutputStream data = new DataOutputStream(out)) {
                data.writeUTF(text);
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
            return Arrays.copyOfRange(out.toByteArray(), 2, out.size());
        }

        int pick(int... options) {
            return options[random.nextInt(options.length)];
        }

        String pick(String... options) {
            return options[random.nextInt(options.length)];
        }

        /** The call as a line of the report: long texts cut short, arrays by their length. */
        static String show(String method, Object... arguments) {
            return method + Arrays.stream(arguments).map(argument -> {
                if (argument instanceof String text) {
                    return text.length() <= 24 ? Report.quote(text)
                            : Report.quote(text.substring(0, 12)) + "+" + (text.length() - 12);
                }
                if (argument instanceof int[] values) {
                    return "int[" + values.length + "]";
                }
                return String.valueOf(argument);
            }).collect(Collectors.joining(", ", "(", ")"));
        }
    }
}
