package lathwork.bench;

/**
 * One way for a Java program to reach the two outside libraries. Every implementation offers the
 * same Java-level methods as {@code lathwork.Brenmoor} with the same results (words widened
 * without sign to 0..65535, values written as their low 16 bits, "-1" for a failed request), so
 * the benchmark compares equal work.
 *
 * <p>A child JVM loads exactly one implementation, so the JIT sees a single receiver class at
 * every call in the loops below and can inline the call as it would in a user's program.
 */
abstract class Contender {
    /** Loads the libraries and finds the entry points, as the approach would at program start. */
    abstract void bind() throws Exception;

    /** Opens a link with a library protocol code (101, 110, 111). */
    abstract void open(int link, int unit, int protocol, int timeout, int retries);

    abstract void regWrite(int link, int area, int address, int value);

    abstract void regWrite(int link, int area, int address, int[] values, int count);

    abstract void regRead(int link, int area, int address, int[] values, int count);

    abstract int[] regRead(int link, int area, int address, int count);

    abstract void cvPoke(String topic, String item, String value);

    abstract String cvRequest(String topic, String item);

    // The measured loops. Each returns a checksum built from every result so that the JIT cannot
    // drop a call or its conversions; written values vary with the loop index for the same reason.

    final long loopRegWrite(long n, int link) {
        for (long i = 0; i < n; i++) {
            regWrite(link, 0, Workload.SINGLE_ADDRESS, (int) i);
        }
        return n;
    }

    final long loopRegReadNew(long n, int link, int count) {
        long sum = 0;
        for (long i = 0; i < n; i++) {
            int[] words = regRead(link, 0, 0, count);
            sum += words[words.length - 1];
        }
        return sum;
    }

    final long loopRegReadInto(long n, int link, int[] into) {
        long sum = 0;
        for (long i = 0; i < n; i++) {
            regRead(link, 0, 0, into, into.length);
            sum += into[into.length - 1];
        }
        return sum;
    }

    final long loopRegWriteBlock(long n, int link, int[] values) {
        long sum = 0;
        for (long i = 0; i < n; i++) {
            values[0] = (int) i;
            regWrite(link, 0, Workload.BLOCK_ADDRESS, values, values.length);
            sum += values[0];
        }
        return sum;
    }

    final long loopCvPoke(long n) {
        for (long i = 0; i < n; i++) {
            cvPoke(Workload.TOPIC, Workload.POKE_ITEM, Workload.POKE_VALUE);
        }
        return n;
    }

    final long loopCvRequest(long n, String item) {
        long sum = 0;
        for (long i = 0; i < n; i++) {
            String reply = cvRequest(Workload.TOPIC, item);
            sum += reply.length() + reply.charAt(reply.length() - 1);
        }
        return sum;
    }
}
