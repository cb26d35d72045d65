package lathwork.bench;

import java.nio.charset.StandardCharsets;

/**
 * The conversions and status rules that the bridge does in C++, done in Java for the contenders
 * that call the outside libraries without it. Texts cross as UTF-8, which equals the bridge's
 * modified UTF-8 for every text without NUL characters or characters beyond the BMP.
 */
final class JavaSide {
    static final int REPLY_BYTES = 4096;

    private JavaSide() {}

    /** Where the simulated libraries live; the harness passes it to every fork. */
    static String library(String fileName) {
        return System.getProperty("lathwork.bench.sim") + "/" + fileName;
    }

    /** Low 16 bits of each of the first {@code count} values. */
    static short[] toWords(int[] values, int count) {
        short[] words = new short[count];
        for (int i = 0; i < count; i++) {
            words[i] = (short) values[i];
        }
        return words;
    }

    /** The words widened without sign into the first {@code count} elements of {@code into}. */
    static void widen(short[] words, int[] into, int count) {
        for (int i = 0; i < count; i++) {
            into[i] = words[i] & 0xFFFF;
        }
    }

    /** The NUL-terminated text in a reply area. */
    static String replyText(byte[] reply) {
        int length = 0;
        while (length < reply.length && reply[length] != 0) {
            length++;
        }
        return new String(reply, 0, length, StandardCharsets.UTF_8);
    }

    static boolean blockFits(int[] values, int count) {
        return values != null && count >= 0 && count <= values.length;
    }

    static void linkStatus(int status, String line) {
        if (status != 0) {
            System.out.print(line);
        }
    }

    /** 1 is success, 0 a stopped application, anything else the operation's own failure. */
    static boolean corvaneStatus(int status, String failure) {
        if (status == 1) {
            return true;
        }
        System.out.print(status == 0 ? "in DLL: Corvane stopped\n" : failure);
        return false;
    }
}
