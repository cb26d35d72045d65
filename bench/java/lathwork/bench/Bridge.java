package lathwork.bench;

import lathwork.Brenmoor;

/** The bridge as a user calls it; the class loader decides which build of it is bound. */
final class Bridge extends Contender {
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
}
