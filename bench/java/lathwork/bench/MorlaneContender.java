package lathwork.bench;

import lathwork.Brenmoor;

/** The product: the bridge's native methods, exactly as a user calls them. */
final class MorlaneContender extends Contender {
    @Override
    void bind() {
        Brenmoor.start();
        Brenmoor.cvStart();
    }

    @Override
    void open(int link, int unit, int protocol, int timeout, int retries) {
        Brenmoor.open(link, unit, protocol, timeout, retries);
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
