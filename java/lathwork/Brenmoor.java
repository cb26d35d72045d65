package lathwork;

/**
 * Java face of the morlane bridge: the PLC link library ("CVDLL1RZ1.dll") and the Corvane
 * data-access library ("CVDAlib.dll"), reached through the native library {@code morlane}.
 *
 * <p>Call {@link #start()} (and {@link #cvStart()} for the Corvane side) before any operation and
 * {@link #finish()} / {@link #cvFinish()} when done. Operations never throw an exception of their
 * own: a failure is reported as one line on the process's native standard output, every such line
 * beginning {@code "in DLL: "}, and the method returns normally. An operation called while its
 * library is not loaded writes {@code "in DLL: DLL not found."}; one whose entry point the loaded
 * library lacks writes {@code "in DLL: Function not found."}. Those two lines apply to every
 * operation below and are not repeated on each method.
 *
 * <p>The native lines go to the C standard output stream, not {@link System#out}; when standard
 * output is not a terminal they may appear later than Java output written after them. To learn in
 * Java whether a call failed, ask {@link morlane.CallRecord#lastLines()} right after it on the same
 * thread, or use the facade classes {@link morlane.PlcLink} and {@link morlane.DataAccess}, which
 * throw {@link morlane.BridgeException}.
 *
 * <p>Arguments: every {@code int} is handed to the library unchanged as a 32-bit integer (only
 * {@code open}'s selector is translated, and register values are cut to 16 bits), and every text
 * as the JVM's modified UTF-8 bytes with a terminating NUL, without code-page conversion; that is
 * plain UTF-8 except for U+0000 ({@code C0 80}) and characters beyond U+FFFF (two three-byte
 * surrogates). What a link number, unit, timeout, retry count, register area, address, file name,
 * topic or item means is the library's own matter: the bridge interprets none of them, nor the
 * status a library returns beyond success or failure. The simulated libraries shipped with the
 * bridge document one such meaning in their headers (links 0..7, area 0 = data registers
 * 0..8191, area 1 = link registers 0..4095, a table of texts by topic and item); that is the
 * stand-ins' meaning, not necessarily the real libraries'.
 *
 * <p>Threads: operations may run on several threads at once, and {@code start}/{@code finish} may
 * run while operations are in flight, for example {@code finish} in a shutdown hook while workers
 * still call. An operation that began before the last {@code finish} completes against the
 * library it began with, which is released only once no call is inside it any more; one that
 * begins after it writes "in DLL: DLL not found.". {@code finish} never waits for a call.
 * Whether the outside library itself takes concurrent calls is that library's matter.
 *
 * <p>Modes: on a JVM that cannot load the library itself (a 64-bit JVM and the 32-bit Windows
 * DLL), {@code start} runs it in a small 32-bit host process, {@code morlane-host32}, which must
 * lie beside the bridge library. Every method behaves the same either way. A crash of the library
 * then ends only the host: the call in flight fails with its usual line and result, and the
 * library counts as not loaded until the next {@code start}.
 *
 * <p>The bridge library: the first use of this class loads {@code libmorlane.so} (Linux) or
 * {@code morlane.dll} (Windows) through {@link morlane.NativeLoader}, from {@code
 * java.library.path} when it lies there, otherwise from the jar, which holds the bridge (and its
 * host) for 64-bit and 32-bit Linux and Windows. An {@link UnsatisfiedLinkError} from this class
 * means that the bridge itself could not be loaded, neither from {@code java.library.path} nor
 * from the jar; its message names the platform detected and each place tried with the operating
 * system's reason, and the class cannot be used in that JVM. It never stands for a missing PLC
 * link or Corvane library: those {@code start} and {@code cvStart} load later, silently.
 */
public final class Brenmoor {
    static {
        morlane.NativeLoader.load();
    }

    private Brenmoor() {}

    /**
     * Loads the PLC link library "CVDLL1RZ1.dll" by bare file name through the platform's library
     * search. Each call takes one more load; a load that fails is silent and shows at the next link
     * operation as "in DLL: DLL not found.". Writes nothing.
     */
    public static native void start();

    /**
     * Releases one load of the PLC link library. When the last load is released the link methods
     * report "in DLL: DLL not found." until the next {@link #start()}. Does nothing before any
     * start. Writes nothing.
     */
    public static native void finish();

    /**
     * Loads the Corvane data-access library "CVDAlib.dll"; the Corvane counterpart of
     * {@link #start()}. Touches only the Corvane side. Writes nothing.
     */
    public static native void cvStart();

    /**
     * Releases one load of the Corvane data-access library; the counterpart of {@link #finish()}.
     * Touches only the Corvane side. Writes nothing.
     */
    public static native void cvFinish();

    /**
     * Opens a link to the PLC ({@code CVDLLRZ_Open}). The selector is translated before it is
     * handed on: 0 becomes 110, 1 becomes 111, 2 becomes 101; any other value, a library code
     * among them, is handed on unchanged. The other four arguments are handed on as given.
     * On failure writes "in DLL: Open Error".
     *
     * @param link the link number, handed on unchanged
     * @param unit the PLC's unit on the link, handed on unchanged
     * @param selector 0, 1 or 2 for protocol 110, 111 or 101; any other value handed on unchanged
     * @param timeout handed on unchanged
     * @param retries handed on unchanged
     */
    public static native void open(int link, int unit, int selector, int timeout, int retries);

    /**
     * Closes a link ({@code CVDLLRZ_Close}). On failure writes "in DLL: Close Error".
     *
     * @param link the link number, handed on unchanged
     */
    public static native void close(int link);

    /**
     * Puts the PLC into run mode ({@code CVDLLRZ_RunMode}). On failure writes "in DLL: Run Error".
     *
     * @param link the link number, handed on unchanged
     * @param unit the PLC's unit on the link, handed on unchanged
     */
    public static native void runMode(int link, int unit);

    /**
     * Puts the PLC into stop mode ({@code CVDLLRZ_StopMode}). On failure writes "in DLL: Stop
     * Error".
     *
     * @param link the link number, handed on unchanged
     * @param unit the PLC's unit on the link, handed on unchanged
     */
    public static native void stopMode(int link, int unit);

    /**
     * Downloads the named file to the PLC ({@code CVDLLRZ_DownLoad}). The name reaches the library
     * as the JVM's modified UTF-8 bytes, with no code-page conversion. On failure, and when
     * {@code file} is null (the library is then not called), writes "in DLL: Download Error".
     *
     * @param link the link number, handed on unchanged
     * @param unit the PLC's unit on the link, handed on unchanged
     * @param file the file name; null is refused
     */
    public static native void downLoad(int link, int unit, String file);

    /**
     * Writes one 16-bit register ({@code CVDLLRZ_RegWrite} with a count of 1). The value's low 16
     * bits are written: 65535 and -1 both write 0xFFFF. On failure writes "in DLL: RegWrite Error".
     *
     * @param link the link number, handed on unchanged
     * @param area the register area, handed on unchanged
     * @param address the first register, handed on unchanged
     * @param value the word; only its low 16 bits are written
     */
    public static native void regWrite(int link, int area, int address, int value);

    /**
     * Writes the first {@code count} elements of {@code values} to consecutive 16-bit registers,
     * each as its low 16 bits; the array is not changed. A null array, a negative count or a count
     * beyond the array's length is refused without calling the library. On failure or refusal
     * writes "in DLL: RegWrite Error".
     *
     * @param link the link number, handed on unchanged
     * @param area the register area, handed on unchanged
     * @param address the first register, handed on unchanged
     * @param values the words, each written as its low 16 bits; not changed
     * @param count how many of the first elements to write
     */
    public static native void regWrite(int link, int area, int address, int[] values, int count);

    /**
     * Reads {@code count} consecutive 16-bit registers into the first {@code count} elements of
     * {@code values}, each as a value from 0 to 65535; the rest of the array is untouched. Words
     * are delivered even when the library reports a failure. A null array, a negative count or a
     * count beyond the array's length is refused without calling the library, leaving the array
     * as it was. On failure or refusal writes "in DLL: RegRead Error".
     *
     * @param link the link number, handed on unchanged
     * @param area the register area, handed on unchanged
     * @param address the first register, handed on unchanged
     * @param values receives the words in its first {@code count} elements
     * @param count how many registers to read
     */
    public static native void regRead(int link, int area, int address, int[] values, int count);

    /**
     * Reads {@code count} consecutive 16-bit registers into a new array, each as a value from 0 to
     * 65535. Always returns an array of {@code count} elements: all zeros when the library is not
     * loaded or lacks the entry point. On failure writes "in DLL: RegRead Error" (the words read
     * are still returned). A negative count throws {@link NegativeArraySizeException} from the
     * JVM and calls nothing.
     *
     * @param link the link number, handed on unchanged
     * @param area the register area, handed on unchanged
     * @param address the first register, handed on unchanged
     * @param count how many registers to read
     * @return a new array of {@code count} words, each 0..65535
     */
    public static native int[] regRead(int link, int area, int address, int count);

    /**
     * Pokes a text value to the Corvane application ({@code CVDA_Poke}). Texts cross as the JVM's
     * modified UTF-8 bytes. Writes "in DLL: Corvane stopped" when the application has stopped,
     * "in DLL: Write error" on any other failure or when a text is null (the library is then not
     * called).
     *
     * @param topic handed on as its modified UTF-8 bytes; null is refused
     * @param item handed on as its modified UTF-8 bytes; null is refused
     * @param value handed on as its modified UTF-8 bytes; null is refused
     */
    public static native void cvPoke(String topic, String item, String value);

    /**
     * Requests a text value from the Corvane application ({@code CVDA_Request}). Returns the reply
     * (at most 4095 bytes before its NUL); "-1" when the call fails; null only when the JVM could
     * not make a string at all (see below).
     *
     * <p>The reply's bytes become a string by the first rule that fits them: bytes that are valid
     * modified UTF-8 (the JVM's own form, with {@code C0 80} for U+0000) are taken as they are;
     * otherwise bytes that are valid standard UTF-8, four-byte sequences included, are decoded as
     * UTF-8; otherwise every byte becomes one character, through the system's ANSI code page on
     * Windows and as ISO-8859-1 elsewhere (so {@code 31 32 B0 43} arrives as "12&deg;C"). No
     * character is dropped, and none of these writes a line.
     *
     * <p>Writes "in DLL: Corvane stopped" when the application has stopped, "in DLL: Read error" on
     * any other failure or a null text (each returning "-1"). "in DLL: Exception Occurred." is
     * written when a JVM call left an exception pending, which is cleared: when the JVM could not
     * give the bytes of an argument (the result is then "-1") or could not make the result string
     * (the result is then null, the only case of a null result).
     *
     * @param topic handed on as its modified UTF-8 bytes; null is refused
     * @param item handed on as its modified UTF-8 bytes; null is refused
     * @return the reply, "-1" on failure, or null when no result string could be made
     */
    public static native String cvRequest(String topic, String item);
}
