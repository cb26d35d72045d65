package lathwork.bench;

import java.io.File;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.function.LongUnaryOperator;

/**
 * Compares builds of the bridge (before and after a change), or contenders, in one JVM: each
 * entry is loaded by a class loader of its own, with its own copy of {@code lathwork.Brenmoor} and
 * of the benchmark classes, so every copy of the loops stays monomorphic, and the entries take
 * turns in short time slices. A slow phase of the machine then hits every entry alike, which makes
 * differences of a few tens of nanoseconds visible on a noisy host where separate forks cannot
 * show them. The figure to read is the median of the per-round ratios against the first entry.
 *
 * <pre>
 * java -cp ... lathwork.bench.Paired --classpath=DIRS_AND_JARS
 *     --entries=before=MorlaneContender@/path/libmorlane.so,after=MorlaneContender@/other/libmorlane.so,floor=Floor
 *     [--ops=REG_READ_16,...] [--rounds=60] [--slice-ms=20] [--warmup-ms=1500]
 *     [--markdown=FILE] [--tsv=FILE]
 * </pre>
 *
 * The TSV file has one line per operation and entry: operation, entry name, contender class,
 * median ns per operation, median ratio to the first entry.
 *
 * An entry without "@library" uses the bridge found on java.library.path. At most one entry may
 * be a JNA contender (the JVM lets one class loader at a time hold JNA's native part).
 */
public final class Paired {
    /** Every checksum ends here, so no result can be proven unused. */
    private static volatile long sink;

    private Paired() {}

    /** Runs one contender; made inside its entry's class loader, once per operation. */
    public static final class Runner implements LongUnaryOperator {
        /** Bound and prepared once per entry: this class exists once per class loader. */
        private static Contender contender;

        private final Contender c;
        private final Operation op;
        private final int[] block;

        public Runner(String contenderClass, String operation, boolean opens) throws Exception {
            if (contender == null) {
                Contender made = (Contender) Class.forName("lathwork.bench." + contenderClass)
                        .getDeclaredConstructor().newInstance();
                made.bind();
                // The simulated libraries are loaded once for all entries: one entry opens.
                Workload.prepare(made, 1, opens);
                contender = made;
            }
            c = contender;
            op = Operation.valueOf(operation);
            block = op.block();
        }

        @Override
        public long applyAsLong(long n) {
            return op.run(c, n, 0, block);
        }
    }

    /**
     * Loads the benchmark classes afresh. The JVM binds a JNI library file to one class loader, so
     * each loader gets a copy of the floor library of its own, and the bridge of its entry.
     */
    private static final class EntryLoader extends URLClassLoader {
        private final String bridge;
        private Path floorCopy;

        EntryLoader(URL[] urls, String bridge) {
            super(urls, ClassLoader.getPlatformClassLoader());
            this.bridge = bridge;
        }

        @Override
        protected String findLibrary(String name) {
            if (name.equals("morlane") && bridge != null) {
                return bridge;
            }
            if (name.equals("morlane_bench")) {
                try {
                    if (floorCopy == null) {
                        floorCopy = Files.createTempFile("morlane_bench", ".so");
                        floorCopy.toFile().deleteOnExit();
                        Files.copy(onLibraryPath(name), floorCopy,
                                StandardCopyOption.REPLACE_EXISTING);
                    }
                    return floorCopy.toString();
                } catch (IOException e) {
                    throw new UncheckedIOException(e);
                }
            }
            return null;
        }
    }

    private static Path onLibraryPath(String name) {
        for (String dir : System.getProperty("java.library.path").split(File.pathSeparator)) {
            Path p = Paths.get(dir, System.mapLibraryName(name));
            if (Files.exists(p)) {
                return p;
            }
        }
        throw new IllegalStateException(name + " is not on java.library.path");
    }

    public static void main(String[] args) throws Exception {
        String classpath = null;
        String entries = null;
        String ops = "REG_WRITE_1,REG_READ_16,REG_READ_4096,REG_READ_INTO_16,REG_WRITE_256,"
                + "CV_POKE,CV_REQUEST_16,CV_REQUEST_4095";
        int rounds = 60;
        long sliceNanos = 20_000_000L;
        long warmupNanos = 1_500_000_000L;
        String markdown = null;
        String tsv = null;
        for (String a : args) {
            String v = a.substring(a.indexOf('=') + 1);
            if (a.startsWith("--classpath=")) {
                classpath = v;
            } else if (a.startsWith("--entries=")) {
                entries = v;
            } else if (a.startsWith("--ops=")) {
                ops = v;
            } else if (a.startsWith("--rounds=")) {
                rounds = Integer.parseInt(v);
            } else if (a.startsWith("--slice-ms=")) {
                sliceNanos = Long.parseLong(v) * 1_000_000L;
            } else if (a.startsWith("--warmup-ms=")) {
                warmupNanos = Long.parseLong(v) * 1_000_000L;
            } else if (a.startsWith("--markdown=")) {
                markdown = v;
            } else if (a.startsWith("--tsv=")) {
                tsv = v;
            } else {
                throw new IllegalArgumentException(a);
            }
        }
        if (classpath == null || entries == null) {
            throw new IllegalArgumentException("--classpath and --entries are needed");
        }
        if (!SimControl.quiet()) {
            throw new IllegalStateException("cannot switch the simulation's journal off");
        }
        List<URL> urls = new ArrayList<>();
        for (String part : classpath.split(File.pathSeparator)) {
            urls.add(new File(part).toURI().toURL());
        }
        List<String> names = new ArrayList<>();
        List<String> contenders = new ArrayList<>();
        List<ClassLoader> loaders = new ArrayList<>();
        for (String e : entries.split(",")) {
            int eq = e.indexOf('=');
            int at = e.indexOf('@');
            names.add(e.substring(0, eq));
            contenders.add(e.substring(eq + 1, at < 0 ? e.length() : at));
            String bridge = at < 0 ? null : new File(e.substring(at + 1)).getAbsolutePath();
            loaders.add(new EntryLoader(urls.toArray(new URL[0]), bridge));
        }

        String heading = String.format(Locale.ROOT, "%d rounds of %d ms per entry, %s ms warm-up,"
                + " JDK %s", rounds, sliceNanos / 1_000_000, warmupNanos / 1_000_000,
                System.getProperty("java.runtime.version"));
        System.out.println(heading);
        StringBuilder md = new StringBuilder("| Operation |");
        for (int i = 0; i < names.size(); i++) {
            md.append(' ').append(names.get(i)).append(i == 0 ? " |" : " (ratio) |");
        }
        md.append("\n|---|").append("---:|".repeat(names.size())).append('\n');
        StringBuilder table = new StringBuilder();
        for (String op : ops.split(",")) {
            LongUnaryOperator[] runners = new LongUnaryOperator[loaders.size()];
            for (int i = 0; i < runners.length; i++) {
                runners[i] = (LongUnaryOperator) loaders.get(i).loadClass(Runner.class.getName())
                        .getConstructor(String.class, String.class, boolean.class)
                        .newInstance(contenders.get(i), op, i == 0);
            }
            report(Operation.valueOf(op), names, contenders,
                    measure(runners, rounds, sliceNanos, warmupNanos), md, table);
        }
        if (SimControl.journalCount() != 0) {
            throw new IllegalStateException("the simulation journaled calls; figures would be off");
        }
        if (markdown != null) {
            Files.writeString(Paths.get(markdown), md);
        }
        if (tsv != null) {
            Files.writeString(Paths.get(tsv), table);
        }
    }

    /** ns per operation: [build][round]. */
    private static double[][] measure(LongUnaryOperator[] runners, int rounds, long sliceNanos,
            long warmupNanos) {
        long[] batch = new long[runners.length];
        Arrays.fill(batch, 1);
        double[][] result = new double[runners.length][rounds];
        long sum = 0;
        long warmupEnd = System.nanoTime() + warmupNanos;
        for (int round = -1; round < rounds; round++) {
            boolean warming = round < 0;
            do {
                for (int k = 0; k < runners.length; k++) {
                    // Alternate the order from round to round so no build always follows another.
                    int i = (round & 1) == 0 ? k : runners.length - 1 - k;
                    long ops = 0;
                    long start = System.nanoTime();
                    long now;
                    do {
                        sum += runners[i].applyAsLong(batch[i]);
                        ops += batch[i];
                        now = System.nanoTime();
                    } while (now - start < sliceNanos);
                    batch[i] = Math.max(1, ops * 1_000_000L / (now - start));
                    if (!warming) {
                        result[i][round] = (now - start) / (double) ops;
                    }
                }
            } while (warming && System.nanoTime() < warmupEnd);
        }
        sink += sum;
        return result;
    }

    /** One line on stdout and one table row: medians, and each entry's median ratio. */
    private static void report(Operation op, List<String> names, List<String> contenders,
            double[][] r, StringBuilder md, StringBuilder table) {
        double[] base = r[0];
        StringBuilder line = new StringBuilder(String.format(Locale.ROOT, "%-17s", op.name()));
        md.append("| ").append(op.label).append(" |");
        for (int i = 0; i < r.length; i++) {
            double[] ratio = new double[base.length];
            for (int k = 0; k < base.length; k++) {
                ratio[k] = r[i][k] / base[k];
            }
            line.append(String.format(Locale.ROOT, "  %s %s ns (%s–%s)", names.get(i),
                    Harness.ns(median(r[i])), Harness.ns(min(r[i])), Harness.ns(max(r[i]))));
            md.append(' ').append(Harness.ns(median(r[i])));
            table.append(String.format(Locale.ROOT, "%s\t%s\t%s\t%.3f\t%.4f%n", op.name(),
                    names.get(i), contenders.get(i), median(r[i]), median(ratio)));
            if (i > 0) {
                line.append(String.format(Locale.ROOT, " = %.2f× %s", median(ratio), names.get(0)));
                md.append(String.format(Locale.ROOT, " (%.2f×)", median(ratio)));
            }
            md.append(" |");
        }
        System.out.println(line);
        md.append('\n');
    }

    private static double median(double[] v) {
        double[] s = v.clone();
        Arrays.sort(s);
        int n = s.length;
        return n % 2 == 1 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
    }

    private static double min(double[] v) {
        return Arrays.stream(v).min().orElse(Double.NaN);
    }

    private static double max(double[] v) {
        return Arrays.stream(v).max().orElse(Double.NaN);
    }
}
