package morlane;

/**
 * What the calling thread's most recent {@link lathwork.Brenmoor} call reported, and in which mode
 * each outside library is loaded.
 *
 * <p>{@code lathwork.Brenmoor} reports a failure only as a line on the process's native standard
 * output. The bridge also records each line, at the moment it writes it, for the thread that made
 * the call; {@link #lastLines()} hands that record to the same thread afterwards. The record
 * belongs to the thread, so threads calling the bridge at the same time never see each other's
 * lines, and it is replaced by every {@code Brenmoor} call the thread makes (also by calls that
 * write nothing, such as {@code start}), so ask right after the call you want to know about.
 *
 * <p>Virtual threads (JDK 21 and later): the record is kept per operating-system thread, that is
 * per carrier thread of a virtual thread. It still answers correctly as long as nothing between
 * the {@code Brenmoor} call and {@link #lastLines()} can block: a virtual thread leaves its carrier
 * only when it blocks, and a native call pins it to its carrier while it runs. So call
 * {@code lastLines()} directly after the call, with no I/O, lock or sleep in between; the facade
 * classes of this package do exactly that.
 *
 * <p>{@link #linkMode()} and {@link #corvaneMode()} tell whether {@code start} / {@code cvStart}
 * loaded the library (they write no line either way) and where it runs; when a start could not
 * load it, {@link #linkLoadFailure()} and {@link #corvaneLoadFailure()} say why.
 *
 * <p>Hosted calls can be given a deadline ({@link #setLinkDeadline(long)}, {@link
 * #setCorvaneDeadline(long)}): a call into a hung library then fails instead of holding its
 * thread for good.
 *
 * <p>All methods may be called from any thread, at any time, also before any {@code Brenmoor}
 * call; none of them calls into an outside library.
 */
public final class CallRecord {
    /** The library is not loaded: no start yet, the load failed, or the last finish released it. */
    public static final int NOT_LOADED = 0;

    /** The library is loaded into the JVM's own process. */
    public static final int IN_PROCESS = 1;

    /**
     * The library is loaded by a helper process ({@code morlane-host32}) because the JVM could not
     * load it itself (a 32-bit library in a 64-bit JVM); calls are forwarded to that process.
     */
    public static final int HOSTED = 2;

    static {
        // The natives live in the bridge; loading it here lets this class be used first.
        NativeLoader.load();
    }

    private CallRecord() {}

    /**
     * The diagnostic lines that this thread's most recent {@link lathwork.Brenmoor} call wrote, in
     * the order written, each exactly as written to standard output, newline included (for
     * example {@code "in DLL: RegRead Error\n"}). An empty array when that call wrote none, which
     * means it succeeded, and when this thread has not called the bridge yet. A {@code cvRequest}
     * may have written two lines.
     *
     * @return the lines, never null
     */
    public static native String[] lastLines();

    /**
     * The kind of failure this thread's most recent {@link lathwork.Brenmoor} call met; read it
     * right after the call, as {@link #lastLines()}.
     * <p>The lines keep their newline: they are the bytes written to standard output, so that
     * they can be compared with captured output; {@link BridgeException#diagnostics()} gives them
     * without it.
     * @return {@link FailureKind#NONE} when the call succeeded or this thread has not called yet
     */
    public static FailureKind lastFailure() {
        return FailureKind.values()[lastFailureKind()];
    }

    private static native int lastFailureKind();

    /**
     * What the outside entry point returned in this thread's most recent {@link
     * lathwork.Brenmoor} call; read it right after the call, as {@link #lastLines()}. The bridge
     * never tells one failing status from another, but the library's documentation may.
     *
     * @return the status, or empty when that call did not reach the entry point (library not
     *     loaded, entry point missing, arguments refused, host lost, deadline passed) or made
     *     none ({@code start}, {@code finish})
     */
    public static java.util.OptionalInt lastStatus() {
        long status = lastStatus0();
        return status == (int) status ? java.util.OptionalInt.of((int) status)
                : java.util.OptionalInt.empty();
    }

    private static native long lastStatus0();

    /**
     * Whether the bridge writes its diagnostic lines to the process's standard output (the
     * default, as a plain {@code Brenmoor} caller expects). A program that takes its failures
     * from {@link #lastLines()}, {@link #lastFailure()} or the {@link PlcLink} and {@link
     * DataAccess} facade, which throw them, may turn them off; they are recorded all the same.
     * Applies to the whole process.
     * @param written false to keep the lines off standard output
     */
    public static native void setLinesWritten(boolean written);

    /**
     * Starts the call journal into {@code file}, as the environment variable {@code
     * MORLANE_JOURNAL} does when it is set as the bridge loads: from the next call on, one line
     * per {@link lathwork.Brenmoor} call is appended to the file, rotated to {@code file.1} past
     * {@code MORLANE_JOURNAL_MIB} MiB (default 64). A journal runs until the JVM ends.
     * @param file the journal's file, created if it does not exist
     * @return false when a journal is written already (this call changes nothing then)
     * @throws java.io.UncheckedIOException when the file cannot be opened for appending
     */
    public static boolean startJournal(java.nio.file.Path file) {
        String name = file.toAbsolutePath().toString();
        // The name in the platform's own encoding: what its file functions take.
        int started = startJournal0(nativeName(name, false)); // 0 now, 1 runs, 2 cannot open
        if (started == 2) {
            throw new java.io.UncheckedIOException(new java.io.IOException(
                    "morlane: cannot open the journal " + name + " for appending"));
        }
        return started == 0;
    }

    private static native int startJournal0(byte[] path);

    /**
     * Whether texts cross to the outside libraries, and replies come back, in the ANSI code page
     * of the process that calls the library (the JVM's in process, its host's hosted) instead of
     * as the JVM's modified UTF-8, the default; {@code MORLANE_TEXTS=ansi} in the environment as
     * the bridge loads turns it on too, and the journal names the code page on each line. For a
     * library that takes texts in its code page, as one that opens files with the ANSI API does:
     * a text the page cannot hold exactly (no best-fit stand-in), or holding a NUL, is then
     * refused with the operation's line and {@link FailureKind#REFUSED}, and the library is not
     * called. ASCII crosses the same either way. Applies to the whole process, from the next
     * operation on.
     * @param ansi true for the ANSI code page, false for modified UTF-8
     * @throws UnsupportedOperationException when {@code ansi} is true elsewhere than on Windows,
     *     which alone has an ANSI code page
     */
    public static void setAnsiTexts(boolean ansi) {
        if (!ansiTexts0(ansi)) {
            throw new UnsupportedOperationException("morlane: an ANSI code page exists only on"
                    + " Windows; texts cross as the JVM's modified UTF-8");
        }
    }

    private static native boolean ansiTexts0(boolean ansi);

    /**
     * Has the starts from now on load the outside libraries from {@code folder}, by their full
     * path, in process and hosted alike, instead of searching for their bare file names ("the
     * default"). A library loaded already stays as it is until its last finish. The environment
     * variable {@code MORLANE_LIBRARY_DIR}, when set as the bridge loads, makes the same choice
     * for a program that does not call this. Meant for tests and the desk (the simulated
     * libraries in a folder of their own); the real libraries belong where the system searches.
     *
     * @param folder the folder holding "CVDLL1RZ1.dll" and "CVDAlib.dll", or null for the
     *     search by bare name
     * @throws IllegalArgumentException when the folder's path is too long to name a file in
     */
    public static void setLibraryFolder(java.nio.file.Path folder) {
        byte[] name = folder == null ? new byte[] {0}
                : nativeName(folder.toAbsolutePath().toString(), true);
        if (!setLibraryFolder0(name)) {
            throw new IllegalArgumentException("folder path too long: " + folder);
        }
    }

    private static native boolean setLibraryFolder0(byte[] folder);

    /** A file name as the platform's file functions take it, NUL-terminated. */
    private static byte[] nativeName(String name, boolean utf8OnWindows) {
        boolean utf8 = utf8OnWindows && System.getProperty("os.name", "").startsWith("Windows");
        return (name + "\0").getBytes(utf8 ? java.nio.charset.StandardCharsets.UTF_8
                : java.nio.charset.Charset.forName(System.getProperty("sun.jnu.encoding",
                        java.nio.charset.Charset.defaultCharset().name())));
    }

    /**
     * The mode of the PLC link library "CVDLL1RZ1.dll" now.
     *
     * @return {@link #NOT_LOADED}, {@link #IN_PROCESS} or {@link #HOSTED}
     */
    public static native int linkMode();

    /**
     * The mode of the Corvane data-access library "CVDAlib.dll" now.
     *
     * @return {@link #NOT_LOADED}, {@link #IN_PROCESS} or {@link #HOSTED}
     */
    public static native int corvaneMode();

    /**
     * {@link #linkMode()} as an enum.
     *
     * @return how the PLC link library is loaded now
     */
    public static LoadMode linkLoadMode() {
        return LoadMode.of(linkMode());
    }

    /**
     * {@link #corvaneMode()} as an enum.
     *
     * @return how the data-access library is loaded now
     */
    public static LoadMode corvaneLoadMode() {
        return LoadMode.of(corvaneMode());
    }

    /**
     * Why the latest {@code start} could not load the PLC link library "CVDLL1RZ1.dll", in the
     * operating system's words: for a load in the JVM's own process the dynamic loader's text
     * ({@code dlerror} on Linux, the error number and its system message on Windows), and where a
     * host process was tried as well, what became of it: {@code morlane-host32} not found beside
     * the bridge or not executable, could not be started, or the library's own load error in the
     * host. For example {@code "in process: CVDLL1RZ1.dll: wrong ELF class: ELFCLASS32; hosted:
     * morlane-host32 could not load it: libplcrt.so: cannot open shared object file: No such file
     * or directory"}.
     *
     * <p>{@code start} itself stays silent, as it always has; this is where a program that wants
     * to know asks.
     *
     * @return the reason, or null when the latest start loaded the library or none has failed
     */
    public static native String linkLoadFailure();

    /**
     * Why the latest {@code cvStart} could not load the data-access library "CVDAlib.dll"; as
     * {@link #linkLoadFailure()}.
     *
     * @return the reason, or null when the latest cvStart loaded the library or none has failed
     */
    public static native String corvaneLoadFailure();

    /**
     * Sets how long a hosted call into the PLC link library may take. A call still running after
     * {@code millis} is treated exactly like a crash of the library: its host process is ended,
     * every call inside it fails with its usual diagnostic line and failure result, and the
     * library counts as not loaded until the next {@code start}. Calls that begin after this
     * method returns are affected; 0 (the default) means no deadline, so a call blocks for as long
     * as the library takes.
     *
     * <p>Only hosted calls can have a deadline: no Java or native code can abandon a call that
     * runs inside the JVM's own process. While the library is loaded in process this method
     * refuses; set while the library is not loaded, the deadline applies only if a later start
     * loads it hosted.
     *
     * @param millis the deadline in milliseconds, or 0 for none
     * @throws IllegalArgumentException if {@code millis} is negative
     * @throws IllegalStateException if the library is loaded in process
     */
    public static void setLinkDeadline(long millis) {
        setDeadline(true, millis, "CVDLL1RZ1.dll");
    }

    /**
     * Sets how long a hosted call into the data-access library "CVDAlib.dll" may take; as {@link
     * #setLinkDeadline(long)}.
     *
     * @param millis the deadline in milliseconds, or 0 for none
     * @throws IllegalArgumentException if {@code millis} is negative
     * @throws IllegalStateException if the library is loaded in process
     */
    public static void setCorvaneDeadline(long millis) {
        setDeadline(false, millis, "CVDAlib.dll");
    }

    private static void setDeadline(boolean link, long millis, String file) {
        if (millis < 0) {
            throw new IllegalArgumentException("deadline " + millis + " ms: must be 0 or more");
        }
        if (deadline(link, millis) == IN_PROCESS) {
            throw new IllegalStateException(file + " is loaded in process: a call inside the"
                    + " JVM's own process cannot be abandoned, so it can have no deadline");
        }
    }

    /** Sets the slot's deadline unless its library is loaded in process; returns its mode. */
    private static native int deadline(boolean link, long millis);
}
