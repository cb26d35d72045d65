package lathwork.test;

/**
 * The child JVM's handle on the simulated libraries' test control (simctl): script what they
 * return and read the journal of what they received.
 *
 * <p>The probe library links simctl only. It never loads the simulated libraries themselves: that
 * is the bridge's job under test, and simctl keeps its journal and scripts while they come and go.
 */
final class SimProbe {
    static {
        System.loadLibrary("simprobe");
    }

    private SimProbe() {}

    /** Queues {@code status} as what the next call of {@code entry} returns. */
    static native void scriptStatus(String entry, int status);

    /**
     * Makes every later call of {@code entry} sleep {@code milliseconds} after journaling and before
     * its work; 0 ends the delay.
     */
    static native void setDelay(String entry, int milliseconds);

    /**
     * Makes the next call of {@code entry} journal and then crash the process the simulated
     * library lives in.
     */
    static native void scriptCrash(String entry);

    /**
     * Queues the next {@code CVDA_Request} reply: exactly these bytes, followed by a NUL when
     * {@code terminate} is set.
     */
    static native void scriptReply(byte[] bytes, boolean terminate);

    static native int journalCount();

    /**
     * Clears the journal and every scripted status, reply, delay and crash (simctl_reset); the
     * simulated PLCs and the load counts stay as they are.
     */
    static native void reset();

    /** Journal line {@code index}, or null when there is none. */
    static native String journalLine(int index);

    /**
     * Writes "-- {@code text}" and a newline through the C library's stdout, the stream the bridge
     * writes its lines to, so that markers and diagnostic lines keep their true order.
     */
    static native void mark(String text);

    /**
     * Turns the journal on or off (it is on at first). A scenario that makes many thousands of
     * calls turns it off, so the journal neither fills up nor floods the report.
     */
    static native void setRecording(boolean on);

    /**
     * Whether the simulated library {@code file} (a bare file name, as the bridge loads it) is
     * loaded now, in this process or in a host process serving it; asking neither loads it nor
     * keeps it loaded.
     */
    static native boolean isLoaded(String file);

    /**
     * Makes a JNI call that -Xcheck:jni must warn about (a second JNI call after a Java method
     * call, without checking for an exception in between). Only for proving that the harness
     * notices such warnings.
     */
    static native void provokeJniWarning();
}
