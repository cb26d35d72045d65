package lathwork.bench;

import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Pointer;
import java.io.File;
import java.io.PrintWriter;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.function.LongUnaryOperator;

/**
 * Measures the contenders taking turns in this one JVM. A case is a set of entries (a contender,
 * an operation, one or two threads). Each round runs every entry's batch in SUB slices, the
 * entries alternating slice by slice in an order that rotates, so a slow phase of the machine
 * hits all entries of a round alike and the per-round ratios stay comparable. Writes one line per
 * entry and round: label, case, entry, round, wall and CPU ns per call.
 *
 * <pre>java lathwork.bench.Bench --label=64-bit|32-bit|hosted --out=F --cp=DIRS --simctl=SO
 *     --bridge=SO --variants=DIR [--quick] [--cases=a,b]</pre>
 * DIR holds the bench-only builds floor/ and unguarded/; hosted measures the bridge alone.
 */
public final class Bench {
    private static final int SUB = 5;
    private static final double SETTLE = 0.2;
    private static final ExecutorService POOL = Executors.newFixedThreadPool(2, r -> {
        Thread t = new Thread(r);
        t.setDaemon(true);
        return t;
    });
    private static final Memory TIMESPEC = new Memory(16);
    private static volatile long sink;
    private static boolean opened;

    static {
        Native.register("c");
    }

    private Bench() {}

    private static native int clock_gettime(int clock, Pointer timespec);

    /** The process's CPU time in ns; the JVM's own figure has only the kernel tick's resolution. */
    private static long processCpu() {
        clock_gettime(2, TIMESPEC); // CLOCK_PROCESS_CPUTIME_ID
        return Native.LONG_SIZE == 8 ? TIMESPEC.getLong(0) * 1_000_000_000L + TIMESPEC.getLong(8)
                : TIMESPEC.getInt(0) * 1_000_000_000L + TIMESPEC.getInt(4);
    }

    /**
     * Its own copy of the benchmark classes and of {@code lathwork.Brenmoor}, whose natives bind
     * to the bridge build named here (the JVM binds a library file to one class loader). JNA
     * comes from the parent: its native part can be loaded only once.
     */
    private static final class Loader extends URLClassLoader {
        final String contender;
        private final String bridge;

        Loader(URL[] urls, String contender, String bridge) {
            super(urls, Bench.class.getClassLoader());
            this.contender = contender;
            this.bridge = bridge;
        }

        @Override
        protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
            if (!name.startsWith("lathwork.")) {
                return super.loadClass(name, resolve);
            }
            synchronized (getClassLoadingLock(name)) {
                Class<?> c = findLoadedClass(name);
                return c != null ? c : findClass(name);
            }
        }

        @Override
        protected String findLibrary(String name) {
            return name.equals("morlane") ? bridge : null;
        }
    }

    private static final class Entry {
        final String name;
        final List<LongUnaryOperator> runners = new ArrayList<>();
        final List<Double> warm = new ArrayList<>();
        long batch = 1;

        /** One runner per thread, each on a link of its own. */
        Entry(String name, Loader l, String op, int threads, int length) throws Exception {
            this.name = name;
            for (int link = 0; link < threads; link++) {
                runners.add((LongUnaryOperator) l.loadClass("lathwork.bench.Contender")
                        .getMethod("loop", String.class, String.class, int.class, int.class,
                                boolean.class)
                        .invoke(null, l.contender, op, link, length, !opened));
                opened = true;
            }
        }

        /** A batch on each thread at once: {wall, CPU} ns per call; CPU includes the collector. */
        double[] run() throws Exception {
            long cpu = processCpu();
            long start = System.nanoTime();
            List<Future<Long>> done = new ArrayList<>();
            for (LongUnaryOperator r : runners.subList(1, runners.size())) {
                done.add(POOL.submit(() -> r.applyAsLong(batch)));
            }
            sink += runners.get(0).applyAsLong(batch);
            for (Future<Long> f : done) {
                sink += f.get();
            }
            long wall = System.nanoTime() - start;
            double calls = (double) batch * runners.size();
            return new double[] {wall / calls, (processCpu() - cpu) / calls};
        }

        /** The medians of the last three groups of three warm-up rounds lie within SETTLE. */
        boolean settled() {
            int n = warm.size();
            if (n < 9) {
                return false;
            }
            double[] m = new double[3];
            for (int g = 0; g < 3; g++) {
                double[] v = warm.subList(n - 9 + 3 * g, n - 6 + 3 * g).stream()
                        .mapToDouble(Double::doubleValue).sorted().toArray();
                m[g] = v[1];
            }
            Arrays.sort(m);
            return m[2] <= m[0] * (1 + SETTLE);
        }
    }

    public static void main(String[] args) throws Exception {
        Map<String, String> o = new HashMap<>();
        for (String a : args) {
            int eq = a.indexOf('=');
            o.put(a.substring(2, eq < 0 ? a.length() : eq), eq < 0 ? "" : a.substring(eq + 1));
        }
        String label = o.get("label");
        NativeLibrary simctl = NativeLibrary.getInstance(o.get("simctl"));
        simctl.getFunction("simctl_set_recording").invoke(new Object[] {0});
        List<URL> urls = new ArrayList<>();
        for (String p : o.get("cp").split(File.pathSeparator)) {
            urls.add(new File(p).toURI().toURL());
        }
        // The shipped build loaded a second time: what chance alone makes of two builds.
        String copy = o.get("out") + ".libmorlane.so";
        Files.copy(Paths.get(o.get("bridge")), Paths.get(copy), StandardCopyOption.REPLACE_EXISTING);
        String[][] all = { // name, class, bridge build
            {"morlane", "Contender", o.get("bridge")},
            {"floor", "Contender", o.get("variants") + "/floor/libmorlane.so"},
            {"unguarded", "Contender", o.get("variants") + "/unguarded/libmorlane.so"},
            {"copy", "Contender", copy},
            {"JNA direct", "Jna$Direct", null},
            {"JNA interface", "Jna$Interface", null},
            {"FFM", "Ffm", null}};
        Map<String, Loader> loaders = new LinkedHashMap<>();
        for (String[] c : label.equals("hosted") ? Arrays.copyOf(all, 1) : all) {
            Loader l = new Loader(urls.toArray(new URL[0]), c[1], c[2]);
            if (!c[1].equals("Ffm") || Runtime.version().feature() >= 22
                    && l.getResource("lathwork/bench/Ffm.class") != null) {
                loaders.put(c[0], l);
            }
        }
        List<String> cases = label.equals("hosted") ? List.of("hosted")
                : List.of("write", "writeBlock", "read16", "read4096", "readInto", "poke",
                        "request", "threads");
        List<String> only = Arrays.asList(o.getOrDefault("cases", "").split(","));
        try (PrintWriter out = new PrintWriter(o.get("out"), "UTF-8")) {
            out.printf("%s\t#jvm\t%s, %s%n", label, System.getProperty("java.runtime.version"),
                    System.getProperty("os.arch"));
            for (String c : cases) {
                if (!o.containsKey("cases") || only.contains(c)) {
                    measure(label, c, entries(c, loaders), o.containsKey("quick"), out);
                }
            }
        } catch (IllegalStateException e) {
            System.err.println("bench: FAILED: " + e.getMessage());
            System.exit(3);
        }
        int journal = simctl.getFunction("simctl_journal_count").invokeInt(new Object[0]);
        if (journal != 0) {
            System.err.println("bench: FAILED: the simulation journaled " + journal + " calls");
            System.exit(3);
        }
    }

    private static List<Entry> entries(String c, Map<String, Loader> loaders) throws Exception {
        List<Entry> entries = new ArrayList<>();
        for (Map.Entry<String, Loader> k : loaders.entrySet()) {
            String name = k.getKey();
            Loader l = k.getValue();
            if (c.equals("hosted")) {
                for (String op : new String[] {"read16", "read4096"}) {
                    entries.add(new Entry(op, l, op, 1, 0));
                    entries.add(new Entry(op + " ×2", l, op, 2, 0));
                }
            } else if (c.equals("threads")) {
                if (List.of("morlane", "floor", "JNA direct", "FFM").contains(name)) {
                    entries.add(new Entry(name, l, "read16", 1, 0));
                    entries.add(new Entry(name + " ×2", l, "read16", 2, 0));
                }
            } else if (!name.equals("copy") || c.equals("write")) {
                entries.add(new Entry(name, l, c, 1, c.equals("writeBlock") ? 256 : 16));
                if (c.equals("readInto") && name.equals("morlane")) {
                    entries.add(new Entry("morlane 1M", l, c, 1, 1 << 20));
                }
            }
        }
        return entries;
    }

    /** One round: SUB slices of every entry, in rotating order; {wall, CPU} ns per call. */
    private static double[][] round(List<Entry> entries, int round, long slice, boolean warm)
            throws Exception {
        int size = entries.size();
        double[][] sum = new double[size][2];
        for (int s = 0; s < SUB; s++) {
            for (int k = 0; k < size; k++) {
                int i = (round * SUB + s + k) % size;
                Entry e = entries.get(i);
                double[] t = e.run();
                sum[i][0] += t[0] / SUB;
                sum[i][1] += t[1] / SUB;
                if (warm) { // the batch grows (at most tenfold a slice) to fill a slice
                    long fit = (long) (slice / SUB / t[0] / e.runners.size());
                    e.batch = Math.max(1, Math.min(e.batch * 10, fit));
                }
            }
        }
        return sum;
    }

    /** Warm-up until every entry settles (or the run fails), then the measured rounds. */
    private static void measure(String label, String c, List<Entry> entries, boolean quick,
            PrintWriter out) throws Exception {
        int rounds = quick ? 15 : 40;
        long slice = (quick ? 10 : 20) * 1_000_000L;
        long cap = (quick ? 15 : 40) * 1_000_000_000L;
        long start = System.nanoTime();
        for (int r = 0; !entries.stream().allMatch(Entry::settled); r++) {
            if (System.nanoTime() - start > cap) {
                StringBuilder why = new StringBuilder();
                for (Entry e : entries) {
                    if (!e.settled()) {
                        why.append(String.format(Locale.ROOT, " %s (last rounds: %s ns per call);",
                                e.name, e.warm.subList(Math.max(0, e.warm.size() - 9), e.warm.size())));
                    }
                }
                throw new IllegalStateException(String.format("%s case %s: warm-up did not settle"
                        + " (medians of the last three groups of three rounds within %.0f%%) in"
                        + " %d s:%s", label, c, SETTLE * 100, cap / 1_000_000_000L, why));
            }
            double[][] t = round(entries, r, slice, true);
            for (int i = 0; i < entries.size(); i++) {
                entries.get(i).warm.add((double) Math.round(t[i][1])); // CPU: less hidden by load
            }
        }
        StringBuilder line = new StringBuilder(String.format(Locale.ROOT,
                "%s %-10s warm-up %4.1f s, median CPU ns per call:", label, c,
                (System.nanoTime() - start) / 1e9));
        double[][] cpu = new double[entries.size()][rounds];
        for (int r = 0; r < rounds; r++) {
            double[][] t = round(entries, r, slice, false);
            for (int i = 0; i < entries.size(); i++) {
                cpu[i][r] = t[i][1];
                out.printf(Locale.ROOT, "%s\t%s\t%s\t%d\t%.2f\t%.2f%n", label, c,
                        entries.get(i).name, r, t[i][0], t[i][1]);
            }
        }
        out.flush();
        for (int i = 0; i < entries.size(); i++) {
            Arrays.sort(cpu[i]);
            line.append(String.format(" %s %.0f;", entries.get(i).name, cpu[i][rounds / 2]));
        }
        System.err.println(line);
    }
}
