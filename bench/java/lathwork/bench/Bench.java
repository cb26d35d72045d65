package lathwork.bench;

import static java.nio.file.StandardCopyOption.REPLACE_EXISTING;

import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Pointer;
import java.io.File;
import java.io.IOException;
import java.io.PrintWriter;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Paths;
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
import java.util.concurrent.locks.LockSupport;
import java.util.function.LongUnaryOperator;
import java.util.stream.Collectors;

/**
 * Measures the contenders taking turns in this one JVM. A case is a set of entries (a contender,
 * an operation, one or two threads). Each round runs every entry's batch in SUB slices, the
 * entries alternating slice by slice in an order that rotates, so a slow phase of the machine
 * hits all entries of a round alike and the per-round ratios stay comparable. Writes one line per
 * entry and round: label, case, entry, round, wall and CPU ns per call.
 *
 * <pre>java -Dbench.sim=SIM lathwork.bench.Bench --label=64-bit|32-bit|hosted --out=F --cp=DIRS
 *     --bridge=SO [--mailbox=DIR] [--quick] [--cases=a,b]</pre>
 * Hosted measures the bridge alone, beside
 * the floor mechanism of {@link MailboxFloor} when --mailbox names its build, and then how much
 * CPU the JVM and its hosts use once the calls stop.
 */
public final class Bench {
    private static final int SUB = 5;
    private static final double SETTLE = 0.2;
    private static final ExecutorService SECOND = Executors.newSingleThreadExecutor(r -> {
        Thread t = new Thread(r); // a daemon: a failure must end the JVM, not leave it waiting
        t.setDaemon(true);
        return t;
    });
    private static final Memory TIMESPEC = new Memory(16);
    private static volatile long sink;
    private static boolean opened;
    private static String mailbox = "";

    static {
        Native.register("c");
    }

    private static native int clock_gettime(int clock, Pointer timespec);

    private static native long sysconf(int name);

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
        final String bridge;

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
        final List<LongUnaryOperator> runners = new ArrayList<>(); // one a thread, each its link
        final List<Double> warm = new ArrayList<>();
        long batch = 1;

        Entry(String name, List<LongUnaryOperator> runners) {
            this.name = name;
            this.runners.addAll(runners);
        }

        Entry(String name, Loader l, String op, int threads, int length) throws Exception {
            this(name, new ArrayList<>());
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
            Future<Long> second = runners.size() == 1 ? null
                    : SECOND.submit(() -> runners.get(1).applyAsLong(batch));
            sink += runners.get(0).applyAsLong(batch) + (second == null ? 0 : second.get());
            long wall = System.nanoTime() - start;
            double calls = (double) batch * runners.size();
            return new double[] {wall / calls, (processCpu() - cpu) / calls};
        }

        /** The medians of the last three groups of three warm-up rounds lie within SETTLE. */
        boolean settled() {
            int n = warm.size();
            double[] m = new double[3];
            for (int g = 0; g < 3 && n >= 9; g++) {
                double[] v = {warm.get(n - 9 + 3 * g), warm.get(n - 8 + 3 * g),
                    warm.get(n - 7 + 3 * g)};
                Arrays.sort(v);
                m[g] = v[1];
            }
            Arrays.sort(m);
            return n >= 9 && m[2] <= m[0] * (1 + SETTLE);
        }
    }

    public static void main(String[] args) throws Exception {
        Map<String, String> o = new HashMap<>();
        for (String a : args) {
            int eq = a.indexOf('=');
            o.put(a.substring(2, eq < 0 ? a.length() : eq), eq < 0 ? "" : a.substring(eq + 1));
        }
        String label = o.get("label");
        mailbox = o.getOrDefault("mailbox", "");
        NativeLibrary simctl = NativeLibrary.getInstance(Contender.library("libsimctl.so"));
        simctl.getFunction("simctl_set_recording").invoke(new Object[] {0});
        List<URL> urls = new ArrayList<>();
        for (String p : o.get("cp").split(File.pathSeparator)) {
            urls.add(new File(p).toURI().toURL());
        }
        // The shipped build loaded a second time: how far two builds differ by chance alone.
        String copy = o.get("out") + ".libmorlane.so";
        Files.copy(Paths.get(o.get("bridge")), Paths.get(copy), REPLACE_EXISTING);
        String[][] contenders = { // name, class, bridge build
            {"morlane", "Contender", o.get("bridge")},
            {"copy", "Contender", copy},
            {"JNA direct", "Jna$Direct", null},
            {"JNA interface", "Jna$Interface", null},
            {"FFM", "Ffm", null}};
        List<String> cases = new ArrayList<>(label.equals("hosted") ? List.of("hosted", "lone")
                : List.of("write", "writeBlock", "read16", "read4096", "readInto", "poke",
                        "request", "threads", "lone"));
        if (o.containsKey("cases")) {
            cases.retainAll(List.of(o.get("cases").split(",")));
        }
        Map<String, Loader> loaders = new LinkedHashMap<>();
        for (String[] c : label.equals("hosted") ? Arrays.copyOf(contenders, 1) : contenders) {
            Loader l = new Loader(urls.toArray(new URL[0]), c[1], c[2]);
            if (!c[0].equals("FFM") || Runtime.version().feature() >= 22
                    && l.getResource("lathwork/bench/Ffm.class") != null) {
                loaders.put(c[0], l);
            }
        }
        try (PrintWriter out = new PrintWriter(o.get("out"), "UTF-8")) {
            out.printf("%s\t#jvm\t%s, %s%n", label, System.getProperty("java.runtime.version"),
                    System.getProperty("os.arch"));
            for (String c : cases) {
                if (c.equals("lone")) {
                    lone(label, new Entry("lone", loaders.get("morlane"), "read16", 1, 16),
                            o.containsKey("quick"), out);
                    continue;
                }
                List<Entry> entries = entries(c, loaders);
                measure(label, c, entries, o.containsKey("quick"), out);
                if (c.equals("hosted")) {
                    idle(label, entries, o.containsKey("quick"), out);
                }
            }
            int journal = simctl.getFunction("simctl_journal_count").invokeInt(new Object[0]);
            if (journal != 0) {
                throw new IllegalStateException("the simulation journaled " + journal + " calls");
            }
        } catch (IllegalStateException e) {
            System.err.println("bench: FAILED: " + e.getMessage());
            System.exit(3);
        }
    }

    private static List<Entry> entries(String c, Map<String, Loader> loaders) throws Exception {
        List<Entry> entries = new ArrayList<>();
        for (Map.Entry<String, Loader> k : loaders.entrySet()) {
            String name = k.getKey();
            Loader l = k.getValue();
            if (c.equals("hosted")) {
                for (String op : new String[] {"read16", "read4096", "write", "request"}) {
                    entries.add(new Entry(op, l, op, 1, 0));
                }
                entries.add(new Entry("read16 ×2", l, "read16", 2, 0));
                if (!mailbox.isEmpty()) {
                    List<LongUnaryOperator> floor = MailboxFloor.start(mailbox);
                    entries.add(new Entry("floor mechanism", floor.subList(0, 1)));
                    entries.add(new Entry("floor mechanism ×2", floor));
                }
            } else if (c.equals("threads")) {
                if (List.of("morlane", "JNA direct", "FFM").contains(name)) {
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

    /**
     * After a burst of every bridge entry (a round's worth), the CPU time that the JVM and its
     * morlane-host32 children use in the following second, in % of one core, from /proc: what a
     * program that pauses between calls pays for the spinning. Written as the case "idle".
     */
    private static void idle(String label, List<Entry> entries, boolean quick, PrintWriter out)
            throws Exception {
        ProcessHandle jvm = ProcessHandle.current();
        double tick = 1e9 / sysconf(2); // _SC_CLK_TCK
        for (int r = 0; r < (quick ? 3 : 5); r++) {
            for (int s = 0; s < SUB; s++) {
                for (Entry e : entries) {
                    if (!e.name.startsWith("floor")) {
                        e.run();
                    }
                }
            }
            List<Long> hosts = jvm.children().filter(p -> p.info().command()
                    .map(c -> c.endsWith("/morlane-host32")).orElse(false))
                    .map(ProcessHandle::pid).collect(Collectors.toList());
            long start = System.nanoTime();
            long before = ticks(jvm.pid());
            long hostsBefore = hosts.stream().mapToLong(Bench::ticks).sum();
            Thread.sleep(1000);
            long self = ticks(jvm.pid()) - before;
            long children = hosts.stream().mapToLong(Bench::ticks).sum() - hostsBefore;
            double percent = tick * 100 / (System.nanoTime() - start);
            String[] names = {"JVM and hosts", "JVM", "hosts"};
            long[] used = {self + children, self, children};
            for (int i = 0; i < names.length; i++) {
                out.printf(Locale.ROOT, "%s\tidle\t%s\t%d\t%.2f\t%.2f%n", label, names[i], r,
                        used[i] * percent, used[i] * percent);
            }
        }
        out.flush();
    }

    /**
     * A program that polls: one regRead of 16 words every millisecond, each call timed on its
     * own, so that every call finds the JVM's (and a host's) other threads idle, as a PLC
     * program's calls do. Per round of 200 calls, its median and 99th percentile in ns: the
     * case "lone".
     */
    private static void lone(String label, Entry entry, boolean quick, PrintWriter out)
            throws Exception {
        LongUnaryOperator call = entry.runners.get(0);
        long[] took = new long[200];
        for (int r = -1; r < (quick ? 5 : 10); r++) { // round -1 warms up
            long next = System.nanoTime();
            for (int i = 0; i < took.length; i++) {
                next += 1_000_000L;
                while (System.nanoTime() < next) {
                    LockSupport.parkNanos(next - System.nanoTime());
                }
                long start = System.nanoTime();
                sink += call.applyAsLong(1);
                took[i] = System.nanoTime() - start;
            }
            Arrays.sort(took);
            if (r >= 0) {
                out.printf(Locale.ROOT, "%s\tlone\tp50\t%d\t%d\t%d%n%s\tlone\tp99\t%d\t%d\t%d%n",
                        label, r, took[99], took[99], label, r, took[197], took[197]);
            }
        }
        out.flush();
    }

    /** User and system time of a process in clock ticks: fields 14 and 15 of its stat. */
    private static long ticks(long pid) {
        try {
            String stat = Files.readString(Paths.get("/proc/" + pid + "/stat"));
            String[] f = stat.substring(stat.lastIndexOf(')') + 2).split(" ");
            return Long.parseLong(f[11]) + Long.parseLong(f[12]);
        } catch (IOException e) {
            throw new IllegalStateException("no CPU time of process " + pid, e);
        }
    }

    /** Warm-up until every entry settles (or the run fails), then the measured rounds. */
    private static void measure(String label, String c, List<Entry> entries, boolean quick,
            PrintWriter out) throws Exception {
        long slice = (quick ? 10 : 20) * 1_000_000L;
        long cap = (quick ? 15 : 40) * 1_000_000_000L;
        long start = System.nanoTime();
        for (int r = 0; !entries.stream().allMatch(Entry::settled); r++) {
            if (System.nanoTime() - start > cap) {
                throw new IllegalStateException(String.format("%s %s: warm-up did not settle in"
                        + " %d s (medians of the last three groups of three rounds within %.0f%%);"
                        + " CPU ns per call of the last rounds: %s", label, c, cap / 1_000_000_000L,
                        SETTLE * 100, entries.stream().filter(e -> !e.settled()).map(e -> e.name
                                + " " + e.warm.subList(Math.max(0, e.warm.size() - 9),
                                        e.warm.size())).collect(Collectors.joining("; "))));
            }
            double[][] t = round(entries, r, slice, true);
            for (int i = 0; i < entries.size(); i++) {
                entries.get(i).warm.add((double) Math.round(t[i][1])); // CPU: less hidden by load
            }
        }
        System.err.printf("%s %s: warm in %.1f s%n", label, c, (System.nanoTime() - start) / 1e9);
        for (int r = 0; r < (quick ? 15 : 40); r++) {
            double[][] t = round(entries, r, slice, false);
            for (int i = 0; i < entries.size(); i++) {
                out.printf(Locale.ROOT, "%s\t%s\t%s\t%d\t%.2f\t%.2f%n", label, c,
                        entries.get(i).name, r, t[i][0], t[i][1]);
            }
        }
        out.flush();
    }
}
