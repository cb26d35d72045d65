package lathwork.bench;

import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Pointer;
import java.io.File;
import java.io.PrintWriter;
import java.net.URL;
import java.net.URLClassLoader;
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
import java.util.stream.Collectors;

/**
 * Measures the contenders taking turns in this one JVM. A case is a set of entries (a contender,
 * an operation, one or two threads). Each round runs every entry's fixed batch in SUB slices,
 * the entries alternating slice by slice in an order that rotates, so a slow phase of the machine
 * hits all entries of a round alike and the per-round ratios stay comparable. Writes one line per
 * entry and round: label, case, entry, round, wall and CPU ns per call.
 *
 * <pre>java lathwork.bench.Bench --label=L --out=F --cp=DIRS --simctl=SO --bridge=SO
 *     [--floor=SO --unguarded=SO --copy=SO --ffm=DIR] [--rounds=40 --slice-ms=20 --cap-s=40
 *     --settle=0.2 --cases=a,b]</pre>
 * Without --floor only the hosted case runs: the bridge alone, one and two threads.
 */
public final class Bench {
    private static final int SUB = 5;
    private static final ExecutorService POOL = Executors.newFixedThreadPool(2, r -> {
        Thread t = new Thread(r);
        t.setDaemon(true);
        return t;
    });
    private static final Memory TIMESPEC = new Memory(16);
    private static volatile long sink;
    private static int made;

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

    /** One thread's calls of one entry; made inside the contender's class loader. */
    public static final class Runner implements LongUnaryOperator {
        private static boolean prepared;
        private final Contender c;
        private final String op;
        private final int link;
        private final int[] array;

        public Runner(String contender, String op, int link, int length, boolean first)
                throws Throwable {
            c = (Contender) Class.forName("lathwork.bench." + contender).getDeclaredConstructor()
                    .newInstance();
            if (!prepared) { // the first runner in the JVM opens the links, each loader checks
                c.prepare(first);
                prepared = true;
            }
            this.op = op;
            this.link = link;
            array = new int[length];
            Arrays.setAll(array, Contender::pattern);
        }

        @Override
        public long applyAsLong(long n) {
            try {
                switch (op) {
                    case "write": return c.write(n, link);
                    case "writeBlock": return c.writeBlock(n, link, array);
                    case "read16": return c.read(n, link, 16);
                    case "read4096": return c.read(n, link, 4096);
                    case "readInto": return c.readInto(n, link, array);
                    case "poke": return c.poke(n);
                    case "request": return c.request(n);
                    default: throw new IllegalArgumentException(op);
                }
            } catch (Throwable t) {
                throw new IllegalStateException(t);
            }
        }
    }

    /**
     * Its own copy of the benchmark classes and of {@code lathwork.Brenmoor}, whose natives bind
     * to the bridge build named here (the JVM binds a library file to one class loader). JNA
     * comes from the parent: its native part can be loaded only once.
     */
    private static final class Loader extends URLClassLoader {
        private final String bridge;

        Loader(URL[] urls, String bridge) {
            super(urls, Bench.class.getClassLoader());
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

        Entry(String name, ClassLoader l, String contender, String op, int threads, int length)
                throws Exception {
            this.name = name;
            for (int link = 0; link < threads; link++) {
                runners.add((LongUnaryOperator) l.loadClass(Runner.class.getName())
                        .getConstructor(String.class, String.class, int.class, int.class,
                                boolean.class)
                        .newInstance(contender, op, link, length, made++ == 0));
            }
        }

        /** A batch on each thread at once: {wall, CPU} ns per call; CPU includes the collector. */
        double[] run() throws Exception {
            long cpu = processCpu();
            long start = System.nanoTime();
            if (runners.size() == 1) {
                sink += runners.get(0).applyAsLong(batch);
            } else {
                List<Future<Long>> done = new ArrayList<>();
                for (LongUnaryOperator r : runners) {
                    done.add(POOL.submit(() -> r.applyAsLong(batch)));
                }
                for (Future<Long> f : done) {
                    sink += f.get();
                }
            }
            long wall = System.nanoTime() - start;
            double calls = (double) batch * runners.size();
            return new double[] {wall / calls, (processCpu() - cpu) / calls};
        }

        /** The medians of the last three groups of three warm-up rounds lie within spread. */
        boolean settled(double spread) {
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
            return m[2] <= m[0] * (1 + spread);
        }
    }

    public static void main(String[] args) throws Exception {
        Map<String, String> o = new HashMap<>();
        for (String a : args) {
            o.put(a.substring(2, a.indexOf('=')), a.substring(a.indexOf('=') + 1));
        }
        NativeLibrary simctl = NativeLibrary.getInstance(o.get("simctl"));
        simctl.getFunction("simctl_set_recording").invoke(new Object[] {0});
        List<URL> urls = new ArrayList<>();
        for (String p : o.get("cp").split(File.pathSeparator)) {
            urls.add(new File(p).toURI().toURL());
        }
        Map<String, String> contenders = new LinkedHashMap<>(); // name: class
        Map<String, ClassLoader> loaders = new HashMap<>();
        contenders.put("morlane", "Bridge");
        List<String> cases = new ArrayList<>(List.of("hosted"));
        if (o.containsKey("floor")) {
            contenders.put("floor", "Bridge");
            contenders.put("unguarded", "Bridge");
            contenders.put("copy", "Bridge"); // the shipped build again: what chance makes of it
            contenders.put("JNA direct", "Jna$Direct");
            contenders.put("JNA interface", "Jna$Interface");
            boolean ffm = new File(o.get("ffm"), "lathwork").isDirectory();
            if (ffm && Runtime.version().feature() >= 22) {
                contenders.put("FFM", "Ffm");
            }
            cases = List.of("write", "writeBlock", "read16", "read4096", "readInto", "poke",
                    "request", "threads");
        }
        for (String name : contenders.keySet()) {
            String bridge = o.get(name.equals("morlane") ? "bridge" : name);
            loaders.put(name, new Loader(urls.toArray(new URL[0]), bridge));
        }
        String label = o.get("label");
        List<String> only = Arrays.asList(o.getOrDefault("cases", "").split(","));
        try (PrintWriter out = new PrintWriter(o.get("out"), "UTF-8")) {
            out.printf("%s\t#jvm\t%s, %s%n", label, System.getProperty("java.runtime.version"),
                    System.getProperty("os.arch"));
            for (String c : cases) {
                if (!o.containsKey("cases") || only.contains(c)) {
                    measure(label, c, entries(c, contenders, loaders), o, out);
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

    private static List<Entry> entries(String c, Map<String, String> contenders,
            Map<String, ClassLoader> loaders) throws Exception {
        List<Entry> entries = new ArrayList<>();
        for (Map.Entry<String, String> k : contenders.entrySet()) {
            String name = k.getKey();
            ClassLoader l = loaders.get(name);
            if (name.equals("copy") && !c.equals("write")) {
                continue;
            }
            if (c.equals("hosted")) {
                for (String op : new String[] {"read16", "read4096"}) {
                    entries.add(new Entry(op, l, k.getValue(), op, 1, 0));
                    entries.add(new Entry(op + " ×2", l, k.getValue(), op, 2, 0));
                }
            } else if (c.equals("threads")) {
                if (List.of("morlane", "floor", "JNA direct", "FFM").contains(name)) {
                    entries.add(new Entry(name, l, k.getValue(), "read16", 1, 0));
                    entries.add(new Entry(name + " ×2", l, k.getValue(), "read16", 2, 0));
                }
            } else {
                int length = c.equals("writeBlock") ? 256 : 16;
                entries.add(new Entry(name, l, k.getValue(), c, 1, length));
                if (c.equals("readInto") && name.equals("morlane")) {
                    entries.add(new Entry("morlane 1M", l, k.getValue(), c, 1, 1 << 20));
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

    private static void measure(String label, String c, List<Entry> entries, Map<String, String> o,
            PrintWriter out) throws Exception {
        int rounds = Integer.parseInt(o.getOrDefault("rounds", "40"));
        long slice = Long.parseLong(o.getOrDefault("slice-ms", "20")) * 1_000_000L;
        long cap = Long.parseLong(o.getOrDefault("cap-s", "40")) * 1_000_000_000L;
        double spread = Double.parseDouble(o.getOrDefault("settle", "0.2"));
        long start = System.nanoTime();
        for (int r = 0; !entries.stream().allMatch(e -> e.settled(spread)); r++) {
            if (System.nanoTime() - start > cap) {
                StringBuilder why = new StringBuilder();
                for (Entry e : entries) {
                    if (!e.settled(spread)) {
                        why.append(String.format(" %s (last rounds: %s ns per call);", e.name,
                                e.warm.subList(Math.max(0, e.warm.size() - 9), e.warm.size())
                                        .stream().map(v -> String.format("%.0f", v))
                                        .collect(Collectors.joining(", "))));
                    }
                }
                throw new IllegalStateException(String.format("%s case %s: warm-up did not settle"
                        + " (medians of the last three groups of three rounds within %.0f%%) in"
                        + " %d s:%s", label, c, spread * 100, cap / 1_000_000_000L, why));
            }
            double[][] t = round(entries, r, slice, true);
            for (int i = 0; i < entries.size(); i++) {
                entries.get(i).warm.add(t[i][1]); // CPU: the JIT's progress, less hidden by load
            }
        }
        double warmup = (System.nanoTime() - start) / 1e9;
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
        StringBuilder line = new StringBuilder(
                String.format("%s %-10s warm-up %4.1f s, CPU ns per call:", label, c, warmup));
        for (int i = 0; i < entries.size(); i++) {
            Arrays.sort(cpu[i]);
            line.append(String.format("  %s %.0f", entries.get(i).name, cpu[i][rounds / 2]));
        }
        System.err.println(line);
    }
}
