package lathwork.bench;

import java.util.Arrays;

/**
 * One way for a Java program to reach the two outside libraries, giving the results that
 * {@code lathwork.Brenmoor} gives: values written as their low 16 bits, words read back as
 * 0..65535, "-1" for a failed request, the operation's line on failure. One instance per thread.
 * Each contender class is loaded by a class loader of its own, so every call in the loops below
 * has one receiver class, as in a program that uses one mechanism.
 */
abstract class Contender {
    static final int WORDS = 4096;
    static final String TOPIC = "bench";
    static final String ITEM = "r16";
    static final String VALUE = "speed=1250;ok=1!";

    /** Only the bridge opens links (protocol 110); the other contenders use them. */
    void open(int link) {
        throw new UnsupportedOperationException();
    }

    abstract void regWrite(int link, int area, int address, int value) throws Throwable;

    abstract void regWrite(int link, int area, int address, int[] values, int count)
            throws Throwable;

    abstract void regRead(int link, int area, int address, int[] values, int count)
            throws Throwable;

    abstract int[] regRead(int link, int area, int address, int count) throws Throwable;

    abstract void cvPoke(String topic, String item, String value) throws Throwable;

    abstract String cvRequest(String topic, String item) throws Throwable;

    // The measured loops. Each sums something of every result and varies what it writes, so the
    // JIT can drop neither a call nor a conversion.

    final long write(long n, int link) throws Throwable {
        for (long i = 0; i < n; i++) {
            regWrite(link, 0, 5000, (int) i);
        }
        return n;
    }

    final long writeBlock(long n, int link, int[] values) throws Throwable {
        for (long i = 0; i < n; i++) {
            values[0] = (int) i;
            regWrite(link, 0, 6000, values, values.length);
        }
        return values[0];
    }

    final long read(long n, int link, int count) throws Throwable {
        long sum = 0;
        for (long i = 0; i < n; i++) {
            sum += regRead(link, 0, 0, count)[count - 1];
        }
        return sum;
    }

    /** Reads 16 words into an array that may be far longer. */
    final long readInto(long n, int link, int[] into) throws Throwable {
        long sum = 0;
        for (long i = 0; i < n; i++) {
            regRead(link, 0, 0, into, 16);
            sum += into[15];
        }
        return sum;
    }

    final long poke(long n) throws Throwable {
        for (long i = 0; i < n; i++) {
            cvPoke(TOPIC, "poke", "1250");
        }
        return n;
    }

    final long request(long n) throws Throwable {
        long sum = 0;
        for (long i = 0; i < n; i++) {
            sum += cvRequest(TOPIC, ITEM).length();
        }
        return sum;
    }

    /** The word at register {@code address}: spread over 0..65535, half of them >= 32768. */
    static int pattern(int address) {
        return (address * 40503 + 0x8001) & 0xFFFF;
    }

    /** Fills registers of links 0 and 1 and an item (opening the links first when asked). */
    final void prepare(boolean open) throws Throwable {
        int[] block = new int[WORDS];
        Arrays.setAll(block, Contender::pattern);
        for (int link = 0; link < 2; link++) {
            if (open) {
                open(link);
            }
            regWrite(link, 0, 0, block, WORDS);
            check(Arrays.equals(regRead(link, 0, 0, WORDS), block), "4096 words read back");
        }
        cvPoke(TOPIC, ITEM, VALUE);
        int[] into = new int[20];
        Arrays.fill(into, -7);
        regRead(0, 0, 0, into, 16);
        check(Arrays.equals(Arrays.copyOf(into, 16), Arrays.copyOf(block, 16)) && into[16] == -7,
                "16 words read into a passed array, the rest untouched");
        regWrite(0, 0, 5000, -1);
        check(regRead(0, 0, 5000, 1)[0] == 65535, "regWrite(-1) writes 0xFFFF");
        regWrite(0, 0, 6000, new int[] {-2, 65536 + 3}, 2);
        check(Arrays.equals(regRead(0, 0, 6000, 2), new int[] {65534, 3}), "low 16 bits kept");
        check(VALUE.equals(cvRequest(TOPIC, ITEM)), "request gives the poked text");
        check("-1".equals(cvRequest(TOPIC, "never-poked")), "a failed request gives -1");
    }

    private void check(boolean ok, String what) {
        if (!ok) {
            throw new IllegalStateException(getClass().getSimpleName() + " differs: " + what);
        }
    }

    // The bridge's status rules, for the contenders that call the libraries from Java. (Its
    // refusal of bad arrays they leave to the bounds checks of Java arrays and JNA or FFM memory.)

    static void linkStatus(int status, String line) {
        if (status != 0) {
            System.out.print(line);
        }
    }

    /** 1 is success, 0 a stopped application, anything else the operation's own failure. */
    static boolean corvaneStatus(int status, String failure) {
        if (status != 1) {
            System.out.print(status == 0 ? "in DLL: Corvane stopped\n" : failure);
        }
        return status == 1;
    }

    static String library(String file) {
        return System.getProperty("bench.sim") + "/" + file;
    }
}
