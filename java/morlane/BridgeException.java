package morlane;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.OptionalInt;

/**
 * A bridge operation failed, as {@link PlcLink} and {@link DataAccess} report it.
 *
 * <p>It carries the name of the {@link lathwork.Brenmoor} method that failed ({@code "open"},
 * {@code "regRead"}, {@code "cvRequest"}, ...) and the diagnostic lines that call wrote to
 * standard output (they were written there as well), the {@link FailureKind kind} of failure and,
 * when the library ran and returned one, its status. The message names all of them, as in
 * {@code "regRead: library failed, status 9: in DLL: RegRead Error"} or {@code "downLoad: host
 * lost: in DLL: Download Error"}.
 *
 * <p>A library that could not be loaded at all is reported with the operation {@code "start"} or
 * {@code "cvStart"}, no diagnostic line (the bridge writes none for a failed load) and
 * {@link #isLibraryMissing()} true.
 *
 * <p>Unchecked: most failures of a PLC or Corvane call are not something the caller can repair on
 * the spot, and those that are (a refused download, say) are easy to catch where they matter.
 */
public class BridgeException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** The line every operation writes when its library is not loaded. */
    static final String DLL_NOT_FOUND = "in DLL: DLL not found.";

    /** The {@code Brenmoor} method that failed. */
    private final String operation;
    /** The lines it wrote, without their newline; unmodifiable. */
    private final List<String> diagnostics;
    /** Whether the library could not be loaded or was found not loaded. */
    private final boolean libraryMissing;
    /** What kind of failure it was. */
    private final FailureKind kind;
    /** Whether the entry point ran and returned {@link #status}. */
    private final boolean hasStatus;
    /** What the entry point returned. */
    private final int status;

    /**
     * @param operation the {@code Brenmoor} method that failed
     * @param lines the lines it wrote, as {@link CallRecord#lastLines()} gives them (a trailing
     *     newline is dropped)
     */
    public BridgeException(String operation, String... lines) {
        this(operation, guess(strip(lines)), lines);
    }

    /**
     * @param operation the {@code Brenmoor} method that failed
     * @param kind what kind of failure it was ({@link CallRecord#lastFailure()})
     * @param lines the lines it wrote, as {@link CallRecord#lastLines()} gives them (a trailing
     *     newline is dropped)
     */
    public BridgeException(String operation, FailureKind kind, String... lines) {
        this(operation, kind, OptionalInt.empty(), lines);
    }

    /**
     * @param operation the {@code Brenmoor} method that failed
     * @param kind what kind of failure it was ({@link CallRecord#lastFailure()})
     * @param status what the entry point returned, if it ran ({@link CallRecord#lastStatus()})
     * @param lines the lines it wrote, as {@link CallRecord#lastLines()} gives them (a trailing
     *     newline is dropped)
     */
    public BridgeException(String operation, FailureKind kind, OptionalInt status,
            String... lines) {
        this(operation, kind, status, strip(lines), null);
    }

    private BridgeException(String operation, FailureKind kind, OptionalInt status,
            List<String> diagnostics, String message) {
        super(message != null ? message : operation + ": "
                + (kind != null ? kind.description() : "failed")
                + (status.isPresent() ? ", status " + status.getAsInt() : "") + ": "
                + String.join(" / ", diagnostics));
        this.operation = operation;
        this.diagnostics = diagnostics;
        this.kind = kind;
        this.hasStatus = status.isPresent();
        this.status = status.orElse(0);
        this.libraryMissing = kind == FailureKind.NOT_LOADED;
    }

    /**
     * The failure of the {@code Brenmoor} call this thread has just made, as the call record
     * holds it; called right after the call, as {@link CallRecord#lastLines()} must be.
     */
    static BridgeException ofLastCall(String operation, String[] lines) {
        return new BridgeException(operation, CallRecord.lastFailure(), CallRecord.lastStatus(),
                lines);
    }

    /**
     * The failure of {@code start} or {@code cvStart} to load {@code file}: it was not found on
     * the library search path, or could not be loaded by this JVM and not by a host process
     * either. {@code reason} is the load failure the bridge kept ({@link
     * CallRecord#linkLoadFailure()}), or null.
     */
    static BridgeException notLoaded(String operation, String file, String reason) {
        return new BridgeException(operation, FailureKind.NOT_LOADED, OptionalInt.empty(),
                Collections.<String>emptyList(), operation + ": " + file + " could not be loaded: "
                        + (reason != null ? reason : "no reason given"));
    }

    /**
     * The {@code Brenmoor} method that failed.
     *
     * @return its name, for example {@code "regWrite"}
     */
    public String operation() {
        return operation;
    }

    /**
     * The diagnostic lines the failed call wrote.
     *
     * @return the lines in order and without their newline, for example {@code ["in DLL: Corvane
     *     stopped"]}; empty for a library that could not be loaded; unmodifiable
     */
    public List<String> diagnostics() {
        return diagnostics;
    }

    /**
     * What kind of failure it was: the library refused, was not loaded, lacks the entry point,
     * the bridge refused the arguments, the host was lost, or the deadline passed.
     * @return the kind, never {@link FailureKind#NONE}
     */
    public FailureKind kind() {
        return kind;
    }

    /**
     * What the outside entry point returned. Its meaning is the library's (the simulated ones
     * document theirs); the bridge itself only tells success from failure.
     *
     * @return the status when the library ran and reported failure ({@link
     *     FailureKind#LIBRARY_FAILED}); empty when the call never reached it
     */
    public OptionalInt status() {
        return hasStatus ? OptionalInt.of(status) : OptionalInt.empty();
    }

    /**
     * Whether the library was missing.
     *
     * @return true when it could not be loaded, or the operation found it not loaded ({@code "in
     *     DLL: DLL not found."})
     */
    public boolean isLibraryMissing() {
        return libraryMissing;
    }

    /** The kind the lines alone can tell; the rest counts as the library's own failure. */
    private static FailureKind guess(List<String> lines) {
        return lines.contains(DLL_NOT_FOUND) ? FailureKind.NOT_LOADED
                : lines.contains("in DLL: Function not found.") ? FailureKind.ENTRY_MISSING
                : FailureKind.LIBRARY_FAILED;
    }

    private static List<String> strip(String[] lines) {
        List<String> stripped = new ArrayList<>(lines.length);
        for (String line : lines) {
            stripped.add(line.endsWith("\n") ? line.substring(0, line.length() - 1) : line);
        }
        return Collections.unmodifiableList(stripped);
    }
}
