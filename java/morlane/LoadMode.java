package morlane;

/**
 * How an outside library is loaded now, as {@link CallRecord#linkLoadMode()} and {@link
 * CallRecord#corvaneLoadMode()} tell it; the same as the ints of {@link CallRecord#linkMode()}.
 */
public enum LoadMode {
    /** No start yet, the load failed, or the last finish released it ({@link CallRecord#NOT_LOADED}). */
    NOT_LOADED,
    /** Loaded into the JVM's own process ({@link CallRecord#IN_PROCESS}). */
    IN_PROCESS,
    /** Loaded by a helper process, {@code morlane-host32} ({@link CallRecord#HOSTED}). */
    HOSTED;

    /**
     * The enum for one of {@link CallRecord}'s ints.
     *
     * @param mode {@link CallRecord#NOT_LOADED}, {@link CallRecord#IN_PROCESS} or {@link
     *     CallRecord#HOSTED}
     * @return its constant
     * @throws IllegalArgumentException for any other value
     */
    public static LoadMode of(int mode) {
        if (mode < 0 || mode >= values().length) {
            throw new IllegalArgumentException("no load mode " + mode);
        }
        return values()[mode];
    }
}
