package lathwork.bench;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.LocalDate;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Runs every figure in fresh child JVMs (see {@link Child}) and reports the median, minimum and
 * maximum of all measured iterations of all forks. Forks run one after another, the contenders of
 * one operation next to each other and the forks of one figure spread over the whole run, so a
 * slow phase of the machine touches every contender alike instead of one figure.
 *
 * <p>Writes into the output directory: {@code results.md} (tables and targets), {@code
 * results.tsv} (every iteration), and {@code chart.gp} with one data file per JVM for gnuplot.
 */
public final class Harness {
    /** The contenders: class name, column title, chart colour (the same in every panel). */
    private static final String[][] CONTENDERS = {
        {"MorlaneContender", "morlane", "#6a3d9a"},
        {"JnaDirect", "JNA direct", "#33a02c"},
        {"JnaInterface", "JNA interface", "#a6cee3"},
        {"Floor", "floor", "#ff7f00"},
        {"Ffm", "FFM", "#e31a1c"},
    };

    private static final class Jvm {
        final String java;
        final int feature;
        final String classpath;
        final boolean ffm; // the FFM contender's classes are on the class path
        final List<String> contenders = new ArrayList<>();
        String version = "?";

        Jvm(String java, int feature, String classpath, boolean ffm) {
            this.java = java;
            this.feature = feature;
            this.classpath = classpath;
            this.ffm = ffm;
        }

        String name() {
            return "JDK " + version;
        }
    }

    /** A figure: one operation of one contender on one JVM, and its measured iterations. */
    private static final class Figure {
        final List<Double> iterations = new ArrayList<>();
        double median;
        double min;
        double max;

        void summarize() {
            double[] v = iterations.stream().mapToDouble(Double::doubleValue).sorted().toArray();
            int n = v.length;
            median = n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
            min = v[0];
            max = v[n - 1];
        }
    }

    /**
     * A fixed heap, touched at start: on a virtual machine the first write to each page of a heap
     * that grows during the run costs more than the calls being measured.
     */
    private static final String[] HEAP = {"-Xms128m", "-Xmx128m", "-XX:+AlwaysPreTouch"};

    private final Map<String, String> opt = new LinkedHashMap<>();
    private final List<Jvm> jvms = new ArrayList<>();
    private final List<Operation> ops = new ArrayList<>();
    private final Map<String, Figure> figures = new LinkedHashMap<>();
    private final StringBuilder raw = new StringBuilder("jvm\tcontender\toperation\tfork\tkind\tns_per_op\n");

    private Harness() {}

    public static void main(String[] args) throws Exception {
        Harness h = new Harness();
        for (String a : args) {
            int eq = a.indexOf('=');
            if (!a.startsWith("--") || eq < 0) {
                throw new IllegalArgumentException("expected --name=value, got " + a);
            }
            h.opt.put(a.substring(2, eq), a.substring(eq + 1));
        }
        h.run();
    }

    private String option(String name, String fallback) {
        String v = opt.get(name);
        if (v == null && fallback == null) {
            throw new IllegalArgumentException("missing --" + name);
        }
        return v == null ? fallback : v;
    }

    private int intOption(String name, int fallback) {
        return Integer.parseInt(option(name, Integer.toString(fallback)));
    }

    private void run() throws Exception {
        long started = System.nanoTime();
        String classpath = option("cp", null);
        Jvm main = new Jvm(option("java", null), featureVersion(option("java", null)), classpath,
                false);
        jvms.add(main);
        String ffmJava = option("ffm-java", "");
        String ffmClasses = option("ffm-cp", "");
        if (!ffmJava.isEmpty() && !ffmClasses.isEmpty()) {
            int feature = featureVersion(ffmJava);
            String cp = ffmClasses + java.io.File.pathSeparator + classpath;
            if (Paths.get(ffmJava).toRealPath().equals(Paths.get(main.java).toRealPath())) {
                jvms.set(0, new Jvm(main.java, main.feature, cp, feature >= 22));
            } else if (feature >= 22) {
                jvms.add(new Jvm(ffmJava, feature, cp, true));
            }
        }
        List<String> only = Arrays.asList(option("contenders", "").split(","));
        // On a second JVM only what the FFM figures need company of: the slowest contender, JNA
        // interface mapping, is measured on the build's JVM only, to keep the run short.
        List<String> second = Arrays.asList(
                option("second-jvm-contenders", "MorlaneContender,JnaDirect,Floor,Ffm").split(","));
        for (Jvm jvm : jvms) {
            for (String[] c : CONTENDERS) {
                boolean wanted = (only.equals(List.of("")) || only.contains(c[0]))
                        && (jvm == jvms.get(0) || second.contains(c[0]));
                boolean runs = !c[0].equals("Ffm") || jvm.ffm;
                if (wanted && runs) {
                    jvm.contenders.add(c[0]);
                }
            }
        }
        String opFilter = option("ops", "");
        for (Operation op : Operation.values()) {
            if (opFilter.isEmpty() || Arrays.asList(opFilter.split(",")).contains(op.name())) {
                ops.add(op);
            }
        }

        int forks = intOption("forks", 3);
        int total = forks * ops.size() * jvms.stream().mapToInt(j -> j.contenders.size()).sum();
        int done = 0;
        for (int fork = 1; fork <= forks; fork++) {
            for (Jvm jvm : jvms) {
                for (Operation op : ops) {
                    for (String contender : jvm.contenders) {
                        double median = fork(jvm, contender, op, fork);
                        done++;
                        System.err.printf(Locale.ROOT, "[%3d/%d] %-8s %-16s %-16s fork %d: %s ns/op%n",
                                done, total, "JDK " + jvm.feature, title(contender), op.name(),
                                fork, ns(median));
                    }
                }
            }
        }
        for (Figure f : figures.values()) {
            f.summarize();
        }
        double minutes = (System.nanoTime() - started) / 60e9;
        write(minutes);
    }

    /** Runs one child JVM and records its iterations; returns their median for the progress line. */
    private double fork(Jvm jvm, String contender, Operation op, int fork) throws Exception {
        List<String> cmd = new ArrayList<>();
        cmd.add(jvm.java);
        for (String flag : HEAP) {
            cmd.add(flag);
        }
        if (jvm.feature >= 22) {
            cmd.add("--enable-native-access=ALL-UNNAMED");
        }
        cmd.add("-Djava.library.path=" + option("lib", null));
        cmd.add("-Dlathwork.bench.sim=" + option("sim", null));
        cmd.add("-Djna.encoding=UTF-8");
        cmd.add("-cp");
        cmd.add(jvm.classpath);
        cmd.add(Child.class.getName());
        cmd.add(contender);
        cmd.add(op.name());
        cmd.add(option("warmup", "4"));
        cmd.add(option("max-warmup", "20"));
        cmd.add(option("iters", "5"));
        cmd.add(option("iter-ms", "80"));
        ProcessBuilder pb = new ProcessBuilder(cmd);
        String ld = System.getenv("LD_LIBRARY_PATH");
        pb.environment().put("LD_LIBRARY_PATH",
                option("sim", null) + (ld == null || ld.isEmpty() ? "" : ":" + ld));
        pb.redirectErrorStream(true);
        Process p = pb.start();
        List<String> lines = new ArrayList<>();
        try (BufferedReader r = new BufferedReader(
                new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8))) {
            for (String line; (line = r.readLine()) != null; ) {
                lines.add(line);
            }
        }
        int exit = p.waitFor();
        Figure figure = figures.computeIfAbsent(key(jvm, contender, op), k -> new Figure());
        List<Double> mine = new ArrayList<>();
        boolean sunk = false;
        for (String line : lines) {
            String[] w = line.split(" ");
            if (w.length == 2 && (w[0].equals("iter") || w[0].equals("warm"))) {
                double v = Double.parseDouble(w[1]);
                raw.append(String.format(Locale.ROOT, "%s\t%s\t%s\t%d\t%s\t%.3f%n", jvm.name(),
                        contender, op.name(), fork, w[0], v));
                if (w[0].equals("iter")) {
                    mine.add(v);
                }
            } else if (w.length == 2 && w[0].equals("vm")) {
                jvm.version = w[1];
            } else if (w[0].equals("sink")) {
                sunk = true;
            }
        }
        if (exit != 0 || !sunk || mine.isEmpty()) {
            throw new IllegalStateException("fork failed (" + String.join(" ", cmd) + "), exit "
                    + exit + ":\n" + String.join("\n", lines));
        }
        figure.iterations.addAll(mine);
        double[] v = mine.stream().mapToDouble(Double::doubleValue).sorted().toArray();
        return v[v.length / 2];
    }

    private static String key(Jvm jvm, String contender, Operation op) {
        return jvm.java + "|" + contender + "|" + op.name();
    }

    private Figure figure(Jvm jvm, String contender, Operation op) {
        return figures.get(key(jvm, contender, op));
    }

    private static String colour(String contender) {
        for (String[] c : CONTENDERS) {
            if (c[0].equals(contender)) {
                return c[2];
            }
        }
        return "#000000";
    }

    private static String title(String contender) {
        for (String[] c : CONTENDERS) {
            if (c[0].equals(contender)) {
                return c[1];
            }
        }
        return contender;
    }

    /** The feature release of a JVM ("17.0.15" gives 17, "1.8.0_392" gives 8). */
    private static int featureVersion(String java) throws IOException, InterruptedException {
        Process p = new ProcessBuilder(java, "-version").redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        p.waitFor();
        Matcher m = Pattern.compile("version \"(1\\.)?(\\d+)").matcher(out);
        if (!m.find()) {
            throw new IllegalStateException("cannot tell the version of " + java + ":\n" + out);
        }
        return Integer.parseInt(m.group(2));
    }

    static String ns(double v) {
        if (v < 10) {
            return String.format(Locale.ROOT, "%.2f", v);
        }
        if (v < 100) {
            return String.format(Locale.ROOT, "%.1f", v);
        }
        return String.format(Locale.ROOT, "%,.0f", v).replace(',', '\u202f');
    }

    // ---- Reporting ------------------------------------------------------------------------------

    /** A target of the product: morlane's median over another contender's, at most {@code limit}. */
    private static final class Target {
        final String text;
        final Operation op;
        final String other;
        final double limit;

        Target(String text, Operation op, String other, double limit) {
            this.text = text;
            this.op = op;
            this.other = other;
            this.limit = limit;
        }
    }

    private static final Target[] TARGETS = {
        new Target("regWrite single ≤ 0.7 × JNA direct", Operation.REG_WRITE_1, "JnaDirect", 0.7),
        new Target("regRead 1 word ≤ 0.7 × JNA direct", Operation.REG_READ_1, "JnaDirect", 0.7),
        new Target("regRead 16 words ≤ 0.7 × JNA direct", Operation.REG_READ_16, "JnaDirect", 0.7),
        new Target("regWrite single ≤ 0.15 × JNA interface", Operation.REG_WRITE_1, "JnaInterface",
                0.15),
        new Target("regRead 1 word ≤ 0.15 × JNA interface", Operation.REG_READ_1, "JnaInterface",
                0.15),
        new Target("regRead 16 words ≤ 0.15 × JNA interface", Operation.REG_READ_16,
                "JnaInterface", 0.15),
        new Target("regRead 16 words ≤ 2 × floor", Operation.REG_READ_16, "Floor", 2.0),
        new Target("regRead 4096 words ≤ 1 × JNA direct", Operation.REG_READ_4096, "JnaDirect", 1.0),
        new Target("cvRequest 16-byte reply ≤ 0.5 × JNA interface", Operation.CV_REQUEST_16,
                "JnaInterface", 0.5),
    };

    private void write(double minutes) throws IOException {
        Path out = Paths.get(option("out", null));
        Files.createDirectories(out);
        StringBuilder md = new StringBuilder();
        md.append("Measured on ").append(LocalDate.now()).append(" with `bench/run.sh`")
                .append(option("mode", "").isEmpty() ? "" : " " + option("mode", ""))
                .append(String.format(Locale.ROOT, " (the forks took %.1f minutes).%n%n", minutes));
        md.append("- Machine: ").append(option("machine", "unknown")).append('\n');
        md.append("- Bridge at commit ").append(option("commit", "unknown"))
                .append(", bridge and floor built with ").append(option("build-info", "unknown"))
                .append('\n');
        StringBuilder vms = new StringBuilder();
        for (Jvm jvm : jvms) {
            vms.append(vms.length() == 0 ? "" : "; ").append(jvm.name()).append(" (`")
                    .append(jvm.java).append("`)");
        }
        md.append("- JVMs: ").append(vms).append("; JNA ").append(option("jna", "?"))
                .append("; every fork runs with `").append(String.join(" ", HEAP))
                .append("` and the default collector (G1)\n");
        md.append(String.format(Locale.ROOT,
                "- Each figure: %s forks, each %s to %s warm-up iterations (until the last three "
                        + "agree within 25 %%) and %s measured iterations of %s ms; the table gives "
                        + "the median of all measured iterations and, in brackets, their minimum–"
                        + "maximum, in nanoseconds per operation%n",
                option("forks", "3"), option("warmup", "4"), option("max-warmup", "20"),
                option("iters", "5"), option("iter-ms", "80")));
        for (Jvm jvm : jvms.subList(1, jvms.size())) {
            List<String> left = new ArrayList<>(jvms.get(0).contenders);
            left.removeAll(jvm.contenders);
            if (!left.isEmpty()) {
                md.append("- On ").append(jvm.name()).append(" left out to keep the run short: ");
                for (int i = 0; i < left.size(); i++) {
                    md.append(i == 0 ? "" : ", ").append(title(left.get(i)));
                }
                md.append('\n');
            }
        }
        if (jvms.stream().noneMatch(j -> j.contenders.contains("Ffm"))) {
            md.append("- FFM: skipped, no JDK 22 or later was found (pass `--ffm-jdk DIR`)\n");
        }

        StringBuilder gp = new StringBuilder();
        gp.append(String.format(Locale.ROOT,
                "set terminal svg size 1100,%d dynamic font 'sans,11' background '#ffffff'%n",
                430 * jvms.size()));
        gp.append("set output '").append(option("chart", out.resolve("performance.svg").toString()))
                .append("'\n");
        gp.append("set multiplot layout ").append(jvms.size()).append(",1\n");
        gp.append("set style data histogram\nset style histogram errorbars gap 1.5 lw 1\n");
        gp.append("set style fill solid 0.8 border -1\nset logscale y\nset yrange [1:*]\n");
        gp.append("set grid ytics mytics\nset key outside top center horizontal\n");
        gp.append("set ylabel 'ns per operation (log scale)'\nset format y '10^{%T}'\n");
        gp.append("set xtics rotate by -25 font ',10'\n");
        gp.append("set bmargin 5\nset colorsequence default\n");

        int index = 0;
        for (Jvm jvm : jvms) {
            md.append("\n### ").append(jvm.name()).append("\n\n| Operation |");
            for (String c : jvm.contenders) {
                md.append(' ').append(title(c)).append(" |");
            }
            md.append("\n|---|");
            for (int i = 0; i < jvm.contenders.size(); i++) {
                md.append("---:|");
            }
            md.append('\n');
            StringBuilder dat = new StringBuilder("\"operation\"");
            for (String c : jvm.contenders) {
                dat.append(" \"").append(title(c)).append("\" min max");
            }
            dat.append('\n');
            for (Operation op : ops) {
                md.append("| ").append(op.label).append(" |");
                dat.append('"').append(op.shortLabel).append('"');
                for (String c : jvm.contenders) {
                    Figure f = figure(jvm, c, op);
                    md.append(' ').append(ns(f.median)).append(" (").append(ns(f.min))
                            .append("–").append(ns(f.max)).append(") |");
                    dat.append(String.format(Locale.ROOT, " %.3f %.3f %.3f", f.median, f.min, f.max));
                }
                md.append('\n');
                dat.append('\n');
            }
            appendScaling(md, jvm);
            String datName = "chart-" + index + ".dat";
            Files.writeString(out.resolve(datName), dat);
            gp.append("set title 'Calls into the simulated libraries, ").append(jvm.name())
                    .append(" (lower is better)'\n");
            StringBuilder colours = new StringBuilder();
            for (String c : jvm.contenders) {
                colours.append(colours.length() == 0 ? "" : " ").append(colour(c));
            }
            gp.append("colours = '").append(colours).append("'\n");
            gp.append("plot for [i=0:").append(jvm.contenders.size() - 1).append("] '")
                    .append(out.resolve(datName)).append("' using (column(2+3*i)):(column(3+3*i))"
                            + ":(column(4+3*i)):xtic(1) title columnheader(2+3*i)"
                            + " lc rgb word(colours, i+1)\n");
            index++;
        }
        gp.append("unset multiplot\n");

        Map<String, Double> paired = pairedRatios();
        md.append("\n### Targets\n\nRatio of morlane's median to the other contender's median; in "
                + "brackets the worst case, morlane's maximum over the other's minimum.");
        if (!paired.isEmpty()) {
            md.append(" The last column comes from the cross-check below, where the contenders take "
                    + "turns in one JVM on ").append(jvms.get(0).name()).append(": the median of "
                    + "the per-round ratios, which a slow phase of the machine does not bias.");
        }
        md.append("\n\n| Target |");
        for (Jvm jvm : jvms) {
            md.append(' ').append(jvm.name()).append(" |");
        }
        if (!paired.isEmpty()) {
            md.append(" one JVM, taking turns |");
        }
        md.append("\n|---|");
        for (int i = 0; i < jvms.size(); i++) {
            md.append("---|");
        }
        md.append(paired.isEmpty() ? "" : "---|").append('\n');
        for (Target t : TARGETS) {
            if (!ops.contains(t.op)) {
                continue;
            }
            md.append("| ").append(t.text).append(" |");
            for (Jvm jvm : jvms) {
                Figure m = figure(jvm, "MorlaneContender", t.op);
                Figure o = figure(jvm, t.other, t.op);
                if (m == null || o == null) {
                    md.append(" not measured |");
                    continue;
                }
                double ratio = m.median / o.median;
                double worst = m.max / o.min;
                md.append(String.format(Locale.ROOT, " %.2f× (%.2f×) **%s** |", ratio, worst,
                        ratio <= t.limit ? "met" : "missed"));
            }
            if (!paired.isEmpty()) {
                Double otherOverMorlane = paired.get(t.op.name() + "|" + t.other);
                md.append(otherOverMorlane == null ? " not measured |"
                        : String.format(Locale.ROOT, " %.2f× **%s** |", 1 / otherOverMorlane,
                                1 / otherOverMorlane <= t.limit ? "met" : "missed"));
            }
            md.append('\n');
        }
        Files.writeString(out.resolve("results.md"), md);
        Files.writeString(out.resolve("results.tsv"), raw);
        Files.writeString(out.resolve("chart.gp"), gp);
        System.out.print(md);
    }

    /** From the cross-check's TSV: "operation|contender" to the median ratio other / morlane. */
    private Map<String, Double> pairedRatios() throws IOException {
        Map<String, Double> ratios = new LinkedHashMap<>();
        String file = option("paired", "");
        if (file.isEmpty() || !Files.exists(Paths.get(file))) {
            return ratios;
        }
        for (String line : Files.readAllLines(Paths.get(file))) {
            String[] f = line.split("\t");
            if (f.length == 5) {
                ratios.put(f[0] + "|" + f[2], Double.parseDouble(f[4]));
            }
        }
        return ratios;
    }

    private void appendScaling(StringBuilder md, Jvm jvm) {
        if (!ops.contains(Operation.THREADS_1) || !ops.contains(Operation.THREADS_2)) {
            return;
        }
        md.append("\nAggregate throughput of regRead (16 words), 2 threads against 1 (each thread "
                + "on its own link; 2.00× is perfect scaling on 2 cores):");
        for (String c : jvm.contenders) {
            double one = figure(jvm, c, Operation.THREADS_1).median;
            double two = figure(jvm, c, Operation.THREADS_2).median;
            md.append(String.format(Locale.ROOT, " %s %.2f× (%.1f → %.1f million calls/s);",
                    title(c), one / two, 1e3 / one, 1e3 / two));
        }
        md.setLength(md.length() - 1);
        md.append(".\n");
    }
}
