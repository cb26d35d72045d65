package lathwork.bench;

import com.sun.jna.NativeLibrary;
import lathwork.Brenmoor;

/** The bridge as a user calls it; the class loader decides which build of it is bound. */
public final class Bridge extends Contender {
    static {
        Brenmoor.start();
        Brenmoor.cvStart();
    }

    @Override
    void open(int link) {
        Brenmoor.open(link, 1, 110, 1000, 0);
    }

    @Override
    void regWrite(int link, int area, int address, int value) {
        Brenmoor.regWrite(link, area, address, value);
    }

    @Override
    void regWrite(int link, int area, int address, int[] values, int count) {
        Brenmoor.regWrite(link, area, address, values, count);
    }

    @Override
    void regRead(int link, int area, int address, int[] values, int count) {
        Brenmoor.regRead(link, area, address, values, count);
    }

    @Override
    int[] regRead(int link, int area, int address, int count) {
        return Brenmoor.regRead(link, area, address, count);
    }

    @Override
    void cvPoke(String topic, String item, String value) {
        Brenmoor.cvPoke(topic, item, value);
    }

    @Override
    String cvRequest(String topic, String item) {
        return Brenmoor.cvRequest(topic, item);
    }

    /** For bench/callgrind.sh: {@code Bridge write|readN|request CALLS}, nothing else. */
    public static void main(String[] args) throws Throwable {
        NativeLibrary.getInstance(library("libsimctl.so")).getFunction("simctl_set_recording")
                .invoke(new Object[] {0});
        Bridge b = new Bridge();
        b.open(0);
        b.cvPoke(TOPIC, ITEM, VALUE);
        long n = Long.parseLong(args[1]);
        long sum = args[0].equals("write") ? b.write(n, 0)
                : args[0].startsWith("read") ? b.read(n, 0, Integer.parseInt(args[0].substring(4)))
                : b.request(n);
        System.exit(sum >= 0 ? 0 : 1);
    }
}
