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
 * loaded the library (they write no line either way) and where it runs.
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
}
