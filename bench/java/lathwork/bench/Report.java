package lathwork.bench;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.text.DecimalFormat;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.TreeMap;

/**
 * Turns the per-round lines of {@link Bench} (one or more runs, pooled) into the Markdown of
 * bench/results.md. A figure is an entry's per-round time ("morlane"), or
 * per round one entry's time over ("a ÷ b") or less ("a − b") another's; the report gives its
 * median with the quartiles in brackets. A target counts as met only when the quartile on its far
 * side meets it.
 *
 * <pre>java lathwork.bench.Report OUT.md RAW.tsv...</pre>
 */
public final class Report {
    private static final String[][] OPS = { // case, row, target on the 64-bit JVM
        {"write", "regWrite, single word", "0.8"},
        {"writeBlock", "regWrite, block of 256 words", "0.8"},
        {"read16", "regRead, 16 words, new array", "0.8"},
        {"read4096", "regRead, 4096 words, new array", "0.8"},
        {"readInto", "regRead, 16 words into a passed array", "0.8"},
        {"poke", "cvPoke", "1.0"},
        {"request", "cvRequest, 16-byte reply", "1.0"}};
    private static final String[][] HOSTED = { // entry, row
        {"read16", "regRead, 16 words, new array"},
        {"read4096", "regRead, 4096 words, new array"},
        {"write", "regWrite, single word"},
        {"request", "cvRequest, 16-byte reply"},
        {"floor mechanism", "floor mechanism: a 64-byte message there and back"}};
    private static final String FLOOR = "floor mechanism";
    private static final String[] COLUMNS = {"morlane", "morlane ÷ JNA direct",
        "morlane ÷ JNA interface", "morlane ÷ FFM"};
    private static final int WALL = 0;
    private static final int CPU = 1;

    /** "label|case|entry": round ("file:round") → {wall, CPU} ns per call. */
    private static final Map<String, Map<String, double[]>> ROUNDS = new HashMap<>();
    private static final Map<String, String> JVMS = new HashMap<>();
    private static final List<String> VERDICTS = new ArrayList<>();
    private static PrintWriter md;

    public static void main(String[] args) throws IOException {
        for (int f = 1; f < args.length; f++) {
            for (String line : Files.readAllLines(Paths.get(args[f]))) {
                String[] v = line.split("\t");
                if (v[1].equals("#jvm")) {
                    JVMS.merge(v[0], v[2], (a, b) -> a.equals(b) ? a : a + "; " + b);
                } else {
                    ROUNDS.computeIfAbsent(v[0] + "|" + v[1] + "|" + v[2], k -> new HashMap<>())
                            .put(f + ":" + v[3], new double[] {Double.parseDouble(v[4]),
                                Double.parseDouble(v[5])});
                }
            }
        }
        md = new PrintWriter(args[0], "UTF-8");
        for (String label : new String[] {"64-bit", "32-bit"}) {
            if (JVMS.containsKey(label)) {
                inProcess(label);
            }
        }
        if (JVMS.containsKey("hosted")) {
            hosted();
        }
        lone();
        md.printf("%n### Verdicts%n%n");
        VERDICTS.forEach(v -> md.println("- " + v));
        md.close();
    }

    /** Calls made one at a time, one every millisecond, as a polling PLC program makes them. */
    private static void lone() {
        md.printf("%n### Calls one at a time%n%nregRead of 16 words, one call every 1 ms, each timed"
                + " on its own (wall ns; quartiles over rounds of 200 calls).%n%n"
                + "| Mode | median, ns | 99th percentile, ns |%n|---|---:|---:|%n");
        for (String[] m : new String[][] {{"64-bit", "in process, 64-bit JVM"},
            {"32-bit", "in process, 32-bit JVM"}, {"hosted", "hosted, 64-bit JVM"}}) {
            if (stats(m[0], "lone", "p50") != null) {
                md.printf("| %s | %s | %s |%n", m[1], fmt(stats(m[0], "lone", "p50")),
                        fmt(stats(m[0], "lone", "p99")));
            }
        }
        verdict("hosted", "lone", "regRead of 16 words one call every 1 ms, median ns", "p50",
                20000, true, true);
    }

    /** The figure on the case's own measure: throughput where threads run at once, else CPU. */
    private static double[] stats(String label, String c, String figure) {
        return stats(label, c, figure, c.equals("threads") || c.equals("hosted") ? WALL : CPU);
    }

    /** {lower quartile, median, upper quartile} of the figure's per-round values, or null. */
    private static double[] stats(String label, String c, String figure, int measure) {
        String[] ab = figure.split(" [÷−] ");
        Map<String, double[]> a = ROUNDS.getOrDefault(label + "|" + c + "|" + ab[0], Map.of());
        Map<String, double[]> b = ROUNDS.getOrDefault(label + "|" + c + "|" + ab[ab.length - 1],
                Map.of());
        double[] v = a.keySet().stream().filter(b::containsKey).mapToDouble(k -> {
            double x = a.get(k)[measure];
            double y = b.get(k)[measure];
            return ab.length == 1 ? x : figure.contains(" ÷ ") ? x / y : x - y;
        }).sorted().toArray();
        if (v.length == 0) {
            return null;
        }
        double[] q = new double[3];
        for (int i = 0; i < 3; i++) {
            double at = (v.length - 1) * (i + 1) / 4.0;
            int lo = (int) at;
            q[i] = v[lo] + (v[Math.min(lo + 1, v.length - 1)] - v[lo]) * (at - lo);
        }
        return q;
    }

    /** Median [lower quartile, upper quartile]; ratios with two decimals, times in whole ns. */
    private static String fmt(double[] s) {
        if (s == null) {
            return "–";
        }
        String f = Math.abs(s[2]) >= 20 ? "%.0f [%.0f, %.0f]" : "%.2f [%.2f, %.2f]";
        return String.format(Locale.ROOT, f, s[1], s[0], s[2]);
    }

    /** Records the verdict on a figure and returns it: met when the far quartile meets target. */
    private static String verdict(String label, String c, String what, String figure, double target,
            boolean atMost) {
        return verdict(label, c, what, figure, target, atMost, false);
    }

    /** The same, on the median instead where the target says so. */
    private static String verdict(String label, String c, String what, String figure, double target,
            boolean atMost, boolean median) {
        double[] s = stats(label, c, figure);
        double at = s == null ? 0 : median ? s[1] : atMost ? s[2] : s[0];
        String v = s == null ? "not measured"
                : (atMost ? at <= target : at >= target) ? "**met**" : "**missed**";
        VERDICTS.add(String.format("%s %s: %s%s %s %s: %s, %s", label, what, figure,
                median ? " (median)" : "", atMost ? "≤" : "≥",
                new DecimalFormat("0.##").format(target), fmt(s), v));
        return v;
    }

    /** The median of an entry's rounds in each run (file), in the order of the files. */
    private static List<String> perRun(String label, String c, String entry) {
        Map<String, List<Double>> runs = new TreeMap<>();
        ROUNDS.getOrDefault(label + "|" + c + "|" + entry, Map.of()).forEach((k, v) -> runs
                .computeIfAbsent(k.substring(0, k.indexOf(':')), f -> new ArrayList<>())
                .add(v[WALL]));
        List<String> medians = new ArrayList<>();
        runs.values().forEach(v -> {
            v.sort(null);
            int n = v.size();
            double median = (v.get((n - 1) / 2) + v.get(n / 2)) / 2;
            medians.add(String.format(Locale.ROOT, "%.0f", median));
        });
        return medians;
    }

    private static void inProcess(String label) {
        md.printf("%n### %s JVM, in-process (JDK %s)%n%nCPU time per call of the whole process; a"
                + " ratio A ÷ B is A's time over B's.%n%n",
                label, JVMS.get(label));
        md.println("| Operation | morlane, ns | morlane ÷ JNA direct | target"
                + " | morlane ÷ JNA interface | morlane ÷ FFM |");
        md.println("|---|---:|---:|---|---:|---:|");
        for (String[] op : OPS) {
            double target = label.equals("64-bit") ? Double.parseDouble(op[2]) : 1.0;
            md.print("| " + op[1]);
            for (String c : COLUMNS) {
                md.print(" | " + fmt(stats(label, op[0], c)));
                if (c.equals("morlane ÷ JNA direct")) {
                    md.print(" | ≤ " + target + ": "
                            + verdict(label, op[0], op[1], c, target, true));
                }
            }
            md.println(" |");
        }
        verdict(label, "readInto", "16 words read into an array of 1M ÷ of 16 elements",
                "morlane 1M ÷ morlane", 1.5, true);
        // A second copy of the shipped build shows how far two builds differ by placement alone.
        VERDICTS.add(String.format("%s, for scale: the shipped build loaded twice differs by %s"
                + " ns (morlane − copy)", label, fmt(stats(label, "write", "morlane − copy"))));
        scaling(label, "threads", "regRead of 16 words", "morlane", "JNA direct", "FFM");
    }

    /** Entries e and "e ×2" side by side: wall time per call in aggregate, the gain, CPU time. */
    private static void scaling(String label, String c, String what, String... entries) {
        md.printf("%n| %s, each thread on a link of its own | wall ns per call, 1 thread |"
                + " 2 threads | gain | CPU ns per call, 1 / 2 threads |%n"
                + "|---|---:|---:|---:|---:|%n", what);
        for (String e : entries) {
            if (stats(label, c, e) != null) {
                md.printf(Locale.ROOT, "| %s | %s | %s | %s | %.0f / %.0f |%n", e,
                        fmt(stats(label, c, e)), fmt(stats(label, c, e + " ×2")),
                        fmt(stats(label, c, e + " ÷ " + e + " ×2")), stats(label, c, e, CPU)[1],
                        stats(label, c, e + " ×2", CPU)[1]);
            }
        }
    }

    /**
     * Hosted calls on one thread: wall time per call (the host's time included), over and above
     * the floor mechanism, and the JVM's CPU time; then 2 threads against 1, and the CPU time
     * used in the second after the calls stop.
     */
    private static void hosted() {
        md.printf("%n### Hosted: 64-bit JVM, the 32-bit library in morlane-host32 (JDK %s)%n%n"
                + "Wall time per call on one thread, the host's time included, with the JVM's own"
                + " CPU time beside it. The floor mechanism is a bare round trip of 64 bytes"
                + " through a mailbox with the same turn protocol, between this JVM and a 32-bit"
                + " echo program: no bridge, no library.%n%n", JVMS.get("hosted"));
        md.println("| Call | wall ns per call | ÷ floor mechanism | − floor mechanism, ns"
                + " | JVM CPU ns per call |");
        md.println("|---|---:|---:|---:|---:|");
        for (String[] h : HOSTED) {
            double[] cpu = stats("hosted", "hosted", h[0], CPU);
            md.printf(Locale.ROOT, "| %s | %s | %s | %s | %s |%n", h[1],
                    fmt(stats("hosted", "hosted", h[0])),
                    fmt(stats("hosted", "hosted", h[0] + " ÷ " + FLOOR)),
                    fmt(stats("hosted", "hosted", h[0] + " − " + FLOOR)),
                    cpu == null ? "–" : String.format(Locale.ROOT, "%.0f", cpu[1]));
        }
        scaling("hosted", "hosted", "Hosted regRead of 16 words; floor mechanism", "read16", FLOOR);
        double[] jvm = stats("hosted", "idle", "JVM");
        double[] hosts = stats("hosted", "idle", "hosts");
        if (jvm != null) {
            md.printf(Locale.ROOT, "%nIn the second after a burst of calls, in %% of one core:"
                    + " the JVM and its hosts %s, the JVM %.1f, the hosts %.1f (their CPU times in"
                    + " /proc, which count whole clock ticks).%n",
                    fmt(stats("hosted", "idle", "JVM and hosts")), jvm[1], hosts[1]);
        }
        verdict("hosted", "hosted", "regRead of 16 words, ns", "read16", 1500, true, true);
        verdict("hosted", "hosted", "regRead, 4096 ÷ 16 words", "read4096 ÷ read16", 3, true);
        double[] s = stats("hosted", "hosted", "read4096");
        if (s != null) {
            VERDICTS.add(String.format(Locale.ROOT, "hosted regRead of 4096 words, quartiles"
                    + " within ±25 %% of the median, all runs pooled: %s, lower %.2f and upper"
                    + " %.2f × the median (medians of the runs: %s ns), %s", fmt(s), s[0] / s[1],
                    s[2] / s[1], String.join(", ", perRun("hosted", "hosted", "read4096")),
                    s[0] >= 0.75 * s[1] && s[2] <= 1.25 * s[1] ? "**met**" : "**missed**"));
        }
        verdict("hosted", "hosted", "regWrite of one word, ns", "write", 1500, true, true);
        verdict("hosted", "hosted", "cvRequest, ns", "request", 1500, true, true);
        verdict("hosted", "hosted", "regRead of 16 words, throughput of 2 threads ÷ 1",
                "read16 ÷ read16 ×2", 1.3, false);
        verdict("hosted", "idle", "CPU in the second after a burst, % of one core",
                "JVM and hosts", 5, true);
        VERDICTS.add(String.format("hosted, for scale: the floor mechanism takes %s ns, and 2"
                + " threads make %s × the calls of one", fmt(stats("hosted", "hosted", FLOOR)),
                fmt(stats("hosted", "hosted", FLOOR + " ÷ " + FLOOR + " ×2"))));
    }
}
