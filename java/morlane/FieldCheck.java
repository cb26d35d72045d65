package morlane;

import java.io.*;
import java.nio.charset.*;
import java.nio.file.*;
import java.nio.file.attribute.*;
import java.text.SimpleDateFormat;
import java.util.*;
import java.util.concurrent.*;
import java.util.concurrent.atomic.*;
import lathwork.Brenmoor;

/**
 * What {@code java -jar morlane-<version>.jar --field-check [folder]} runs: whether the bridge
 * works on this machine, not only whether it loads. It drives the release's own stand-ins (found
 * beside the jar, or in the folder named) in child JVMs, under load, through a killed host, thread
 * churn and a deadline, tries where this machine's search finds a library, and says for each check
 * {@code PASS}, {@code FAIL}, {@code WARN} or {@code SKIP} with its reason. The report it leaves is
 * what a user sends back. Before anything that writes, it makes sure that what it loaded are the
 * stand-ins (they say so themselves), and refuses otherwise: a real PLC never sees its writes.
 */
final class FieldCheck {
    static final String IDENTITY = "morlane-stand-in/1"; // what the release's stand-ins announce
    private static final boolean WINDOWS = System.getProperty("os.name", "").startsWith("Windows");
    private static final String PLC = "CVDLL1RZ1.dll", CORVANE = "CVDAlib.dll";
    private static final String SIMCTL = WINDOWS ? "simctl.dll" : "libsimctl.so";
    private static final String SEARCH = WINDOWS ? "PATH" : "LD_LIBRARY_PATH";
    private static final int REFUSED = 3;
    private final List<String> report = new ArrayList<>();
    private final Map<String, Integer> counts = new TreeMap<>();
    private Path jar;

    private FieldCheck() {}

    /** From the jar's main: runs the whole check and exits with 0, 1 on a FAIL, 3 refused. */
    static void run(String[] args) {
        FieldCheck check = new FieldCheck();
        int status;
        try {
            status = check.parent(args.length > 0 ? Paths.get(args[0]) : null);
        } catch (Exception e) {
            check.verdict("FAIL", "field check", "stopped: " + e);
            status = check.end(1);
        }
        System.exit(status);
    }

    private int parent(Path named) throws Exception {
        jar = Paths.get(FieldCheck.class.getProtectionDomain().getCodeSource().getLocation()
                .toURI());
        say("morlane " + NativeLoader.version() + ": field check of this machine");
        say("  machine  " + System.getProperty("os.name") + " " + System.getProperty("os.version")
                + " " + System.getProperty("os.arch") + ", user " + System.getProperty("user.name")
                + ", folder " + System.getProperty("user.dir"));
        say("  JVM      " + System.getProperty("java.vm.name") + " "
                + System.getProperty("java.version") + " in " + System.getProperty("java.home")
                + ", " + NativeLoader.Platform.current());
        Path folder = named != null ? named : standIns(jar.getParent());
        if (folder == null || !Files.isRegularFile(folder.resolve(PLC))
                || !Files.isRegularFile(folder.resolve(CORVANE))) {
            verdict("FAIL", "stand-ins", "none found (" + (named != null ? named
                    : jar.resolveSibling("simulated32") + " or simulated") + "): run this from the"
                    + " unpacked release, or name their folder: --field-check <folder>");
            return end(REFUSED);
        }
        folder = folder.toRealPath();
        say("  stand-ins " + folder);
        realLibraries(folder);
        Path work = Files.createTempDirectory("morlane-field-"); // the user's alone
        if (!Charset.forName(System.getProperty("sun.jnu.encoding", "UTF-8")).newEncoder()
                .canEncode(work.toString())) { // the stand-ins take the state file's ANSI name
            delete(work);
            verdict("FAIL", "temporary folder", work + " has characters the system's code page"
                    + " cannot hold: name another with -Djava.io.tmpdir=<folder>");
            return end(REFUSED);
        }
        try {
            int status = checks(folder, work, "run");
            if (status == REFUSED) {
                return end(REFUSED);
            }
            if (WINDOWS) { // the setting is read as the bridge loads
                checks(folder, work, "texts");
            }
            placements(folder, work);
        } finally {
            delete(work);
        }
        return end(counts.containsKey("FAIL") ? 1 : 0);
    }

    // The release's 32-bit stand-ins, which both JVMs use: simulated32/ in the Linux archive,
    // simulated\ in the Windows zip.
    private static Path standIns(Path release) {
        for (String name : new String[] {"simulated32", "simulated"}) {
            if (release != null && Files.isRegularFile(release.resolve(name).resolve(PLC))) {
                return release.resolve(name);
            }
        }
        return null;
    }

    // The checks that drive the stand-ins, in a child JVM that finds them first; then whether its
    // hosts end when it is killed.
    private int checks(Path folder, Path work, String what) throws Exception {
        Path state = work.resolve(what + ".state"), run = Files.createDirectory(work.resolve(what));
        Map<String, String> env = env(state, folder);
        if (what.equals("texts")) {
            env.put("MORLANE_TEXTS", "ansi");
        }
        Process child = child(run, env, 600, what, folder.toString(), state.toString());
        String jvm = null;
        try (BufferedReader out = new BufferedReader(new InputStreamReader(child.getInputStream(),
                StandardCharsets.UTF_8))) {
            for (String line; jvm == null && (line = out.readLine()) != null; ) {
                if (line.startsWith("READY ")) {
                    jvm = line.substring(6);
                } else if (line.matches("(PASS|FAIL|WARN|SKIP) .*")) {
                    String[] parts = line.split(" ", 2);
                    verdict(parts[0], parts[1].substring(0, parts[1].indexOf(':')),
                            parts[1].substring(parts[1].indexOf(':') + 2));
                } else {
                    report.add("    " + line);
                }
            }
        }
        if (jvm == null) {
            int status = child.waitFor();
            if (status != REFUSED && status != 0) {
                verdict("FAIL", "checks", "the checking JVM ended early, with " + status);
            }
            return status;
        }
        Set<String> hosts = new TreeSet<>();
        for (String[] line : announced(state, null)) {
            hosts.add(line[2]);
        }
        hosts.remove(jvm);
        hosts.removeIf(pid -> !alive(pid)); // hosts ended by the checks themselves
        child.destroyForcibly().waitFor();
        long killed = System.nanoTime();
        while (hosts.stream().anyMatch(FieldCheck::alive) && System.nanoTime() - killed < 10e9) {
            Thread.sleep(50);
        }
        if (hosts.isEmpty()) {
            verdict("SKIP", "host ends with the JVM", "no host: the stand-ins ran in process");
        } else {
            long ms = (System.nanoTime() - killed) / 1000000;
            boolean gone = hosts.stream().noneMatch(FieldCheck::alive);
            verdict(gone ? "PASS" : "FAIL", "host ends with the JVM", (gone ? "every host ("
                    + hosts + ") gone " + ms + " ms after its JVM was killed" : "hosts " + hosts
                    + " still run 10 s after their JVM was killed"));
        }
        return 0;
    }

    // Where a library is found: copies of the stand-ins, only in folders of the check's own, one
    // child JVM each, which only loads. It never writes where another program looks.
    private void placements(Path folder, Path work) throws Exception {
        Path empty = Files.createDirectory(work.resolve("empty"));
        Path first = copy(folder, work.resolve("first"), PLC, SIMCTL);
        place("on the search path first", empty, Arrays.asList(first, folder), work, first, null);
        Path current = copy(folder, work.resolve("current"), PLC, SIMCTL);
        place("the current folder", current, Collections.singletonList(folder), work,
                WINDOWS ? current : folder, null); // not searched on Linux
        Path alone = copy(folder, work.resolve("alone"), PLC);
        Path companion = copy(folder, work.resolve("companion"), SIMCTL);
        place("a companion library elsewhere on the path", empty, Arrays.asList(alone, companion),
                work, alone, companion.resolve(SIMCTL));
        // A 64-bit copy found first: a 64-bit JVM loads it itself, a 32-bit one passes over it.
        boolean jvm64 = !"32".equals(System.getProperty("sun.arch.data.model"));
        Path wide = jar.resolveSibling(WINDOWS ? "x64" : "simulated");
        Path source = wide.resolve(WINDOWS ? "morlane.dll" : PLC); // any 64-bit file will do there
        if (Files.isRegularFile(source) && !wide.toRealPath().equals(folder)
                && (!WINDOWS || !jvm64)) {
            Path x64 = Files.createDirectories(work.resolve("x64"));
            Files.copy(source, x64.resolve(PLC));
            if (!WINDOWS) {
                Files.copy(wide.resolve(SIMCTL), x64.resolve(SIMCTL));
            }
            place("a 64-bit copy first", empty, Arrays.asList(x64, folder), work,
                    jvm64 ? x64 : folder, null);
        } else {
            verdict("SKIP", "a 64-bit copy first", WINDOWS && jvm64 ? "a 64-bit JVM loads a"
                    + " 64-bit copy itself; where it matters (SysWOW64) it cannot be placed safely"
                    : "this release holds no 64-bit copy to place");
        }
        verdict("SKIP", "placements not tried", WINDOWS ? "beside java.exe ("
                + System.getProperty("java.home") + "\\bin), in SysWOW64 or System32 and in the"
                + " Windows folder every program on this PC would find a stand-in: see"
                + " docs/windows.md for trying them by hand" : "the system's folders and"
                + " ld.so.cache: every program would find a stand-in there");
    }

    private void place(String name, Path cwd, List<Path> path, Path work, Path expected,
            Path companion) throws Exception {
        Path state = Files.createTempFile(work, "place", ".state");
        Process child = child(cwd, env(state, path.toArray(new Path[0])), 120, "where", "-",
                state.toString());
        String said = read(child.getInputStream()).trim();
        child.waitFor();
        List<String[]> loaded = announced(state, PLC);
        if (loaded.isEmpty()) {
            verdict("FAIL", name, "no stand-in loaded (" + said + "); expected " + expected);
            return;
        }
        String[] last = loaded.get(loaded.size() - 1);
        boolean right = Files.isSameFile(Paths.get(last[3]), expected.resolve(PLC));
        boolean companions = companion == null || Files.isSameFile(Paths.get(last[4]), companion);
        verdict(right && companions ? "PASS" : "FAIL", name, "loaded " + last[3]
                + (companion != null ? " with " + last[4] : "") + " (" + said + ")"
                + (right && companions ? ", as the search should" : "; the search picks "
                        + expected.resolve(PLC) + (companion != null ? " with " + companion : "")));
    }

    // Where the real libraries lie today, in the order a 32-bit process searches; read only.
    private void realLibraries(Path standIns) throws IOException {
        List<String> folders = new ArrayList<>();
        String root = System.getenv().getOrDefault("SystemRoot", "C:\\Windows");
        if (WINDOWS) {
            folders.add(System.getProperty("java.home") + "\\bin");
            folders.add(Files.isDirectory(Paths.get(root, "SysWOW64")) ? root + "\\SysWOW64"
                    : root + "\\System32");
            folders.addAll(Arrays.asList(root + "\\System", root, System.getProperty("user.dir")));
        }
        folders.addAll(Arrays.asList(System.getenv().getOrDefault(SEARCH, "")
                .split(File.pathSeparator)));
        if (!WINDOWS) {
            folders.addAll(Arrays.asList("/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu",
                    "/lib32", "/usr/lib32", "/lib", "/usr/lib"));
        }
        folders.removeIf(folder -> { // a PATH entry in quotes, or no folder name at all
            try {
                return folder.isEmpty() || Paths.get(folder) == null;
            } catch (InvalidPathException e) {
                return true;
            }
        });
        if (WINDOWS) { // the order above is safe search mode's, Windows' default
            Process mode = new ProcessBuilder("reg", "query", "HKLM\\System\\CurrentControlSet"
                    + "\\Control\\Session Manager", "/v", "SafeDllSearchMode")
                    .redirectErrorStream(true).start();
            boolean off = read(mode.getInputStream()).matches("(?s).*SafeDllSearchMode\\s+"
                    + "REG_DWORD\\s+0x0\\s.*");
            verdict(off ? "WARN" : "PASS", "search mode", off ? "SafeDllSearchMode is 0: the"
                    + " current folder comes before the system folders, which the bridge does not"
                    + " model" : "safe DLL search mode, as the bridge models it");
        }
        for (String file : new String[] {PLC, CORVANE}) {
            List<String> found = new ArrayList<>();
            for (String folder : folders) {
                Path candidate = Paths.get(folder, file);
                if (Files.isRegularFile(candidate) && !found.contains(candidate.toString())) {
                    found.add(candidate.toString());
                    if (Arrays.equals(Files.readAllBytes(candidate),
                            Files.readAllBytes(standIns.resolve(file)))) {
                        verdict("FAIL", "real " + file, candidate + " is one of the stand-ins:"
                                + " remove it, programs would drive it instead of the real one");
                        found = null;
                        break;
                    }
                }
            }
            if (found != null) {
                verdict(found.isEmpty() ? "WARN" : "PASS", "real " + file, found.isEmpty()
                        ? "not found in the " + folders.size() + " folders searched: "
                                + String.join(File.pathSeparator, folders)
                        : "found first at " + found.get(0) + (found.size() > 1
                                ? ", also at " + found.subList(1, found.size()) : ""));
            }
        }
    }

    private Process child(Path cwd, Map<String, String> env, int seconds, String... args)
            throws IOException {
        List<String> command = new ArrayList<>(Arrays.asList(Paths.get(
                System.getProperty("java.home"), "bin", "java").toString(), "-cp", jar.toString()));
        for (String property : new String[] {"java.library.path", "morlane.cache"}) {
            if (System.getProperty(property) != null) { // the bridge found as this JVM would
                command.add(1, "-D" + property + "=" + System.getProperty(property));
            }
        }
        if (System.getProperty("java.specification.version").matches("1[7-9]|[2-9][0-9]")) {
            command.add("--enable-native-access=ALL-UNNAMED");
        }
        command.add(FieldCheck.class.getName());
        command.addAll(Arrays.asList(args));
        ProcessBuilder builder = new ProcessBuilder(command).directory(cwd.toFile())
                .redirectErrorStream(true);
        builder.environment().putAll(env);
        Process child = builder.start();
        Thread watchdog = new Thread(() -> {
            try {
                if (!child.waitFor(seconds, TimeUnit.SECONDS)) {
                    child.destroyForcibly();
                }
            } catch (InterruptedException e) { // the check ends first
            }
        });
        watchdog.setDaemon(true);
        watchdog.start();
        return child;
    }

    // The stand-ins' folders first on the child's library search (on Linux alone: a library on
    // this shell's LD_LIBRARY_PATH must not come first), and a state file of the check's own.
    private static Map<String, String> env(Path state, Path... folders) {
        Map<String, String> env = new HashMap<>();
        StringJoiner path = new StringJoiner(File.pathSeparator);
        for (Path folder : folders) {
            path.add(folder.toString());
        }
        if (WINDOWS) {
            path.add(System.getenv().getOrDefault("PATH", ""));
        }
        env.put(SEARCH, path.toString());
        env.put("MORLANE_SIMCTL_STATE", state.toString());
        return env;
    }

    // The stand-ins' announcements: identity, file, process id, own path, simctl's path.
    private static List<String[]> announced(Path state, String file) throws IOException {
        Path list = state.resolveSibling(state.getFileName() + ".stand-ins");
        List<String[]> lines = new ArrayList<>();
        if (Files.isRegularFile(list)) {
            for (String line : new String(Files.readAllBytes(list), StandardCharsets.UTF_8)
                    .split("\n")) {
                String[] fields = line.split("\t");
                if (fields.length == 5 && (file == null || fields[1].equals(file))) {
                    lines.add(fields);
                }
            }
        }
        return lines;
    }

    private static Path copy(Path from, Path to, String... files) throws IOException {
        Files.createDirectories(to);
        for (String file : files) {
            Files.copy(from.resolve(file), to.resolve(file)); // never over an existing file
        }
        return to;
    }

    private static boolean alive(String pid) {
        if (!WINDOWS) {
            return Files.exists(Paths.get("/proc", pid));
        }
        try {
            Process list = new ProcessBuilder("tasklist", "/FI", "PID eq " + pid, "/NH", "/FO",
                    "CSV").redirectErrorStream(true).start();
            return read(list.getInputStream()).contains("\"" + pid + "\"");
        } catch (IOException e) {
            return false;
        }
    }

    private static String read(InputStream in) throws IOException {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        byte[] buffer = new byte[8192];
        for (int n; (n = in.read(buffer)) >= 0; ) {
            bytes.write(buffer, 0, n);
        }
        return new String(bytes.toByteArray(), StandardCharsets.UTF_8);
    }

    // As much as can go: a host still ending may hold its library for a moment on Windows.
    private static void delete(Path folder) {
        try (java.util.stream.Stream<Path> inside = Files.walk(folder)) {
            inside.sorted(Comparator.reverseOrder()).forEach(path -> path.toFile().delete());
        } catch (IOException | UncheckedIOException e) { // left in the temporary folder
        }
    }

    private void say(String line) {
        System.out.println(line);
        report.add(line);
    }

    private int verdict(String verdict, String name, String reason) {
        say(verdict + " " + name + ": " + reason);
        counts.merge(verdict, 1, Integer::sum);
        return verdict.equals("FAIL") ? 1 : 0;
    }

    private int end(int status) {
        String stamp = new SimpleDateFormat("yyyyMMdd-HHmmss").format(new Date());
        Path file = Paths.get(System.getProperty("java.io.tmpdir"), "morlane-field-check-" + stamp
                + ".txt").toAbsolutePath();
        say("morlane: " + counts + (status == REFUSED ? ", stopped before any write" : ""));
        try {
            Files.write(file, report, StandardCharsets.UTF_8);
            System.out.println("report: " + file + " (send this file back)");
        } catch (IOException e) {
            System.out.println("report: could not be written to " + file + ": " + e.getMessage());
        }
        return status;
    }

    /** The checking JVM: {@code run|texts <stand-ins> <state>} or {@code where - <state>}. */
    public static void main(String[] args) throws Exception {
        Brenmoor.start();
        if (args[0].equals("where")) {
            int mode = CallRecord.linkMode();
            System.out.println(mode == CallRecord.HOSTED ? "hosted" : mode == CallRecord.IN_PROCESS
                    ? "in process" : "not loaded: " + CallRecord.linkLoadFailure());
            System.exit(0);
        }
        Brenmoor.cvStart();
        CallRecord.setLinesWritten(false); // the check reads them, the parent prints its verdicts
        Map<String, String> self = Drive.identify(Paths.get(args[1]), Paths.get(args[2]));
        if (self == null) {
            System.exit(REFUSED);
        } else if (args[0].equals("texts")) {
            Drive.texts(self, true);
            System.exit(0);
        }
        Drive.all(self);
        System.out.println("READY " + (CallRecord.corvaneMode() == CallRecord.HOSTED
                ? self.get("ppid") : self.get("pid")));
        System.in.read(); // until the parent kills this JVM
    }

    /** The checks inside the checking JVM; each prints its verdict line for the parent. */
    static final class Drive {
        private static final int THREADS = 16, CHURN = 200;

        private Drive() {}

        private static Path folder, state; // the stand-ins' and the state file of this run

        // Both libraries as the stand-ins announced them, in the folder named, and the data-access
        // one answering as one: its report on its own process, or null when refused.
        static Map<String, String> identify(Path standIns, Path stateFile) throws IOException {
            folder = standIns;
            state = stateFile;
            String why = null;
            for (String file : new String[] {PLC, CORVANE}) {
                boolean link = file.equals(PLC);
                int mode = link ? CallRecord.linkMode() : CallRecord.corvaneMode();
                if (mode == CallRecord.NOT_LOADED) {
                    why = file + " does not load: " + (link ? CallRecord.linkLoadFailure()
                            : CallRecord.corvaneLoadFailure());
                } else if (!ours(file)) {
                    why = "the " + file + " loaded (" + where(mode) + ") is not this release's"
                            + " stand-in in " + folder + ": the search found another library";
                }
                if (why != null) {
                    break;
                }
            }
            Map<String, String> self =
                    why == null ? parse(Brenmoor.cvRequest("sim", "self")) : null;
            if (why == null && !IDENTITY.equals(self.get("stand-in"))) {
                why = CORVANE + " does not answer as this release's stand-in";
            }
            if (why != null) {
                out("FAIL", "identity", why + "; refused before any write");
                return null;
            }
            for (String[] line : announced(state, null)) { // for the report
                System.out.println("loaded: " + String.join(" ", line));
            }
            System.out.println("data-access stand-in's process: " + self);
            out("PASS", "identity", PLC + " (" + where(CallRecord.linkMode()) + ") and " + CORVANE
                    + " (" + where(CallRecord.corvaneMode()) + ") are this release's stand-ins");
            return self;
        }

        static void all(Map<String, String> self) throws Exception {
            boolean hosted = CallRecord.linkMode() == CallRecord.HOSTED;
            request("script:recording:0"); // a journal would only make every call take its lock
            stress();
            texts(self, false);
            churn(CallRecord.corvaneMode() == CallRecord.HOSTED);
            deadline(hosted);
            killed(hosted);
            host(self);
            cache(self);
        }

        // 16 threads, each calling every operation in rounds and checking every value; the
        // threads of one link take turns. Every thread's calls must reach the library on one
        // thread of its own, which all 16 still hold at the end.
        private static void stress() throws Exception {
            int rounds = Integer.getInteger("morlane.field.rounds", 250);
            Object[] links = new Object[8];
            Arrays.setAll(links, link -> new Object());
            Map<Integer, String> threads = new ConcurrentHashMap<>();
            AtomicReference<String> failure = new AtomicReference<>();
            CyclicBarrier end = new CyclicBarrier(THREADS);
            Thread[] workers = new Thread[THREADS];
            long started = System.nanoTime();
            for (int t = 0; t < THREADS; t++) {
                int id = t;
                workers[t] = new Thread(() -> {
                    try {
                        threads.put(id, rounds(id, rounds, links[id % 8]));
                    } catch (RuntimeException e) {
                        failure.compareAndSet(null, "thread " + id + ": " + e.getMessage());
                    } finally {
                        try {
                            end.await(60, TimeUnit.SECONDS);
                        } catch (Exception e) { // another thread failed: its reason is kept
                        }
                    }
                });
                workers[t].start();
            }
            for (Thread worker : workers) {
                worker.join();
            }
            long ms = (System.nanoTime() - started) / 1000000;
            int distinct = new HashSet<>(threads.values()).size();
            out(failure.get() != null || distinct != THREADS ? "FAIL" : "PASS", "stress",
                    failure.get() != null ? failure.get() : distinct != THREADS ? THREADS
                            + " threads were served by " + distinct + " threads of the library's"
                            : THREADS + " threads x " + rounds + " rounds of all 13 operations ("
                                    + THREADS * rounds * 13 + " calls, " + ms + " ms): every value"
                                    + " as written, each thread's calls on one thread of its own");
        }

        private static String rounds(int t, int rounds, Object link) {
            Random random = new Random(t);
            int n = t % 8, area = t / 8;
            String thread = null;
            for (int round = 0; round < rounds; round++) {
                int[] words = random.ints(64).toArray();
                int single = random.nextInt(), address = round * 37 % 1000;
                int[] read = new int[65];
                int[][] fresh = new int[1][];
                synchronized (link) {
                    int selector = round % 3;
                    ok("open", () -> Brenmoor.open(n, t, selector, 1000, 3));
                    ok("stopMode", () -> Brenmoor.stopMode(n, t));
                    ok("downLoad", () -> Brenmoor.downLoad(n, t, "field-" + t + ".prg"));
                    ok("runMode", () -> Brenmoor.runMode(n, t));
                    ok("regWrite", () -> Brenmoor.regWrite(n, area, address, words, 64));
                    ok("regWrite", () -> Brenmoor.regWrite(n, area, address + 64, single));
                    ok("regRead", () -> Brenmoor.regRead(n, area, address, read, 65));
                    ok("regRead", () -> fresh[0] = Brenmoor.regRead(n, area, address, 65));
                    ok("close", () -> Brenmoor.close(n));
                    for (int i = 0; i < 65; i++) {
                        int expected = (i < 64 ? words[i] : single) & 0xFFFF;
                        if (read[i] != expected || fresh[0][i] != expected) {
                            throw new IllegalStateException("register " + (address + i)
                                    + " of link " + n + " read " + read[i] + " and " + fresh[0][i]
                                    + ", written " + expected);
                        }
                    }
                }
                String value = "t" + t + " round " + round + " " + random.nextLong();
                ok("cvPoke", () -> Brenmoor.cvPoke("field", "t" + t, value));
                String back = Brenmoor.cvRequest("field", "t" + t);
                ok("cvRequest");
                String here = request("thread");
                if (!value.equals(back) || (thread != null && !thread.equals(here))) {
                    throw new IllegalStateException(!value.equals(back) ? "poked \"" + value
                            + "\", requested \"" + back + "\"" : "calls of one thread ran on"
                                    + " two threads of the library's process: " + thread + ", "
                                    + here);
                }
                thread = here;
            }
            return thread;
        }

        // The code page's characters through poke and request; in the ANSI setting one it cannot
        // hold must be refused.
        static void texts(Map<String, String> self, boolean ansi) {
            Charset page = charset(WINDOWS ? self.get("acp") : null);
            StringBuilder chars = new StringBuilder();
            for (int b = 0x20; b < 0x100; b++) {
                String c = new String(new byte[] {(byte) b}, page);
                if (b != 0x7f && c.length() == 1 && c.charAt(0) != '\uFFFD'
                        && Arrays.equals(c.getBytes(page), new byte[] {(byte) b})) {
                    chars.append(c);
                }
            }
            String sent = chars + (ansi ? "" : "\u00e4\u00e9\u20ac\u0416\u4e2d\ud83d\ude00");
            ok("cvPoke", () -> Brenmoor.cvPoke("field", "texts", sent));
            String back = Brenmoor.cvRequest("field", "texts");
            String name = ansi ? "texts, ANSI setting" : "texts";
            if (!sent.equals(back)) {
                out("FAIL", name, "poked " + sent.length() + " characters of " + page
                        + ", requested back differently: " + back);
                return;
            }
            String report = chars.length() + " characters of " + page + (ansi ? "" : " and 6"
                    + " beyond it") + " came back as poked";
            String unheld = "\u4e2d\u0416\u20ac\u0101";
            for (int i = 0; ansi && i < unheld.length(); i++) {
                if (!page.newEncoder().canEncode(unheld.charAt(i))) {
                    Brenmoor.cvPoke("field", "texts", "a" + unheld.charAt(i));
                    boolean refused = CallRecord.lastFailure() == FailureKind.REFUSED;
                    out(refused ? "PASS" : "FAIL", name, report + "; U+" + Integer.toHexString(
                            unheld.charAt(i)) + ", which it cannot hold, " + (refused
                            ? "is refused" : "was not refused: " + CallRecord.lastFailure()));
                    return;
                }
            }
            out("PASS", name, report);
            if (!WINDOWS) {
                out("SKIP", "texts, ANSI setting", "MORLANE_TEXTS=ansi is a Windows setting");
            }
        }

        private static Charset charset(String acp) {
            if (acp == null) {
                return Charset.forName(System.getProperty("sun.jnu.encoding", "UTF-8"));
            }
            for (String name : new String[] {"windows-", "x-windows-", "MS", "Cp", "x-IBM"}) {
                try {
                    return Charset.forName(acp.equals("65001") ? "UTF-8" : name + acp);
                } catch (IllegalArgumentException e) { // try the next name
                }
            }
            return StandardCharsets.US_ASCII;
        }

        private static void churn(boolean hosted) throws Exception {
            if (!hosted) {
                out("SKIP", "thread churn", "in process: no host whose threads could stay behind");
                return;
            }
            int before = threads(0, 2); // once the stress threads' are gone
            AtomicReference<String> failure = new AtomicReference<>();
            Thread[] churn = new Thread[CHURN];
            for (int i = 0; i < CHURN; i++) {
                churn[i] = new Thread(() -> {
                    for (int k = 0; k < 3; k++) {
                        if (Brenmoor.cvRequest("sim", "thread").equals("-1")) {
                            failure.set(CallRecord.lastFailure() + " " + Arrays.toString(
                                    CallRecord.lastLines()));
                        }
                    }
                });
                churn[i].start();
            }
            for (Thread thread : churn) {
                thread.join();
            }
            int peak = threads();
            long since = System.nanoTime();
            int after = threads(before, 15);
            long ms = (System.nanoTime() - since) / 1000000;
            out(failure.get() == null && after <= before ? "PASS" : "FAIL", "thread churn",
                    failure.get() != null ? "a call failed: " + failure.get() : CHURN
                            + " threads came and went; the host's threads: " + before + " before, "
                            + peak + " when they had ended, " + after + " " + ms + " ms later");
        }

        // The host's thread count once it is down to atMost, or after seconds; with atMost 0,
        // once it has stood still for a second.
        private static int threads(int atMost, int seconds) throws InterruptedException {
            int count = threads();
            for (int i = 0, still = 0; count > atMost && still < 4 && i < seconds * 4; i++) {
                Thread.sleep(250);
                int now = threads();
                still = atMost == 0 && now == count ? still + 1 : 0;
                count = now;
            }
            return count;
        }

        private static int threads() {
            return Integer.parseInt(parse(request("self")).get("threads"));
        }

        private static void deadline(boolean hosted) throws IOException {
            if (!hosted) {
                try {
                    CallRecord.setLinkDeadline(500);
                    out("FAIL", "deadline", "in process, setLinkDeadline took a deadline it cannot"
                            + " keep");
                } catch (IllegalStateException e) {
                    out("SKIP", "deadline", "in process no call can be abandoned (refused, as it"
                            + " should be)");
                }
                return;
            }
            request("script:delay:CVDLLRZ_RegRead:4000");
            CallRecord.setLinkDeadline(500);
            long started = System.nanoTime();
            Brenmoor.regRead(0, 0, 0, 1);
            long ms = (System.nanoTime() - started) / 1000000;
            FailureKind kind = CallRecord.lastFailure();
            CallRecord.setLinkDeadline(0);
            request("script:delay:CVDLLRZ_RegRead:0");
            String next = serves();
            boolean right = kind == FailureKind.DEADLINE_PASSED && ms < 2500 && next == null;
            out(right ? "PASS" : "FAIL", "deadline", "a call held 4 s with a deadline of 500 ms"
                    + " ended as " + kind + " after " + ms + " ms; " + (next == null
                    ? "the next start served" : "the next start: " + next));
        }

        // A host killed by another program while a call is inside it.
        private static void killed(boolean hosted) throws Exception {
            if (!hosted) {
                out("SKIP", "host killed", "in process: no host");
                return;
            }
            List<String[]> hosts = announced(state, PLC);
            String pid = hosts.get(hosts.size() - 1)[2];
            request("script:delay:CVDLLRZ_RegRead:5000");
            AtomicReference<FailureKind> kind = new AtomicReference<>();
            Thread call = new Thread(() -> {
                Brenmoor.regRead(0, 0, 0, 1);
                kind.set(CallRecord.lastFailure());
            });
            call.start();
            Thread.sleep(500);
            long killed = System.nanoTime();
            Process kill = new ProcessBuilder(WINDOWS ? new String[] {"taskkill", "/F", "/PID", pid}
                    : new String[] {"kill", "-KILL", pid}).redirectErrorStream(true).start();
            read(kill.getInputStream());
            call.join(5000);
            long ms = (System.nanoTime() - killed) / 1000000;
            request("script:delay:CVDLLRZ_RegRead:0");
            String next = serves();
            boolean right = kind.get() == FailureKind.HOST_LOST && next == null;
            out(right ? "PASS" : "FAIL", "host killed", "a call inside host " + pid + " ended as "
                    + kind.get() + " within " + ms + " ms of the kill; " + (next == null
                    ? "the next start served" : "the next start: " + next));
        }

        // The library file's latest load is this release's stand-in in the folder checked.
        private static boolean ours(String file) throws IOException {
            List<String[]> lines = announced(state, file);
            String[] last = lines.isEmpty() ? null : lines.get(lines.size() - 1);
            return last != null && IDENTITY.equals(last[0]) && same(last[3], folder.resolve(file));
        }

        // null when a new start loads the stand-in again and an open and close go through.
        private static String serves() throws IOException {
            Brenmoor.start();
            if (!ours(PLC)) { // a library put in its place meanwhile is never written to
                return "it loaded another library than the stand-in, which was not driven";
            }
            Brenmoor.open(0, 0, 0, 1000, 3);
            FailureKind open = CallRecord.lastFailure();
            Brenmoor.close(0);
            return open == FailureKind.NONE && CallRecord.lastFailure() == FailureKind.NONE ? null
                    : "open " + open + ", close " + CallRecord.lastFailure();
        }

        private static void host(Map<String, String> self) throws IOException {
            if (CallRecord.corvaneMode() != CallRecord.HOSTED) {
                out("SKIP", "host process", "in process: no host");
                return;
            }
            Path program = WINDOWS ? null : Files.readSymbolicLink(Paths.get("/proc",
                    self.get("pid"), "exe"));
            List<String> wrong = new ArrayList<>();
            if (WINDOWS) {
                for (String[] want : new String[][] {{"job", "1"}, {"virtualized", "0"},
                        {"manifest", "asInvoker"}}) {
                    if (!want[1].equals(self.get(want[0]))) {
                        wrong.add(want[0] + " " + self.get(want[0]) + ", not " + want[1]);
                    }
                }
            } else if (!program.endsWith("morlane-host32")) {
                wrong.add("its program is not morlane-host32");
            }
            out(wrong.isEmpty() ? "PASS" : "FAIL", "host process", "pid " + self.get("pid")
                    + " of this JVM's, " + self.get("threads") + " threads" + (WINDOWS ? ", in a"
                            + " job, not virtualized, asInvoker, ANSI"
                            + " code page " + self.get("acp") + ", elevated " + self.get("elevated")
                            : ", " + program) + (wrong.isEmpty() ? "" : "; but " + wrong));
        }

        private static void cache(Map<String, String> self) throws IOException {
            String from = NativeLoader.loadedFrom();
            if ("java.library.path".equals(from)) {
                out("SKIP", "cache folder", "the bridge came from java.library.path: no cache");
                return;
            }
            Path version = Paths.get(from).getParent();
            String user = System.getProperty("user.name");
            List<String> wrong = new ArrayList<>();
            for (Path folder : new Path[] {version.getParent(), version}) {
                String owner = Files.getOwner(folder).getName();
                if (!owner.equals(user) && !owner.endsWith("\\" + user)) {
                    wrong.add(folder + " is owned by " + owner);
                }
                if (WINDOWS) {
                    for (AclEntry entry : Files.getFileAttributeView(folder,
                            AclFileAttributeView.class).getAcl()) {
                        if (!entry.principal().getName().equals(owner)) {
                            wrong.add(folder + " grants " + entry.principal().getName() + " "
                                    + entry.permissions());
                        }
                    }
                } else if (((Integer) Files.getAttribute(folder, "unix:mode") & 077) != 0) {
                    wrong.add(folder + " has mode " + Integer.toOctalString(
                            (Integer) Files.getAttribute(folder, "unix:mode") & 0777));
                }
            }
            String elevated = WINDOWS ? "elevated " + self.get("elevated") : "as " + user;
            out(wrong.isEmpty() ? "PASS" : "WARN", "cache folder", version.getParent() + ": "
                    + (wrong.isEmpty() ? "yours alone" + (WINDOWS ? " (access list)" : " (700)")
                            : String.join("; ", wrong)) + ", " + elevated);
        }

        private static String request(String item) {
            String reply = Brenmoor.cvRequest("sim", item);
            ok("cvRequest sim/" + item);
            return reply;
        }

        private static void ok(String operation, Runnable call) {
            call.run();
            ok(operation);
        }

        private static void ok(String operation) {
            if (CallRecord.lastFailure() != FailureKind.NONE) {
                throw new IllegalStateException(operation + ": " + CallRecord.lastFailure() + " "
                        + Arrays.toString(CallRecord.lastLines()).replace("\n", ""));
            }
        }

        private static Map<String, String> parse(String reply) {
            Map<String, String> values = new HashMap<>();
            for (String line : reply.split("\n")) {
                int equals = line.indexOf('=');
                if (equals > 0) {
                    values.put(line.substring(0, equals), line.substring(equals + 1));
                }
            }
            return values;
        }

        private static boolean same(String path, Path file) {
            try {
                return Files.isSameFile(Paths.get(path), file);
            } catch (IOException | InvalidPathException e) {
                return false;
            }
        }

        private static String where(int mode) {
            return mode == CallRecord.HOSTED ? "hosted" : "in process";
        }

        private static void out(String verdict, String name, String reason) {
            System.out.println(verdict + " " + name + ": " + reason);
        }
    }
}
