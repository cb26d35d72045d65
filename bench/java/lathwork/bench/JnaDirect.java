package lathwork.bench;

import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;

/**
 * JNA direct mapping: static native methods bound to the libraries once with Native.register.
 * (On 32-bit Windows the binding would also need the stdcall convention option.)
 */
final class JnaDirect extends Contender {
    static final class Plc {
        static native int CVDLLRZ_Open(int link, int unit, int protocol, int timeout, int retries);

        static native int CVDLLRZ_RegWrite(int link, int area, int address, short[] words, int count);

        static native int CVDLLRZ_RegRead(int link, int area, int address, short[] words, int count);
    }

    static final class Cv {
        static native int CVDA_Poke(String topic, String item, String value);

        static native int CVDA_Request(String topic, String item, byte[] reply);
    }

    @Override
    void bind() {
        Native.register(Plc.class, NativeLibrary.getInstance(JavaSide.library("CVDLL1RZ1.dll")));
        Native.register(Cv.class, NativeLibrary.getInstance(JavaSide.library("CVDAlib.dll")));
    }

    @Override
    void open(int link, int unit, int protocol, int timeout, int retries) {
        JavaSide.linkStatus(Plc.CVDLLRZ_Open(link, unit, protocol, timeout, retries),
                "in DLL: Open Error\n");
    }

    @Override
    void regWrite(int link, int area, int address, int value) {
        short[] words = {(short) value};
        JavaSide.linkStatus(Plc.CVDLLRZ_RegWrite(link, area, address, words, 1),
                "in DLL: RegWrite Error\n");
    }

    @Override
    void regWrite(int link, int area, int address, int[] values, int count) {
        if (!JavaSide.blockFits(values, count)) {
            System.out.print("in DLL: RegWrite Error\n");
            return;
        }
        short[] words = JavaSide.toWords(values, count);
        JavaSide.linkStatus(Plc.CVDLLRZ_RegWrite(link, area, address, words, count),
                "in DLL: RegWrite Error\n");
    }

    @Override
    void regRead(int link, int area, int address, int[] values, int count) {
        if (!JavaSide.blockFits(values, count)) {
            System.out.print("in DLL: RegRead Error\n");
            return;
        }
        short[] words = new short[count];
        int status = Plc.CVDLLRZ_RegRead(link, area, address, words, count);
        JavaSide.widen(words, values, count);
        JavaSide.linkStatus(status, "in DLL: RegRead Error\n");
    }

    @Override
    int[] regRead(int link, int area, int address, int count) {
        int[] values = new int[count];
        short[] words = new short[count];
        int status = Plc.CVDLLRZ_RegRead(link, area, address, words, count);
        JavaSide.widen(words, values, count);
        JavaSide.linkStatus(status, "in DLL: RegRead Error\n");
        return values;
    }

    @Override
    void cvPoke(String topic, String item, String value) {
        JavaSide.corvaneStatus(Cv.CVDA_Poke(topic, item, value), "in DLL: Write error\n");
    }

    @Override
    String cvRequest(String topic, String item) {
        byte[] reply = new byte[JavaSide.REPLY_BYTES];
        int status = Cv.CVDA_Request(topic, item, reply);
        return JavaSide.corvaneStatus(status, "in DLL: Read error\n")
                ? JavaSide.replyText(reply)
                : "-1";
    }
}
