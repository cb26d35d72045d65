package lathwork.bench;

import java.util.Arrays;

/**
 * The data every contender works on, and the check that a contender really does the bridge's
 * work: before anything is timed, each fork writes a register pattern and Corvane values through
 * its contender and reads them back through the same contender. A contender whose conversions
 * differ from the bridge's (a sign-extended word, a truncated reply) fails the fork instead of
 * producing a flattering figure.
 */
final class Workload {
    static final int UNIT = 1;
    static final int PROTOCOL = 110;
    static final int MAX_WORDS = 4096;
    static final int SINGLE_ADDRESS = 5000;
    static final int BLOCK_ADDRESS = 6000;

    static final String TOPIC = "bench";
    static final String POKE_ITEM = "poke";
    static final String POKE_VALUE = "1250";
    static final String ITEM_16 = "r16";
    static final String ITEM_4095 = "r4095";
    static final String VALUE_16 = "speed=1250;ok=1!";
    static final String VALUE_4095 = text(4095);

    private Workload() {}

    /** The word stored at register {@code address}: spread over 0..65535, half of them >= 32768. */
    static int pattern(int address) {
        return (address * 40503 + 0x8001) & 0xFFFF;
    }

    static int[] patternBlock(int count) {
        int[] words = new int[count];
        for (int i = 0; i < count; i++) {
            words[i] = pattern(i);
        }
        return words;
    }

    /** Opens {@code links} links and fills registers and Corvane items, then checks them. */
    static void prepare(Contender c, int links) {
        prepare(c, links, true);
    }

    /** As {@link #prepare(Contender, int)}; {@code open} false when the links are open already. */
    static void prepare(Contender c, int links, boolean open) {
        for (int link = 0; link < links; link++) {
            if (open) {
                c.open(link, UNIT, PROTOCOL, 1000, 0);
            }
            c.regWrite(link, 0, 0, patternBlock(MAX_WORDS), MAX_WORDS);
        }
        c.cvPoke(TOPIC, ITEM_16, VALUE_16);
        c.cvPoke(TOPIC, ITEM_4095, VALUE_4095);
        verify(c, links);
    }

    private static void verify(Contender c, int links) {
        for (int link = 0; link < links; link++) {
            expect(Arrays.equals(c.regRead(link, 0, 0, MAX_WORDS), patternBlock(MAX_WORDS)),
                    "regRead(4096) on link " + link + " does not return the pattern as 0..65535");
            int[] into = new int[20];
            Arrays.fill(into, -7);
            c.regRead(link, 0, 0, into, 16);
            expect(Arrays.equals(Arrays.copyOf(into, 16), patternBlock(16)) && into[16] == -7,
                    "regRead into a passed array differs from the bridge's");
        }
        c.regWrite(0, 0, SINGLE_ADDRESS, -1);
        expect(c.regRead(0, 0, SINGLE_ADDRESS, 1)[0] == 65535, "regWrite(-1) must write 0xFFFF");
        c.regWrite(0, 0, SINGLE_ADDRESS, 0x18000);
        expect(c.regRead(0, 0, SINGLE_ADDRESS, 1)[0] == 32768, "regWrite must keep the low 16 bits");
        c.regWrite(0, 0, BLOCK_ADDRESS, new int[] {-2, 65536 + 3}, 2);
        expect(Arrays.equals(c.regRead(0, 0, BLOCK_ADDRESS, 2), new int[] {65534, 3}),
                "block regWrite must keep the low 16 bits");
        expect(VALUE_16.equals(c.cvRequest(TOPIC, ITEM_16)), "16-byte reply differs");
        expect(VALUE_4095.equals(c.cvRequest(TOPIC, ITEM_4095)), "4095-byte reply differs");
        expect("-1".equals(c.cvRequest(TOPIC, "never-poked")), "a failed request must give -1");
    }

    private static void expect(boolean ok, String what) {
        if (!ok) {
            throw new IllegalStateException("contender check failed: " + what);
        }
    }

    private static String text(int length) {
        StringBuilder b = new StringBuilder(length);
        for (int i = 0; i < length; i++) {
            b.append((char) ('a' + i % 26));
        }
        return b.toString();
    }
}
