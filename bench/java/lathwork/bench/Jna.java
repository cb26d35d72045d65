package lathwork.bench;

import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Pointer;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * What a careful JNA user writes around the raw entry points: texts as NUL-terminated UTF-8
 * {@code byte[]}, one {@link Memory} per thread for the words and one for the reply, reused on
 * every call, and the bridge's conversions and status rules in Java. The two mappings differ only
 * in how the raw calls are bound.
 */
abstract class Jna extends Contender {
    private final Memory words = new Memory(2L * WORDS);
    private final Memory reply = new Memory(4096);
    private final short[] shorts = new short[WORDS];

    abstract int write(int link, int area, int address, Pointer words, int count);

    abstract int read(int link, int area, int address, Pointer words, int count);

    abstract int poke(byte[] topic, byte[] item, byte[] value);

    abstract int request(byte[] topic, byte[] item, Pointer reply);

    private static byte[] text(String s) {
        byte[] utf8 = s.getBytes(StandardCharsets.UTF_8);
        return Arrays.copyOf(utf8, utf8.length + 1);
    }

    @Override
    void regWrite(int link, int area, int address, int value) {
        words.setShort(0, (short) value);
        linkStatus(write(link, area, address, words, 1), "in DLL: RegWrite Error\n");
    }

    @Override
    void regWrite(int link, int area, int address, int[] values, int count) {
        for (int i = 0; i < count; i++) {
            shorts[i] = (short) values[i];
        }
        words.write(0, shorts, 0, count);
        linkStatus(write(link, area, address, words, count), "in DLL: RegWrite Error\n");
    }

    @Override
    void regRead(int link, int area, int address, int[] values, int count) {
        int status = read(link, area, address, words, count);
        words.read(0, shorts, 0, count);
        for (int i = 0; i < count; i++) {
            values[i] = shorts[i] & 0xFFFF;
        }
        linkStatus(status, "in DLL: RegRead Error\n");
    }

    @Override
    int[] regRead(int link, int area, int address, int count) {
        int[] values = new int[count];
        regRead(link, area, address, values, count);
        return values;
    }

    @Override
    void cvPoke(String topic, String item, String value) {
        corvaneStatus(poke(text(topic), text(item), text(value)), "in DLL: Write error\n");
    }

    @Override
    String cvRequest(String topic, String item) {
        int status = request(text(topic), text(item), reply);
        return corvaneStatus(status, "in DLL: Read error\n") ? reply.getString(0, "UTF-8") : "-1";
    }

    /** Direct mapping: static native methods bound once with {@code Native.register}. */
    static final class Direct extends Jna {
        static final class Plc {
            static native int CVDLLRZ_RegWrite(int link, int area, int address, Pointer w, int n);

            static native int CVDLLRZ_RegRead(int link, int area, int address, Pointer w, int n);

            static {
                Native.register(Plc.class, NativeLibrary.getInstance(library("CVDLL1RZ1.dll")));
            }
        }

        static final class Cv {
            static native int CVDA_Poke(byte[] topic, byte[] item, byte[] value);

            static native int CVDA_Request(byte[] topic, byte[] item, Pointer reply);

            static {
                Native.register(Cv.class, NativeLibrary.getInstance(library("CVDAlib.dll")));
            }
        }

        @Override
        int write(int link, int area, int address, Pointer words, int count) {
            return Plc.CVDLLRZ_RegWrite(link, area, address, words, count);
        }

        @Override
        int read(int link, int area, int address, Pointer words, int count) {
            return Plc.CVDLLRZ_RegRead(link, area, address, words, count);
        }

        @Override
        int poke(byte[] topic, byte[] item, byte[] value) {
            return Cv.CVDA_Poke(topic, item, value);
        }

        @Override
        int request(byte[] topic, byte[] item, Pointer reply) {
            return Cv.CVDA_Request(topic, item, reply);
        }
    }

    /** Interface mapping: one interface per library, implemented by {@code Native.load}. */
    static final class Interface extends Jna {
        interface Plc extends Library {
            int CVDLLRZ_RegWrite(int link, int area, int address, Pointer words, int count);

            int CVDLLRZ_RegRead(int link, int area, int address, Pointer words, int count);
        }

        interface Cv extends Library {
            int CVDA_Poke(byte[] topic, byte[] item, byte[] value);

            int CVDA_Request(byte[] topic, byte[] item, Pointer reply);
        }

        private static final Plc PLC = Native.load(library("CVDLL1RZ1.dll"), Plc.class);
        private static final Cv CV = Native.load(library("CVDAlib.dll"), Cv.class);

        @Override
        int write(int link, int area, int address, Pointer words, int count) {
            return PLC.CVDLLRZ_RegWrite(link, area, address, words, count);
        }

        @Override
        int read(int link, int area, int address, Pointer words, int count) {
            return PLC.CVDLLRZ_RegRead(link, area, address, words, count);
        }

        @Override
        int poke(byte[] topic, byte[] item, byte[] value) {
            return CV.CVDA_Poke(topic, item, value);
        }

        @Override
        int request(byte[] topic, byte[] item, Pointer reply) {
            return CV.CVDA_Request(topic, item, reply);
        }
    }
}
