package lathwork.bench;

import java.util.ArrayList;
import java.util.List;
import java.util.function.LongUnaryOperator;

/**
 * The floor mechanism of a hosted call: a 64-byte message to a 32-bit echo program and back
 * through a mailbox in shared memory, turn by turn as the bridge and its host take turns
 * ({@code bench/mailbox/}), one JNI call per round trip. Loaded once, by the application class
 * loader.
 */
final class MailboxFloor {
    private static final int BOXES = 2;

    private MailboxFloor() {}

    private static native int start(String echo, int boxes);

    private static native int echo(int box, int seed);

    /** Starts the echo program on two mailboxes; one loop a mailbox, each checked first. */
    static List<LongUnaryOperator> start(String dir) {
        System.load(dir + "/libmailboxfloor.so");
        int failed = start(dir + "/mailbox-echo32", BOXES);
        if (failed != 0) {
            throw new IllegalStateException("the echo program did not start: error " + failed);
        }
        List<LongUnaryOperator> loops = new ArrayList<>();
        for (int box = 0; box < BOXES; box++) {
            if (echo(box, 1000) != 16 * 1000 + 120) {
                throw new IllegalStateException("the echo program's reply differs");
            }
            int b = box;
            loops.add(n -> {
                long sum = 0;
                for (long i = 0; i < n; i++) {
                    sum += echo(b, (int) i);
                }
                return sum;
            });
        }
        return loops;
    }
}
