package lathwork.bench;

/** Switches the simulated libraries' call journal off, so that no contender pays for it. */
final class SimControl {
    static {
        System.loadLibrary("morlane_bench");
    }

    private SimControl() {}

    /** Turns the journal off; false when the simulation's control library cannot be reached. */
    static native boolean quiet();

    /** Lines in the journal, or -1 when the control library cannot be reached. */
    static native int journalCount();
}
