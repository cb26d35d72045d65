package lathwork.bench;

import com.sun.jna.Library;
import com.sun.jna.Native;

/**
 * JNA interface mapping: a Java interface per library, implemented by a proxy from Native.load.
 * (On 32-bit Windows the interfaces would extend StdCallLibrary.)
 */
final class JnaInterface extends Contender {
    interface Plc extends Library {
        int CVDLLRZ_Open(int link, int unit, int protocol, int timeout, int retries);

        int CVDLLRZ_RegWrite(int link, int area, int address, short[] words, int count);

        int CVDLLRZ_RegRead(int link, int area, int address, short[] words, int count);
    }

    interface Cv extends Library {
        int CVDA_Poke(String topic, String item, String value);

        int CVDA_Request(String topic, String item, byte[] reply);
    }

    private Plc plc;
    private Cv cv;

    @Override
    void bind() {
        plc = Native.load(JavaSide.library("CVDLL1RZ1.dll"), Plc.class);
        cv = Native.load(JavaSide.library("CVDAlib.dll"), Cv.class);
    }

    @Override
    void open(int link, int unit, int protocol, int timeout, int retries) {
        JavaSide.linkStatus(plc.CVDLLRZ_Open(link, unit, protocol, timeout, retries),
                "in DLL: Open Error\n");
    }

    @Override
    void regWrite(int link, int area, int address, int value) {
        short[] words = {(short) value};
        JavaSide.linkStatus(plc.CVDLLRZ_RegWrite(link, area, address, words, 1),
                "in DLL: RegWrite Error\n");
    }

    @Override
    void regWrite(int link, int area, int address, int[] values, int count) {
        if (!JavaSide.blockFits(values, count)) {
            System.out.print("in DLL: RegWrite Error\n");
            return;
        }
        short[] words = JavaSide.toWords(values, count);
        JavaSide.linkStatus(plc.CVDLLRZ_RegWrite(link, area, address, words, count),
                "in DLL: RegWrite Error\n");
    }

    @Override
    void regRead(int link, int area, int address, int[] values, int count) {
        if (!JavaSide.blockFits(values, count)) {
            System.out.print("in DLL: RegRead Error\n");
            return;
        }
        short[] words = new short[count];
        int status = plc.CVDLLRZ_RegRead(link, area, address, words, count);
        JavaSide.widen(words, values, count);
        JavaSide.linkStatus(status, "in DLL: RegRead Error\n");
    }

    @Override
    int[] regRead(int link, int area, int address, int count) {
        int[] values = new int[count];
        short[] words = new short[count];
        int status = plc.CVDLLRZ_RegRead(link, area, address, words, count);
        JavaSide.widen(words, values, count);
        JavaSide.linkStatus(status, "in DLL: RegRead Error\n");
        return values;
    }

    @Override
    void cvPoke(String topic, String item, String value) {
        JavaSide.corvaneStatus(cv.CVDA_Poke(topic, item, value), "in DLL: Write error\n");
    }

    @Override
    String cvRequest(String topic, String item) {
        byte[] reply = new byte[JavaSide.REPLY_BYTES];
        int status = cv.CVDA_Request(topic, item, reply);
        return JavaSide.corvaneStatus(status, "in DLL: Read error\n")
                ? JavaSide.replyText(reply)
                : "-1";
    }
}
