package lathwork.bench;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.function.DoubleBinaryOperator;

/**
 * Turns the per-round lines of one or more runs of {@link Bench} into the Markdown tables of
 * docs/performance.md and the chart's data. Every figure is the median of per-round values, with
 * the interquartile range in brackets; rounds of several runs are pooled. A target counts as met
 * only when the quartile on its far side meets it.
 *
 * <pre>java lathwork.bench.Report OUT.md CHART.dat RAW.tsv...</pre>
 */
public final class Report {
    private static final String[][] OPS = {
        {"write", "regWrite, single word", "0.8", "write 1"},
        {"writeBlock", "regWrite, block of 256 words", "0.8", "write 256"},
        {"read16", "regRead, 16 words, new array", "0.8", "read 16"},
        {"read4096", "regRead, 4096 words, new array", "0.8", "read 4096"},
        {"readInto", "regRead, 16 words into a passed array", "0.8", "read into"},
        {"poke", "cvPoke", "1.0", "cvPoke"},
        {"request", "cvRequest, 16-byte reply", "1.0", "cvRequest"},
    };

    /** label, case, entry, round key: {wall, CPU} ns per call. */
    private final Map<String, Map<String, Map<String, Map<String, double[]>>>> data =
            new LinkedHashMap<>();
    private final Map<String, String> jvms = new LinkedHashMap<>();
    private final StringBuilder md = new StringBuilder();
    private final List<String> verdicts = new ArrayList<>();

    public static void main(String[] args) throws IOException {
        Report r = new Report();
        for (int f = 2; f < args.length; f++) {
            for (String line : Files.readAllLines(Paths.get(args[f]))) {
                String[] v = line.split("\t");
                if (v[1].equals("#jvm")) {
                    r.jvms.merge(v[0], v[2], (a, b) -> a.equals(b) ? a : a + "; " + b);
                    continue;
                }
                r.data.computeIfAbsent(v[0], k -> new LinkedHashMap<>())
                        .computeIfAbsent(v[1], k -> new LinkedHashMap<>())
                        .computeIfAbsent(v[2], k -> new LinkedHashMap<>())
                        .put(f + ":" + v[3], new double[] {Double.parseDouble(v[4]),
                            Double.parseDouble(v[5])});
            }
        }
        StringBuilder chart = new StringBuilder();
        for (String[] op : OPS) {
            chart.append('"').append(op[3]).append('"');
            for (String label : new String[] {"64-bit", "32-bit"}) {
                double[] s =
                        stats(r.series(label, op[0], "morlane", "JNA direct", (a, b) -> a / b));
                chart.append(s == null ? " ? ? ?" : String.format(Locale.ROOT, " %.3f %.3f %.3f",
                        s[1], s[0], s[2]));
            }
            chart.append('\n');
        }
        for (String label : new String[] {"64-bit", "32-bit", "hosted"}) {
            if (r.data.containsKey(label)) {
                if (label.equals("hosted")) {
                    r.hosted();
                } else {
                    r.inProcess(label);
                }
            }
        }
        r.md.append("\n### Verdicts\n\n");
        r.verdicts.forEach(v -> r.md.append("- ").append(v).append('\n'));
        Files.write(Paths.get(args[0]), r.md.toString().getBytes("UTF-8"));
        Files.write(Paths.get(args[1]), chart.toString().getBytes("UTF-8"));
    }

    /** Per-round values of {@code f(a, b)} (b null: a alone), on the case's metric. */
    private List<Double> series(String label, String c, String a, String b,
            DoubleBinaryOperator f) {
        Map<String, Map<String, double[]>> entries =
                data.getOrDefault(label, Map.of()).getOrDefault(c, Map.of());
        int metric = c.equals("threads") || c.equals("hosted") ? 0 : 1;
        List<Double> out = new ArrayList<>();
        Map<String, double[]> other = b == null ? null : entries.get(b);
        entries.getOrDefault(a, Map.of()).forEach((round, v) -> {
            if (other == null ? b == null : other.containsKey(round)) {
                out.add(f.applyAsDouble(v[metric], other == null ? 0 : other.get(round)[metric]));
            }
        });
        return out;
    }

    /** {lower quartile, median, upper quartile}, or null without values. */
    private static double[] stats(List<Double> values) {
        if (values.isEmpty()) {
            return null;
        }
        double[] v = values.stream().mapToDouble(Double::doubleValue).sorted().toArray();
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

    /** Records and returns the verdict: met when the far quartile is within the target. */
    private String verdict(String what, double[] s, double target, boolean atMost) {
        String v = s == null ? "not measured"
                : (atMost ? s[2] <= target : s[0] >= target) ? "**met**" : "**missed**";
        verdicts.add(String.format(Locale.ROOT, "%s %s %s: %s, %s", what, atMost ? "≤" : "≥",
                new java.text.DecimalFormat("0.##").format(target), fmt(s), v));
        return v;
    }

    private void inProcess(String label) {
        boolean is64 = label.equals("64-bit");
        md.append(String.format("\n### %s JVM, in-process (JDK %s)\n\n", label, jvms.get(label)))
                .append("CPU time per call of the whole process; a ratio A ÷ B is A's time over"
                        + " B's.\n\n| Operation | morlane, ns | morlane ÷ JNA direct | target |"
                        + " floor ÷ JNA direct | morlane ÷ floor | morlane ÷ JNA interface |"
                        + " morlane ÷ FFM | guard (morlane − unguarded), ns |\n"
                        + "|---|---:|---:|---|")
                .append("---:|".repeat(5)).append('\n');
        for (String[] op : OPS) {
            double target = is64 ? Double.parseDouble(op[2]) : 1.0;
            String verdict = verdict(label + " " + op[1] + ", morlane ÷ JNA direct",
                    stats(series(label, op[0], "morlane", "JNA direct", (a, b) -> a / b)), target,
                    true);
            md.append("| ").append(op[1]);
            String[][] cells = {{"morlane", null}, {"morlane", "JNA direct"},
                {"floor", "JNA direct"}, {"morlane", "floor"}, {"morlane", "JNA interface"},
                {"morlane", "FFM"}};
            for (String[] c : cells) {
                md.append(" | ").append(fmt(stats(series(label, op[0], c[0], c[1],
                        (x, y) -> c[1] == null ? x : x / y))));
                if (c[0].equals("morlane") && "JNA direct".equals(c[1])) {
                    md.append(" | ≤ ").append(target).append(": ").append(verdict);
                }
            }
            md.append(" | ").append(fmt(stats(series(label, op[0], "morlane", "unguarded",
                    (x, y) -> x - y)))).append(" |\n");
        }
        double[] big = stats(series(label, "readInto", "morlane 1M", "morlane", (a, b) -> a / b));
        md.append("\n16 words read into a passed array of 1M elements ÷ into one of 16 elements: ")
                .append(verdict(label + " passed-array read, 1M-element ÷ 16-element array",
                        big, 1.5, true)).append(" at ").append(fmt(big)).append(".\n");
        // The guard's cost is the same on every call; the shortest call shows it with least noise.
        // A second copy of the shipped build shows how far two builds differ by placement alone.
        verdict(label + " finish guard on regWrite single (morlane − unguarded build), ns",
                stats(series(label, "write", "morlane", "unguarded", (a, b) -> a - b)), 10, true);
        verdicts.add(String.format("%s, for scale: the shipped build loaded twice differs by %s"
                + " ns (morlane − its copy)", label, fmt(stats(series(label, "write", "morlane",
                        "copy", (a, b) -> a - b)))));
        md.append("\nThreads: regRead of 16 words, each thread on a link of its own.\n");
        scaling(label, "threads", "Contender", "morlane", "floor", "JNA direct", "FFM");
    }

    /** Entries e and "e ×2" side by side: wall time per call in aggregate, the gain, CPU time. */
    private void scaling(String label, String c, String what, String... entries) {
        md.append("\nWall time per call, in aggregate over the threads; the gain is the throughput"
                + " of two threads ÷ one; beside it the process's CPU time per call.\n\n| ")
                .append(what).append(" | 1 thread, ns | 2 threads, ns | gain |"
                        + " CPU ns per call, 1 / 2 threads |\n|---|---:|---:|---:|---:|\n");
        for (String e : entries) {
            List<Double> one = series(label, c, e, null, (a, b) -> a);
            if (!one.isEmpty()) {
                md.append(String.format(Locale.ROOT, "| %s | %s | %s | %s | %.0f / %.0f |\n", e,
                        fmt(stats(one)),
                        fmt(stats(series(label, c, e + " ×2", null, (a, b) -> a))),
                        fmt(stats(series(label, c, e, e + " ×2", (a, b) -> a / b))),
                        stats(cpu(label, c, e))[1], stats(cpu(label, c, e + " ×2"))[1]));
            }
        }
    }

    private List<Double> cpu(String label, String c, String entry) {
        List<Double> out = new ArrayList<>();
        data.get(label).get(c).getOrDefault(entry, Map.of()).values().forEach(v -> out.add(v[1]));
        return out;
    }

    private void hosted() {
        md.append(String.format("\n### Hosted: 64-bit JVM, the library in morlane-host32 (JDK %s)"
                + "\n\nregRead; the CPU time is the JVM's only, not the host's.\n",
                jvms.get("hosted")));
        scaling("hosted", "hosted", "regRead", "read16", "read4096");
        verdict("hosted regRead of 16 words, one thread, ns per call",
                stats(series("hosted", "hosted", "read16", null, (a, b) -> a)), 10_000, true);
        verdict("hosted regRead of 4096 words ÷ 16 words",
                stats(series("hosted", "hosted", "read4096", "read16", (a, b) -> a / b)), 3, true);
        verdict("hosted regRead of 16 words, throughput of 2 threads ÷ 1",
                stats(series("hosted", "hosted", "read16", "read16 ×2", (a, b) -> a / b)), 1.5,
                false);
    }
}
