package lathwork.bench;

import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.Pointer;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * What a careful JNA user writes around the raw entry points: texts as NUL-terminated UTF-8
 * {@code byte[]}, one {@link Memory} per thread for the words and one for the reply, reused on
 * every call. The two mappings share this body and differ only in what implements the library
 * interfaces.
 */
abstract class Jna extends Contender {
    public interface Plc extends Library {
        int CVDLLRZ_RegWrite(int link, int area, int address, Pointer words, int count);
        int CVDLLRZ_RegRead(int link, int area, int address, Pointer words, int count);
    }

    public interface Cv extends Library {
        int CVDA_Poke(byte[] topic, byte[] item, byte[] value);
        int CVDA_Request(byte[] topic, byte[] item, Pointer reply);
    }

    private final Plc plc;
    private final Cv cv;
    private final Memory words = new Memory(2L * WORDS);
    private final Memory reply = new Memory(4096);
    private final short[] shorts = new short[WORDS];

    Jna(Plc plc, Cv cv) {
        this.plc = plc;
        this.cv = cv;
    }

    private static byte[] text(String s) {
        byte[] utf8 = s.getBytes(StandardCharsets.UTF_8);
        return Arrays.copyOf(utf8, utf8.length + 1);
    }

    @Override
    void regWrite(int link, int area, int address, int value) {
        words.setShort(0, (short) value);
        linkStatus(plc.CVDLLRZ_RegWrite(link, area, address, words, 1), "in DLL: RegWrite Error\n");
    }

    @Override
    void regWrite(int link, int area, int address, int[] values, int count) {
        for (int i = 0; i < count; i++) {
            shorts[i] = (short) values[i];
        }
        words.write(0, shorts, 0, count);
        linkStatus(plc.CVDLLRZ_RegWrite(link, area, address, words, count),
                "in DLL: RegWrite Error\n");
    }

    @Override
    void regRead(int link, int area, int address, int[] values, int count) {
        int status = plc.CVDLLRZ_RegRead(link, area, address, words, count);
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
        corvaneStatus(cv.CVDA_Poke(text(topic), text(item), text(value)), "in DLL: Write error\n");
    }

    @Override
    String cvRequest(String topic, String item) {
        int status = cv.CVDA_Request(text(topic), text(item), reply);
        return corvaneStatus(status, "in DLL: Read error\n") ? reply.getString(0, "UTF-8") : "-1";
    }

    /** Direct mapping: the interfaces implemented by native methods bound with register. */
    static final class Direct extends Jna {
        static final class NativePlc implements Plc {
            static {
                Native.register(NativePlc.class, library("CVDLL1RZ1.dll"));
            }

            @Override
            public native int CVDLLRZ_RegWrite(int link, int area, int address, Pointer w, int n);

            @Override
            public native int CVDLLRZ_RegRead(int link, int area, int address, Pointer w, int n);
        }

        static final class NativeCv implements Cv {
            static {
                Native.register(NativeCv.class, library("CVDAlib.dll"));
            }

            @Override
            public native int CVDA_Poke(byte[] topic, byte[] item, byte[] value);

            @Override
            public native int CVDA_Request(byte[] topic, byte[] item, Pointer reply);
        }

        Direct() {
            super(new NativePlc(), new NativeCv());
        }
    }

    /** Interface mapping: the interfaces implemented by {@code Native.load}. */
    static final class Interface extends Jna {
        Interface() {
            super(Native.load(library("CVDLL1RZ1.dll"), Plc.class),
                    Native.load(library("CVDAlib.dll"), Cv.class));
        }
    }
}
