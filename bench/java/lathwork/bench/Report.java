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

/**
 * Turns the per-round lines of {@link Bench} (one or more runs, pooled) into the Markdown of
 * docs/performance.md and the chart's data. A figure is an entry's per-round time ("morlane"), or
 * per round one entry's time over ("a ÷ b") or less ("a − b") another's; the report gives its
 * median with the quartiles in brackets. A target counts as met only when the quartile on its far
 * side meets it.
 *
 * <pre>java lathwork.bench.Report OUT.md CHART.dat RAW.tsv...</pre>
 */
public final class Report {
    private static final String[][] OPS = { // case, row, target on the 64-bit JVM, chart
        {"write", "regWrite, single word", "0.8", "write 1"},
        {"writeBlock", "regWrite, block of 256 words", "0.8", "write 256"},
        {"read16", "regRead, 16 words, new array", "0.8", "read 16"},
        {"read4096", "regRead, 4096 words, new array", "0.8", "read 4096"},
        {"readInto", "regRead, 16 words into a passed array", "0.8", "read into"},
        {"poke", "cvPoke", "1.0", "cvPoke"},
        {"request", "cvRequest, 16-byte reply", "1.0", "cvRequest"}};
    private static final String[] COLUMNS = {"morlane", "morlane ÷ JNA direct",
        "floor ÷ JNA direct", "morlane ÷ floor", "morlane ÷ JNA interface", "morlane ÷ FFM",
        "morlane − unguarded"};
    private static final int WALL = 0;
    private static final int CPU = 1;

    /** "label|case|entry": round ("file:round") → {wall, CPU} ns per call. */
    private static final Map<String, Map<String, double[]>> ROUNDS = new HashMap<>();
    private static final Map<String, String> JVMS = new HashMap<>();
    private static final List<String> VERDICTS = new ArrayList<>();
    private static PrintWriter md;

    public static void main(String[] args) throws IOException {
        for (int f = 2; f < args.length; f++) {
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
        try (PrintWriter chart = new PrintWriter(args[1], "UTF-8")) {
            for (String[] op : OPS) { // per JVM: median, lower and upper quartile
                chart.printf("\"%s\"", op[3]);
                for (String label : new String[] {"64-bit", "32-bit"}) {
                    double[] s = stats(label, op[0], "morlane ÷ JNA direct");
                    chart.print(s == null ? " ? ? ?"
                            : String.format(Locale.ROOT, " %.3f %.3f %.3f", s[1], s[0], s[2]));
                }
                chart.println();
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
        md.printf("%n### Verdicts%n%n");
        VERDICTS.forEach(v -> md.println("- " + v));
        md.close();
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
        double[] s = stats(label, c, figure);
        String v = s == null ? "not measured"
                : (atMost ? s[2] <= target : s[0] >= target) ? "**met**" : "**missed**";
        VERDICTS.add(String.format("%s %s: %s %s %s: %s, %s", label, what, figure,
                atMost ? "≤" : "≥", new DecimalFormat("0.##").format(target), fmt(s), v));
        return v;
    }

    private static void inProcess(String label) {
        md.printf("%n### %s JVM, in-process (JDK %s)%n%nCPU time per call of the whole process; a"
                + " ratio A ÷ B is A's time over B's; the guard is morlane − unguarded.%n%n",
                label, JVMS.get(label));
        md.println("| Operation | morlane, ns | morlane ÷ JNA direct | target | floor ÷ JNA direct"
                + " | morlane ÷ floor | morlane ÷ JNA interface | morlane ÷ FFM | guard, ns |");
        md.println("|---|---:|---:|---|---:|---:|---:|---:|---:|");
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
        // The guard costs the same on every call; the shortest call shows it with least noise.
        // A second copy of the shipped build shows how far two builds differ by placement alone.
        verdict(label, "write", "finish guard on regWrite single, ns", "morlane − unguarded", 10,
                true);
        VERDICTS.add(String.format("%s, for scale: the shipped build loaded twice differs by %s"
                + " ns (morlane − copy)", label, fmt(stats(label, "write", "morlane − copy"))));
        scaling(label, "threads", "regRead of 16 words", "morlane", "floor", "JNA direct", "FFM");
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

    private static void hosted() {
        md.printf("%n### Hosted: 64-bit JVM, the library in morlane-host32 (JDK %s; CPU time of the"
                + " JVM only)%n", JVMS.get("hosted"));
        scaling("hosted", "hosted", "regRead", "read16", "read4096");
        verdict("hosted", "hosted", "regRead of 16 words, one thread, ns", "read16", 10_000, true);
        verdict("hosted", "hosted", "regRead, 4096 ÷ 16 words", "read4096 ÷ read16", 3, true);
        verdict("hosted", "hosted", "regRead of 16 words, throughput of 2 threads ÷ 1",
                "read16 ÷ read16 ×2", 1.5, false);
    }
}
