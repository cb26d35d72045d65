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

    /**
     * One thread's calls of {@code op} on a new {@code lathwork.bench.<contender>}, called through
     * the contender's class loader. The first bridge in the JVM opens the links (protocol 110)
     * that all contenders use.
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
        return n -> {
            try {
                switch (op) {
                    case "write": return c.write(n, link);
                    case "writeBlock": return c.writeBlock(n, link, array);
                    case "read16": return c.read(n, link, 16);
                    case "read4096": return c.read(n, link, 4096);
                    case "readInto": return c.readInto(n, link, array);
                    case "poke": return c.poke(n);
                    case "request": return c.request(n);
                    default: throw new IllegalArgumentException(op);
                }
            } catch (Throwable t) {
                throw new IllegalStateException(t);
            }
        };
    }

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

    /** Fills registers of links 0 and 1 and an item, checking that this contender's results
     * are the bridge's. */
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

    /** For bench/callgrind.sh, the bridge alone: {@code Contender write|readN|request CALLS}. */
    public static void main(String[] args) throws Throwable {
        NativeLibrary.getInstance(library("libsimctl.so")).getFunction("simctl_set_recording")
                .invoke(new Object[] {0});
        Brenmoor.start();
        Brenmoor.cvStart();
        Brenmoor.open(0, 1, 110, 1000, 0);
        Contender c = new Contender();
        c.cvPoke(TOPIC, ITEM, VALUE);
        long n = Long.parseLong(args[1]);
        long sum = args[0].equals("write") ? c.write(n, 0)
                : args[0].startsWith("read") ? c.read(n, 0, Integer.parseInt(args[0].substring(4)))
                : c.request(n);
        System.exit(sum >= 0 ? 0 : 1);
    }
}
