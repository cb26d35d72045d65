package morlane.simulator;

import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import lathwork.Brenmoor;
import morlane.CallRecord;
import morlane.FailureKind;

/**
 * A simulated PLC and Corvane application for a program's own tests: the bridge is made to use
 * the simulated "CVDLL1RZ1.dll" and "CVDAlib.dll" this artifact carries, and the test reads and
 * sets their state and scripts their faults.
 *
 * <pre>{@code
 * try (Simulator plc = Simulator.start()) {
 *     plc.setRegister(0, 0, 100, 42);                       // link 0, D100
 *     plc.delay("CVDLLRZ_RegRead", 500, 1);                  // the next read takes 500 ms
 *     ... run the program under test, which opens link 0 ...
 *     assertEquals(7, plc.register(0, 0, 101));
 * }
 * }</pre>
 *
 * <p>{@link #start()} has the bridge load the stand-ins for this JVM from a folder of their own
 * ({@link CallRecord#setLibraryFolder}), in process, or with {@link #start(boolean) start(true)}
 * the 32-bit ones through the bridge's host process, as a 64-bit JVM reaches the real libraries.
 * It holds one load of each library until {@link #close()}, so the PLCs and the Corvane table
 * last while the program opens and closes them; they start fresh (links closed, registers 0, the
 * table empty) at each start, which therefore needs both libraries unloaded. One simulator at a
 * time per JVM; {@link SimulatorExtension} gives each JUnit 5 test its own.
 *
 * <p>The behaviour of the simulated libraries and their status numbers are described in the
 * release's {@code simulated/} headers: links 0..7, units 0..31, area 0 holds the data
 * registers D0..D8191, area 1 the link registers L0..L4095.
 */
public final class Simulator implements AutoCloseable {
    /** What a call that differs from a replayed recording returns from the PLC link library. */
    public static final int LINK_REPLAY_MISMATCH = 10;
    /** What a call that differs from a replayed recording returns from the data-access library. */
    public static final int CORVANE_REPLAY_MISMATCH = 5;

    private static final List<String> ENTRIES = Collections.unmodifiableList(Arrays.asList(
            "CVDLLRZ_Open", "CVDLLRZ_Close", "CVDLLRZ_RunMode", "CVDLLRZ_StopMode",
            "CVDLLRZ_DownLoad", "CVDLLRZ_RegWrite", "CVDLLRZ_RegRead", "CVDA_Poke", "CVDA_Request"));
    private static final int STATUS = 1, DELAY = 2, CRASH = 3; // simctl's fault kinds
    private static Path unpacked; // the natives, once per JVM
    private static Simulator open;

    private final boolean hosted;
    private boolean closed;

    private Simulator(boolean hosted) {
        this.hosted = hosted;
    }

    /**
     * Starts a simulator with the stand-ins in this JVM's own process.
     *
     * @return the simulator, holding a load of both libraries
     * @throws IllegalStateException when another simulator is open, a library is still loaded,
     *     or this artifact has no stand-ins for this JVM's platform
     */
    public static Simulator start() {
        return start(false);
    }

    /**
     * Starts a simulator, the stand-ins in process or hosted.
     *
     * @param hosted true for the 32-bit stand-ins served through the bridge's host process (a
     *     64-bit JVM only): calls can then be given deadlines, and a scripted crash ends the host,
     *     not the JVM
     * @return the simulator, holding a load of both libraries
     * @throws IllegalStateException when another simulator is open, a library is still loaded,
     *     or this artifact has no stand-ins for this JVM's platform in that mode
     */
    public static synchronized Simulator start(boolean hosted) {
        if (open != null) {
            throw new IllegalStateException("a simulator is open already: close it first");
        }
        Path folder = unpack().resolve(hosted ? "hosted" : "in-process");
        if (!Files.isDirectory(folder)) {
            throw new IllegalStateException("no " + (hosted ? "hosted" : "in-process")
                    + " stand-ins for " + platform() + " in this simulator");
        }
        if (CallRecord.linkMode() != CallRecord.NOT_LOADED
                || CallRecord.corvaneMode() != CallRecord.NOT_LOADED) {
            throw new IllegalStateException("a library is still loaded (a start without its"
                    + " finish?): the simulated PLC would not start fresh");
        }
        CallRecord.setLibraryFolder(folder);
        reset0();
        Brenmoor.start();
        Brenmoor.cvStart();
        int wanted = hosted ? CallRecord.HOSTED : CallRecord.IN_PROCESS;
        if (CallRecord.linkMode() != wanted || CallRecord.corvaneMode() != wanted) {
            String why = CallRecord.linkLoadFailure() + "; " + CallRecord.corvaneLoadFailure();
            Brenmoor.finish();
            Brenmoor.cvFinish();
            CallRecord.setLibraryFolder(null);
            throw new IllegalStateException("the stand-ins did not load "
                    + (hosted ? "hosted" : "in process") + ": " + why);
        }
        open = new Simulator(hosted);
        return open;
    }

    /**
     * Whether the stand-ins run hosted.
     *
     * @return true when they run in the bridge's host process
     */
    public boolean hosted() {
        return hosted;
    }

    /**
     * Reads registers of the simulated PLC behind a link.
     *
     * @param link 0..7
     * @param area 0 for the data registers, 1 for the link registers
     * @param first the first register
     * @param count how many, 1 or more
     * @return the words, each 0..65535
     * @throws IllegalArgumentException when a register does not exist
     */
    public int[] registers(int link, int area, int first, int count) {
        ensureOpen();
        int[] words = new int[Math.max(count, 0)];
        if (count < 1 || registers0(link, area, first, words) != 0) {
            throw new IllegalArgumentException("no registers " + first + ".." + (first + count - 1)
                    + " in area " + area + " of link " + link);
        }
        return words;
    }

    /**
     * Reads one register.
     *
     * @param link 0..7
     * @param area 0 or 1
     * @param address the register
     * @return its word, 0..65535
     * @throws IllegalArgumentException when the register does not exist
     */
    public int register(int link, int area, int address) {
        return registers(link, area, address, 1)[0];
    }

    /**
     * Sets one register, as a sensor would.
     *
     * @param link 0..7
     * @param area 0 or 1
     * @param address the register
     * @param value 0..65535
     * @return this simulator
     * @throws IllegalArgumentException when the register does not exist or the value is no word
     */
    public Simulator setRegister(int link, int area, int address, int value) {
        ensureOpen();
        if (setRegister0(link, area, address, value) != 0) {
            throw new IllegalArgumentException("cannot set register " + address + " in area "
                    + area + " of link " + link + " to " + value);
        }
        return this;
    }

    /**
     * Sets a Corvane item, as the Corvane application would. It is poked through the bridge, so a
     * journal being written shows it; the stand-ins' own journal ({@link #calls()}) does not.
     *
     * @param topic the topic
     * @param item the item
     * @param value the value
     * @return this simulator
     * @throws IllegalStateException when the simulated application refuses it (stopped, or the
     *     value is over 4095 bytes)
     */
    public Simulator setCorvaneItem(String topic, String item, String value) {
        ensureOpen();
        setRecording0(false);
        Brenmoor.cvPoke(topic, item, value);
        FailureKind failure = CallRecord.lastFailure();
        setRecording0(true);
        if (failure != FailureKind.NONE) {
            throw new IllegalStateException("cannot set " + topic + " " + item + ": " + failure);
        }
        return this;
    }

    /**
     * Reads a Corvane item, as {@link #setCorvaneItem} sets it.
     *
     * @param topic the topic
     * @param item the item
     * @return its value, or null when it was never set (or the application is stopped)
     */
    public String corvaneItem(String topic, String item) {
        ensureOpen();
        setRecording0(false);
        String value = Brenmoor.cvRequest(topic, item);
        FailureKind failure = CallRecord.lastFailure();
        setRecording0(true);
        return failure == FailureKind.NONE ? value : null;
    }

    /**
     * From now on every call of {@code entry} returns {@code status} in place of its own, after
     * doing its work as usual.
     *
     * @param entry the entry point, such as {@code "CVDLLRZ_RegRead"} or {@code "CVDA_Poke"}
     * @param status the status it returns (0 is success for the PLC link library, 1 for the
     *     data-access library)
     * @return this simulator
     */
    public Simulator failWith(String entry, int status) {
        return fault(entry, STATUS, status, 0);
    }

    /**
     * As {@link #failWith(String, int)}, for the next {@code calls} calls only.
     *
     * @param entry the entry point
     * @param status the status
     * @param calls how many calls, 1..256
     * @return this simulator
     */
    public Simulator failWith(String entry, int status, int calls) {
        return fault(entry, STATUS, status, positive(calls));
    }

    /**
     * From now on every call of {@code entry} sleeps {@code millis} before its work.
     *
     * @param entry the entry point
     * @param millis the delay, 1 or more
     * @return this simulator
     */
    public Simulator delay(String entry, int millis) {
        return fault(entry, DELAY, positive(millis), 0);
    }

    /**
     * As {@link #delay(String, int)}, for the next {@code calls} calls only.
     *
     * @param entry the entry point
     * @param millis the delay, 1 or more
     * @param calls how many calls, 1 or more
     * @return this simulator
     */
    public Simulator delay(String entry, int millis, int calls) {
        return fault(entry, DELAY, positive(millis), positive(calls));
    }

    /**
     * The next call of {@code entry} crashes the process the stand-ins run in: only hosted, where
     * that is the bridge's host process and the program sees the call fail with {@link
     * FailureKind#HOST_LOST}; in process it would end the JVM.
     *
     * @param entry the entry point
     * @return this simulator
     * @throws IllegalStateException when the stand-ins run in process
     */
    public Simulator crash(String entry) {
        if (!hosted) {
            throw new IllegalStateException("a crash in process would end this JVM: start the"
                    + " simulator hosted");
        }
        return fault(entry, CRASH, 0, 1);
    }

    /**
     * Ends every fault scripted for {@code entry}.
     *
     * @param entry the entry point
     * @return this simulator
     */
    public Simulator clearFaults(String entry) {
        ensureOpen();
        clearFaults0(known(entry));
        return this;
    }

    /**
     * The calls the stand-ins received since this simulator started, one line each: the entry
     * point, then its arguments (texts as {@code x} and the hex of their bytes), such as {@code
     * "CVDLLRZ_RegRead 0 0 100 * 3"}; a call unlike a replayed recording's is followed by a line
     * {@code "! replay: ..."}.
     *
     * @return the lines, in the order the calls arrived
     */
    public List<String> calls() {
        ensureOpen();
        return Collections.unmodifiableList(Arrays.asList(journal0()));
    }

    /**
     * Starts the bridge's call journal into {@code journal} ({@link CallRecord#startJournal}):
     * every call from now on, until the JVM ends, is appended; one journal per JVM.
     *
     * @param journal the file
     * @return false when a journal runs already
     */
    public boolean record(Path journal) {
        ensureOpen();
        return CallRecord.startJournal(journal);
    }

    /**
     * Has the stand-ins answer from now on as a recorded journal says: each call gets what the
     * earliest recorded call of its entry point with the same arguments, not yet replayed, got. A
     * call the recording has no call left for fails with {@link #LINK_REPLAY_MISMATCH} or {@link
     * #CORVANE_REPLAY_MISMATCH}, said on stderr. Hosted, the simulator's hosts are started anew
     * to read it, so call it while the program has neither library started.
     *
     * @param journal a journal the bridge wrote, or null to end the replay
     * @return this simulator
     * @throws UncheckedIOException when the journal cannot be read
     */
    public Simulator replay(Path journal) {
        ensureOpen();
        if (hosted) {
            Brenmoor.finish();
            Brenmoor.cvFinish();
        }
        int replaying = replay0(journal == null ? null : name(journal));
        if (hosted) {
            Brenmoor.start();
            Brenmoor.cvStart();
        }
        if (replaying != 0) {
            throw new UncheckedIOException(new IOException("cannot replay " + journal));
        }
        return this;
    }

    /**
     * Whether a failure the bridge reported is a call the replayed recording has no call left for.
     *
     * @param status the status, as {@link morlane.BridgeException#status()} or {@link
     *     CallRecord#lastStatus()} gives it
     * @param operation the {@code Brenmoor} method that failed
     * @return true for the replay's own status of that library
     */
    public static boolean isReplayMismatch(String operation, int status) {
        return status == (operation.startsWith("cv") ? CORVANE_REPLAY_MISMATCH
                : LINK_REPLAY_MISMATCH);
    }

    /**
     * Ends the faults and a replay, gives back the simulator's loads, and has the bridge search
     * for the libraries by their bare names again. A second call does nothing.
     */
    @Override
    public void close() {
        synchronized (Simulator.class) {
            if (closed) {
                return;
            }
            closed = true;
            open = null;
        }
        replay0(null);
        reset0();
        Brenmoor.finish();
        Brenmoor.cvFinish();
        CallRecord.setLibraryFolder(null);
    }

    private Simulator fault(String entry, int kind, int value, int calls) {
        ensureOpen();
        if (fault0(known(entry), kind, value, calls) != 0) {
            throw new IllegalArgumentException("cannot script that fault for " + entry);
        }
        return this;
    }

    private void ensureOpen() {
        if (closed) {
            throw new IllegalStateException("the simulator is closed");
        }
    }

    private static String known(String entry) {
        if (!ENTRIES.contains(entry)) {
            throw new IllegalArgumentException("no entry point " + entry + "; one of " + ENTRIES);
        }
        return entry;
    }

    private static int positive(int value) {
        if (value < 1) {
            throw new IllegalArgumentException(value + ": must be 1 or more");
        }
        return value;
    }

    private static String platform() {
        String os = System.getProperty("os.name", "").startsWith("Windows") ? "windows" : "linux";
        String arch = System.getProperty("os.arch", "");
        return os + (arch.equals("amd64") || arch.equals("x86_64") ? "-x86_64" : "-x86");
    }

    /**
     * A file name in the platform's own encoding, NUL-terminated. On Windows that is the ANSI
     * code page, which simctl's environment and file calls take it in.
     */
    private static byte[] name(Path file) {
        return (file.toAbsolutePath() + "\0").getBytes(Charset.forName(
                System.getProperty("sun.jnu.encoding", Charset.defaultCharset().name())));
    }

    /**
     * Copies this platform's natives out of the jar once per JVM, loads the JNI face of simctl
     * beside the in-process stand-ins, and gives every process of this JVM one state file.
     */
    private static Path unpack() {
        if (unpacked != null) {
            return unpacked;
        }
        String base = "morlane/simulator/natives/" + platform() + "/";
        try {
            Path folder = Files.createTempDirectory("morlane-simulator");
            folder.toFile().deleteOnExit();
            for (String line : read(base + "files").split("\n")) {
                if (line.isEmpty()) {
                    continue;
                }
                Path file = folder.resolve(line);
                Files.createDirectories(file.getParent());
                file.getParent().toFile().deleteOnExit();
                try (InputStream in = Simulator.class.getClassLoader()
                        .getResourceAsStream(base + line)) {
                    Files.copy(in, file, StandardCopyOption.REPLACE_EXISTING);
                }
                file.toFile().deleteOnExit();
            }
            Path state = folder.resolve("simctl.state");
            state.toFile().deleteOnExit();
            Path own = folder.resolve("in-process");
            // simctl first: Windows looks for a DLL's imports by name among those loaded.
            System.load(own.resolve(library("simctl")).toString());
            System.load(own.resolve(library("simkit")).toString());
            share0(name(state));
            unpacked = folder;
            return folder;
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        } catch (NullPointerException | UnsatisfiedLinkError e) {
            throw new IllegalStateException("this simulator has no stand-ins for " + platform()
                    + ": " + e, e);
        }
    }

    private static String library(String stem) {
        return System.getProperty("os.name", "").startsWith("Windows") ? stem + ".dll"
                : "lib" + stem + ".so";
    }

    private static String read(String resource) throws IOException {
        try (InputStream in = Simulator.class.getClassLoader().getResourceAsStream(resource)) {
            if (in == null) {
                throw new NullPointerException(resource + " is not in this jar");
            }
            byte[] buffer = new byte[8192];
            StringBuilder text = new StringBuilder();
            for (int n; (n = in.read(buffer)) > 0;) {
                text.append(new String(buffer, 0, n, StandardCharsets.UTF_8));
            }
            return text.toString();
        }
    }

    private static native void share0(byte[] state);
    private static native int replay0(byte[] journal);
    private static native int registers0(int link, int area, int first, int[] words);
    private static native int setRegister0(int link, int area, int address, int value);
    private static native int fault0(String entry, int kind, int value, int calls);
    private static native void clearFaults0(String entry);
    private static native void reset0();
    private static native void setRecording0(boolean on);
    private static native String[] journal0();
}
