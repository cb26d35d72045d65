package morlane;

import java.util.Objects;
import java.util.concurrent.atomic.AtomicBoolean;
import lathwork.Brenmoor;

/**
 * The Corvane data-access library "CVDAlib.dll", loaded for as long as this object is open, with
 * failures thrown as {@link BridgeException}.
 *
 * <pre>{@code
 * try (DataAccess corvane = DataAccess.open()) {          // load the library
 *     corvane.poke("line1", "speed", "1250");
 *     String speed = corvane.request("line1", "speed");   // "1250"
 * }                                                       // release it
 * }</pre>
 *
 * <p>Each method makes one {@link Brenmoor} call, which writes its diagnostic lines to standard
 * output as it always does, and then asks {@link CallRecord#lastLines()} what that call wrote: any
 * line means failure and becomes a {@link BridgeException}. Unlike {@link Brenmoor#cvRequest},
 * {@link #request} therefore never hands a failure back as the text {@code "-1"}: a {@code "-1"}
 * it returns is the application's genuine reply.
 *
 * <p><b>What the texts mean.</b> Topic, item and value are handed to the library as the JVM's
 * modified UTF-8 bytes (plain UTF-8 for every character except U+0000 and those beyond U+FFFF),
 * NUL-terminated, without code-page conversion; the bridge gives them no meaning. The simulated
 * library shipped for trying things out keeps a table of values by topic and item, and reads
 * topic {@code "sim"}, item {@code "state"} as its own on/off switch; the real library's meaning
 * comes from its own documentation. A reply holds at most 4095 bytes.
 *
 * <p><b>Threads.</b> {@link #poke} and {@link #request} may be called from several threads at
 * once; whether the library accepts concurrent calls is its own matter. Each failure is reported
 * to the thread whose call failed. A call already inside the bridge when {@link #close()} runs
 * completes against the library; a call begun after {@code close} throws {@link
 * IllegalStateException}. Each open object holds its own load of the library.
 *
 * <p><b>Failures every method can report.</b> Besides the lines named on each method, {@link
 * #poke} and {@link #request} throw a {@link BridgeException} with {@code "in DLL: DLL not
 * found."} when the library is not loaded any more ({@link BridgeException#isLibraryMissing()} is
 * then true), and with {@code "in DLL: Function not found."} when the loaded library lacks the
 * entry point. After {@link #close()} they throw {@link IllegalStateException}. A null argument
 * throws {@link NullPointerException} before anything is called.
 */
public final class DataAccess implements AutoCloseable {
    private static final String FILE = "CVDAlib.dll";

    private final AtomicBoolean closed = new AtomicBoolean();

    private DataAccess() {}

    /**
     * Loads the data-access library (one more load, {@link Brenmoor#cvStart()}).
     *
     * @return an open object holding that load
     * @throws BridgeException with operation {@code "cvStart"} and {@link
     *     BridgeException#isLibraryMissing()} true when the library could not be loaded
     */
    public static DataAccess open() {
        NativeLoader.load(); // as in PlcLink.open
        Brenmoor.cvStart();
        if (CallRecord.corvaneMode() == CallRecord.NOT_LOADED) {
            throw BridgeException.notLoaded("cvStart", FILE, CallRecord.corvaneLoadFailure());
        }
        return new DataAccess();
    }

    /**
     * How the data-access library is loaded now. It belongs to the process, not to this object.
     *
     * @return {@link CallRecord#IN_PROCESS}, {@link CallRecord#HOSTED}, or {@link
     *     CallRecord#NOT_LOADED} once no load is left, for example after {@link #close()} of the
     *     last open object
     */
    public int mode() {
        return CallRecord.corvaneMode();
    }

    /**
     * {@link #mode()} as an enum.
     *
     * @return how the data-access library is loaded now
     */
    public LoadMode loadMode() {
        return CallRecord.corvaneLoadMode();
    }

    /**
     * Sets how long a call into the data-access library may take when it runs hosted ({@link
     * CallRecord#setCorvaneDeadline(long)}): a call still inside the library after {@code millis} ends
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
        CallRecord.setCorvaneDeadline(millis);
    }

    /**
     * Writes a value ({@link Brenmoor#cvPoke}).
     *
     * @param topic handed on as its modified UTF-8 bytes, not null
     * @param item handed on as its modified UTF-8 bytes, not null
     * @param value handed on as its modified UTF-8 bytes, not null
     * @throws BridgeException {@code "cvPoke"} with {@code "in DLL: Corvane stopped"} when the
     *     Corvane application has stopped, or {@code "in DLL: Write error"} on any other failure
     * @throws IllegalStateException when this object is closed
     * @throws NullPointerException when {@code topic}, {@code item} or {@code value} is null
     * @throws BridgeException also with {@code "in DLL: DLL not found."} or {@code "in DLL:
     *     Function not found."}, as the class describes
     */
    public void poke(String topic, String item, String value) {
        Objects.requireNonNull(topic, "topic");
        Objects.requireNonNull(item, "item");
        Objects.requireNonNull(value, "value");
        ensureOpen();
        Brenmoor.cvPoke(topic, item, value);
        PlcLink.check("cvPoke");
    }

    /**
     * Reads a value ({@link Brenmoor#cvRequest}, which describes how the reply's bytes become the
     * string).
     *
     * @param topic handed on as its modified UTF-8 bytes, not null
     * @param item handed on as its modified UTF-8 bytes, not null
     * @return the reply, at most 4095 bytes of text; never null
     * @throws BridgeException {@code "cvRequest"} with {@code "in DLL: Corvane stopped"} when the
     *     Corvane application has stopped, {@code "in DLL: Read error"} on any other failure (the
     *     simulated library fails so for an item never poked), or {@code "in DLL: Exception
     *     Occurred."} when the JVM could not make the reply into a string
     * @throws IllegalStateException when this object is closed
     * @throws NullPointerException when {@code topic} or {@code item} is null
     * @throws BridgeException also with {@code "in DLL: DLL not found."} or {@code "in DLL:
     *     Function not found."}, as the class describes
     */
    public String request(String topic, String item) {
        Objects.requireNonNull(topic, "topic");
        Objects.requireNonNull(item, "item");
        ensureOpen();
        String reply = Brenmoor.cvRequest(topic, item);
        PlcLink.check("cvRequest");
        return reply;
    }

    /**
     * Gives back this object's load of the library ({@link Brenmoor#cvFinish()}); it is released
     * when no other load is left. A second call does nothing.
     */
    @Override
    public void close() {
        if (closed.compareAndSet(false, true)) {
            Brenmoor.cvFinish();
        }
    }

    private void ensureOpen() {
        if (closed.get()) {
            throw new IllegalStateException("DataAccess is closed");
        }
    }
}
