package morlane;

import java.util.Objects;
import java.util.concurrent.atomic.AtomicBoolean;
import lathwork.Brenmoor;

/**
 * One open link to a PLC through the PLC link library "CVDLL1RZ1.dll", with failures thrown as
 * {@link BridgeException}.
 *
 * <pre>{@code
 * try (PlcLink plc = PlcLink.open(0, 1, 0, 1000, 3)) {   // link 0, unit 1, protocol 110
 *     plc.stopMode();
 *     plc.download("conveyor.prg");
 *     plc.runMode();
 *     plc.writeRegisters(0, 100, 1, 2, 3);
 *     int[] words = plc.readRegisters(0, 100, 3);          // {1, 2, 3}
 * }                                                       // close the link, release the library
 * }</pre>
 *
 * <p>Every method makes one {@link Brenmoor} call (two for {@link #open} and {@link #close}), so
 * the bridge writes its diagnostic lines to standard output just as it does for a program that
 * calls {@code Brenmoor} directly, and then asks {@link CallRecord#lastLines()} what that call
 * wrote: any line means the call failed, and the method throws a {@link BridgeException} carrying
 * the {@code Brenmoor} method's name and the lines. A method that returns normally succeeded.
 *
 * <p><b>What the numbers mean.</b> The link number, unit, timeout, retries, register area and
 * register address are handed to the library unchanged, as 32-bit integers; only the library
 * gives them a meaning, and the bridge checks none of them. The simulated library shipped for
 * trying things out documents one possible meaning (links 0..7, units 0..31, area 0 = data
 * registers 0..8191, area 1 = link registers 0..4095); the real library's meaning comes from its
 * own documentation. Register values are 16-bit words: a value written is sent as its low 16
 * bits (65535 and -1 both become 0xFFFF), a word read comes back as 0..65535.
 *
 * <p><b>Threads.</b> The methods of one {@code PlcLink} may be called from several threads at
 * once; whether the library accepts concurrent calls on one link is the library's matter (the
 * simulated one does). Each failure is reported to the thread whose call failed. A call already
 * inside the bridge when {@link #close()} runs completes against the library (the bridge keeps it
 * until the call returns), though the library may refuse it on the closed link; a call begun after
 * {@code close} throws {@link IllegalStateException}. Several {@code PlcLink} objects, on the
 * same or different links, each hold their own load of the library, so closing one leaves the
 * others working.
 *
 * <p><b>Failures every method can report.</b> Besides the lines named on each method, any call
 * throws a {@link BridgeException} with {@code "in DLL: DLL not found."} when the library is not
 * loaded any more (after the last {@code finish} of another user of {@code Brenmoor}, say; {@link
 * BridgeException#isLibraryMissing()} is then true), and with {@code "in DLL: Function not
 * found."} when the loaded library lacks the method's entry point. After {@link #close()} every
 * method but {@code close}, {@link #link()}, {@link #unit()} and {@link #mode()} throws {@link
 * IllegalStateException}. A null argument throws {@link NullPointerException} before anything is
 * called.
 *
 * <p>Virtual threads (JDK 21 and later) may use it like platform threads: each method asks for
 * the record right after its call, with nothing in between that could block and so move the
 * virtual thread to another carrier.
 */
public final class PlcLink implements AutoCloseable {
    private static final String FILE = "CVDLL1RZ1.dll";

    private final int link;
    private final int unit;
    private final AtomicBoolean closed = new AtomicBoolean();

    private PlcLink(int link, int unit) {
        this.link = link;
        this.unit = unit;
    }

    /**
     * Loads the PLC link library (one more load, {@link Brenmoor#start()}) and opens a link
     * ({@link Brenmoor#open}). If the open fails, the load is given back before the exception is
     * thrown.
     *
     * @param link the link number, handed on unchanged
     * @param unit the PLC's station number on the link, handed on unchanged, and kept for
     *     {@link #runMode()}, {@link #stopMode()} and {@link #download}
     * @param selector 0, 1 or 2 choose protocol 110, 111 or 101 (the bridge translates these
     *     three); any other value is handed on unchanged as a protocol code of the library's own
     * @param timeout handed on unchanged (the simulated library reads it as milliseconds)
     * @param retries handed on unchanged (the simulated library reads it as a repeat count)
     * @return the open link
     * @throws BridgeException with operation {@code "start"} and {@link
     *     BridgeException#isLibraryMissing()} true when the library could not be loaded; with
     *     operation {@code "open"} and the line {@code "in DLL: Open Error"} when the library
     *     refused the link (already open, unknown protocol, ...)
     */
    public static PlcLink open(int link, int unit, int selector, int timeout, int retries) {
        // Before Brenmoor or CallRecord is touched: a bridge that cannot be loaded is reported
        // with its reason on every open, not only on the first (a class whose initialisation
        // failed is later reported without one).
        NativeLoader.load();
        Brenmoor.start();
        if (CallRecord.linkMode() == CallRecord.NOT_LOADED) {
            throw BridgeException.notLoaded("start", FILE, CallRecord.linkLoadFailure());
        }
        Brenmoor.open(link, unit, selector, timeout, retries);
        String[] lines = CallRecord.lastLines();
        if (lines.length != 0) {
            BridgeException failure = BridgeException.ofLastCall("open", lines);
            Brenmoor.finish();
            throw failure;
        }
        return new PlcLink(link, unit);
    }

    /**
     * The link number this object was opened with.
     *
     * @return the link number
     */
    public int link() {
        return link;
    }

    /**
     * The unit this object was opened with.
     *
     * @return the unit
     */
    public int unit() {
        return unit;
    }

    /**
     * How the PLC link library is loaded now. It belongs to the process, not to this object: it
     * stays loaded while any user holds a load.
     *
     * @return {@link CallRecord#IN_PROCESS}, {@link CallRecord#HOSTED} (in a helper process, for
     *     a 32-bit library under a 64-bit JVM), or {@link CallRecord#NOT_LOADED} once no load is
     *     left, for example after {@link #close()} of the last open object
     */
    public int mode() {
        return CallRecord.linkMode();
    }

    /**
     * {@link #mode()} as an enum.
     *
     * @return how the PLC link library is loaded now
     */
    public LoadMode loadMode() {
        return CallRecord.linkLoadMode();
    }

    /**
     * Sets how long a call into the PLC link library may take when it runs hosted ({@link
     * CallRecord#setLinkDeadline(long)}): a call still inside the library after {@code millis} ends
     * its host process as a crash would, and fails with its usual {@link BridgeException}; the
     * library then counts as not loaded. 0 means no deadline, the default. The deadline belongs
     * to the library, so it holds for every object and every {@code Brenmoor} call that uses it.
     *
     * <p>No deadline is possible for a library loaded in process: nothing can abandon a call that
     * runs inside the JVM's own process.
     *
     * @param millis the deadline in milliseconds, or 0 for none
     * @throws IllegalArgumentException if {@code millis} is negative
     * @throws IllegalStateException if the library is loaded in process, or after {@link
     *     #close()}
     */
    public void setCallDeadline(long millis) {
        ensureOpen();
        CallRecord.setLinkDeadline(millis);
    }

    /**
     * Puts the PLC into run mode ({@link Brenmoor#runMode}, with this link and unit).
     *
     * @throws BridgeException {@code "runMode"}, {@code "in DLL: Run Error"}, when the library
     *     refuses
     * @throws IllegalStateException when this object is closed
     * @throws BridgeException also with {@code "in DLL: DLL not found."} or {@code "in DLL:
     *     Function not found."}, as the class describes
     */
    public void runMode() {
        ensureOpen();
        Brenmoor.runMode(link, unit);
        check("runMode");
    }

    /**
     * Puts the PLC into stop mode ({@link Brenmoor#stopMode}, with this link and unit).
     *
     * @throws BridgeException {@code "stopMode"}, {@code "in DLL: Stop Error"}, when the library
     *     refuses
     * @throws IllegalStateException when this object is closed
     * @throws BridgeException also with {@code "in DLL: DLL not found."} or {@code "in DLL:
     *     Function not found."}, as the class describes
     */
    public void stopMode() {
        ensureOpen();
        Brenmoor.stopMode(link, unit);
        check("stopMode");
    }

    /**
     * Downloads a file to the PLC ({@link Brenmoor#downLoad}, with this link and unit). The name is
     * handed on as the JVM's modified UTF-8 bytes (plain UTF-8 for every character except U+0000
     * and those beyond U+FFFF), without code-page conversion; what it names is the library's
     * matter.
     *
     * @param file the file name, not null
     * @throws BridgeException {@code "downLoad"}, {@code "in DLL: Download Error"}, when the
     *     library refuses (the simulated PLC refuses while in run mode)
     * @throws IllegalStateException when this object is closed
     * @throws NullPointerException when {@code file} is null
     * @throws BridgeException also with {@code "in DLL: DLL not found."} or {@code "in DLL:
     *     Function not found."}, as the class describes
     */
    public void download(String file) {
        Objects.requireNonNull(file, "file");
        ensureOpen();
        Brenmoor.downLoad(link, unit, file);
        check("downLoad");
    }

    /**
     * Writes one 16-bit register ({@link Brenmoor#regWrite(int, int, int, int)}): the low 16 bits
     * of {@code value}.
     *
     * @param area register area, handed on unchanged
     * @param address first register, handed on unchanged
     * @param value the word; only its low 16 bits are written
     * @throws BridgeException {@code "regWrite"}, {@code "in DLL: RegWrite Error"}, when the
     *     library refuses (for example an address outside the area)
     * @throws IllegalStateException when this object is closed
     * @throws BridgeException also with {@code "in DLL: DLL not found."} or {@code "in DLL:
     *     Function not found."}, as the class describes
     */
    public void writeRegister(int area, int address, int value) {
        ensureOpen();
        Brenmoor.regWrite(link, area, address, value);
        check("regWrite");
    }

    /**
     * Writes consecutive 16-bit registers from {@code address} on, one per value, each as its low
     * 16 bits ({@link Brenmoor#regWrite(int, int, int, int[], int)}). The array is not changed.
     *
     * @param area register area, handed on unchanged
     * @param address first register, handed on unchanged
     * @param values the words, not null; an empty array makes a call with count 0
     * @throws BridgeException {@code "regWrite"}, {@code "in DLL: RegWrite Error"}, when the
     *     library refuses; whether it wrote part of the block is the library's matter (the
     *     simulated one writes nothing then)
     * @throws IllegalStateException when this object is closed
     * @throws NullPointerException when {@code values} is null
     * @throws BridgeException also with {@code "in DLL: DLL not found."} or {@code "in DLL:
     *     Function not found."}, as the class describes
     */
    public void writeRegisters(int area, int address, int... values) {
        Objects.requireNonNull(values, "values");
        ensureOpen();
        Brenmoor.regWrite(link, area, address, values, values.length);
        check("regWrite");
    }

    /**
     * Reads {@code count} consecutive 16-bit registers from {@code address} on ({@link
     * Brenmoor#regRead(int, int, int, int)}).
     *
     * @param area register area, handed on unchanged
     * @param address first register, handed on unchanged
     * @param count how many registers, 0 or more
     * @return a new array of {@code count} values, each 0..65535
     * @throws BridgeException {@code "regRead"}, {@code "in DLL: RegRead Error"}, when the library
     *     reports a failure; the words it may still have delivered are dropped (call {@code
     *     Brenmoor.regRead} directly if you need them)
     * @throws NegativeArraySizeException when {@code count} is negative
     * @throws IllegalStateException when this object is closed
     * @throws BridgeException also with {@code "in DLL: DLL not found."} or {@code "in DLL:
     *     Function not found."}, as the class describes
     */
    public int[] readRegisters(int area, int address, int count) {
        ensureOpen();
        int[] words = Brenmoor.regRead(link, area, address, count);
        check("regRead");
        return words;
    }

    /**
     * Closes the link ({@link Brenmoor#close}) and gives back this object's load of the library
     * ({@link Brenmoor#finish()}): the library is released when no other load is left. The load
     * is given back also when the close fails. A second call does nothing. When the library is
     * not loaded any more (its host was lost, its deadline passed, or another user released it)
     * there is no link to close: the close is quiet, with no call and no line; one whose host is
     * lost during the close throws nothing either.
     *
     * @throws BridgeException {@code "close"}, {@code "in DLL: Close Error"}, when the library
     *     refused to close the link
     */
    @Override
    public void close() {
        if (!closed.compareAndSet(false, true)) {
            return;
        }
        // A library that is gone already (its host lost, its deadline passed, released behind
        // this object's back) has no link left to close: nothing to call, nothing to report.
        if (CallRecord.linkMode() == CallRecord.NOT_LOADED) {
            Brenmoor.finish();
            return;
        }
        Brenmoor.close(link);
        String[] lines = CallRecord.lastLines();
        // Nor when the library went while closing: its host lost, its deadline passed.
        FailureKind kind = CallRecord.lastFailure();
        BridgeException failure = lines.length != 0 && kind != FailureKind.NOT_LOADED
                && kind != FailureKind.HOST_LOST && kind != FailureKind.DEADLINE_PASSED
                ? BridgeException.ofLastCall("close", lines) : null;
        Brenmoor.finish();
        if (failure != null) {
            throw failure;
        }
    }

    @Override
    public String toString() {
        return "PlcLink[link " + link + ", unit " + unit + (closed.get() ? ", closed]" : "]");
    }

    private void ensureOpen() {
        if (closed.get()) {
            throw new IllegalStateException(this + " is closed");
        }
    }

    /**
     * Throws for what the {@code Brenmoor} call just made on this thread wrote. Nothing may run
     * between that call and this one that could block: a blocked virtual thread may move to
     * another carrier, and the record belongs to the carrier's native thread.
     */
    static void check(String operation) {
        String[] lines = CallRecord.lastLines();
        if (lines.length != 0) {
            throw BridgeException.ofLastCall(operation, lines);
        }
    }
}
