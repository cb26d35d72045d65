package lathwork.bench;

import com.sun.jna.NativeLibrary;
import java.util.Arrays;
import java.util.function.LongUnaryOperator;
import lathwork.Brenmoor;

/**
 * One way for a Java program to reach the two outside libraries. This class calls the bridge, as
 * a user does (its class loader decides which build of the bridge is bound); {@link Jna} and
 * {@code Ffm} override every call and give the same results: values written as their low 16
 * bits, words read back as 0..65535, "-1" for a failed request, the operation's line on failure.
 * One instance per thread. Each contender is loaded by a class loader of its own, so every call
 * in the loops below has one receiver class, as in a program that uses one mechanism.
 */
public class Contender {
    static final int WORDS = 4096;
    static final String TOPIC = "bench";
    static final String ITEM = "r16";
    static final String VALUE = "speed=1250;ok=1!";
    private static boolean prepared;

    void regWrite(int link, int area, int address, int value) throws Throwable {
        Brenmoor.regWrite(link, area, address, value);
    }

    void regWrite(int link, int area, int address, int[] values, int count) throws Throwable {
        Brenmoor.regWrite(link, area, address, values, count);
    }

    void regRead(int link, int area, int address, int[] values, int count) throws Throwable {
        Brenmoor.regRead(link, area, address, values, count);
    }

    int[] regRead(int link, int area, int address, int count) throws Throwable {
        return Brenmoor.regRead(link, area, address, count);
    }

    void cvPoke(String topic, String item, String value) throws Throwable {
        Brenmoor.cvPoke(topic, item, value);
    }

    String cvRequest(String topic, String item) throws Throwable {
        return Brenmoor.cvRequest(topic, item);
    }

    private interface Loop {
        long run(long n) throws Throwable;
    }

    /**
     * One thread's loop of {@code op} on a new {@code lathwork.bench.<contender>}, made through
     * the contender's class loader. The first bridge in the JVM opens the links (protocol 110)
     * that all contenders use. Each loop sums something of every result and varies what it
     * writes, so the JIT can drop neither a call nor a conversion.
     */
    public static LongUnaryOperator loop(String contender, String op, int link, int length,
            boolean open) throws Throwable {
        Contender c = (Contender) Class.forName("lathwork.bench." + contender)
                .getDeclaredConstructor().newInstance();
        if (!prepared) {
            c.prepare(open);
            prepared = true;
        }
        int[] array = new int[length];
        Arrays.setAll(array, Contender::pattern);
        int count = op.equals("read4096") ? 4096 : 16;
        Loop loop = switch (op) {
            case "write" -> n -> {
                for (long i = 0; i < n; i++) {
                    c.regWrite(link, 0, 5000, (int) i);
                }
                return n;
            };
            case "writeBlock" -> n -> {
                for (long i = 0; i < n; i++) {
                    array[0] = (int) i;
                    c.regWrite(link, 0, 6000, array, array.length);
                }
                return array[0];
            };
            case "read16", "read4096" -> n -> {
                long sum = 0;
                for (long i = 0; i < n; i++) {
                    sum += c.regRead(link, 0, 0, count)[count - 1];
                }
                return sum;
            };
            case "readInto" -> n -> { // 16 words into an array that may be far longer
                long sum = 0;
                for (long i = 0; i < n; i++) {
                    c.regRead(link, 0, 0, array, 16);
                    sum += array[15];
                }
                return sum;
            };
            case "poke" -> n -> {
                for (long i = 0; i < n; i++) {
                    c.cvPoke(TOPIC, "poke", "1250");
                }
                return n;
            };
            case "request" -> n -> {
                long sum = 0;
                for (long i = 0; i < n; i++) {
                    sum += c.cvRequest(TOPIC, ITEM).length();
                }
                return sum;
            };
            default -> throw new IllegalArgumentException(op);
        };
        return n -> {
            try {
                return loop.run(n);
            } catch (Throwable t) {
                throw new IllegalStateException(t);
            }
        };
    }

    /** The word at register {@code address}: spread over 0..65535, half of them >= 32768. */
    static int pattern(int address) {
        return (address * 40503 + 0x8001) & 0xFFFF;
    }

    /** Fills registers of links 0 and 1 and an item; checks that the results are the bridge's. */
    private void prepare(boolean open) throws Throwable {
        if (getClass() == Contender.class) {
            Brenmoor.start();
            Brenmoor.cvStart();
        }
        int[] block = new int[WORDS];
        Arrays.setAll(block, Contender::pattern);
        for (int link = 0; link < 2; link++) {
            if (open) {
                Brenmoor.open(link, 1, 110, 1000, 0);
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
        regWrite(0, 0, 5001, new int[] {-2, 65536 + 3}, 2);
        check(Arrays.equals(regRead(0, 0, 5000, 3), new int[] {65535, 65534, 3}),
                "the low 16 bits written, words read as 0..65535");
        check(VALUE.equals(cvRequest(TOPIC, ITEM)), "request gives the poked text");
        check("-1".equals(cvRequest(TOPIC, "never-poked")), "a failed request gives -1");
    }

    private void check(boolean ok, String what) {
        if (!ok) {
            throw new IllegalStateException(getClass().getSimpleName() + " differs: " + what);
        }
    }

    static String library(String file) {
        return System.getProperty("bench.sim") + "/" + file;
    }

    // The bridge's status rules, for the contenders that call the libraries from Java. (Its
    // refusal of bad arrays they leave to the bounds checks of Java arrays and native memory.)
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

    /** For bench/callgrind.sh: {@code Contender write|read16|request CALLS}, the calls alone. */
    public static void main(String[] args) throws Throwable {
        NativeLibrary.getInstance(library("libsimctl.so")).getFunction("simctl_set_recording")
                .invoke(new Object[] {0});
        Brenmoor.start();
        Brenmoor.cvStart();
        Brenmoor.open(0, 1, 110, 1000, 0);
        Brenmoor.cvPoke(TOPIC, ITEM, VALUE);
        prepared = true;
        loop("Contender", args[0], 0, 16, false).applyAsLong(Long.parseLong(args[1]));
        System.exit(0);
    }
}
