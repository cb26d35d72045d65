package morlane;

/**
 * What kind of failure a {@link lathwork.Brenmoor} call met, as {@link CallRecord#lastFailure()}
 * and {@link BridgeException#kind()} tell it. The diagnostic lines alone cannot tell these apart:
 * a deadline that passed, a host that died and a PLC that refused a write all end with
 * {@code "in DLL: RegWrite Error"}.
 */
public enum FailureKind {
    /** The call succeeded. */
    NONE("no failure"),
    /** The library ran and reported failure, or answered what a library must not. */
    LIBRARY_FAILED("library failed"),
    /** The library was not loaded ({@code "in DLL: DLL not found."}). */
    NOT_LOADED("not loaded"),
    /** The loaded library lacks the entry point ({@code "in DLL: Function not found."}). */
    ENTRY_MISSING("entry point missing"),
    /**
     * The bridge refused the arguments and called nothing: a null text or array, a count the
     * array does not hold, a call over a hosted limit, a text the JVM could not convert.
     */
    REFUSED("refused by the bridge"),
    /**
     * The host process serving a hosted library died, or wrote what no host writes; the library
     * counts as not loaded until the next start.
     */
    HOST_LOST("host lost"),
    /**
     * The hosted call outlived its deadline ({@link CallRecord#setLinkDeadline(long)}) and its host
     * was ended; the library counts as not loaded until the next start.
     */
    DEADLINE_PASSED("deadline passed"),
    /**
     * The host process serving a hosted library had no room for another calling thread (its
     * memory or threads ran out) and called nothing; the library stays loaded and serves the
     * threads it has. Fewer threads calling at once, or a retry once some have ended, succeed.
     */
    HOST_BUSY("host busy");

    private final String description;

    FailureKind(String description) {
        this.description = description;
    }

    /**
     * The kind in a few words, as {@link BridgeException}'s message names it.
     *
     * @return for example {@code "host lost"} or {@code "deadline passed"}
     */
    public String description() {
        return description;
    }
}
