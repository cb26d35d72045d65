package lathwork.bench;

/**
 * The floor: a bench-only JNI library with the bridge's method signatures that calls each entry
 * point through an address looked up once, and allocates nothing per call. See native/floor.cpp.
 */
final class Floor extends Contender {
    static {
        System.loadLibrary("morlane_bench");
    }

    static native boolean bind0();

    static native int open0(int link, int unit, int protocol, int timeout, int retries);

    static native void regWrite0(int link, int area, int address, int value);

    static native void regWrite0(int link, int area, int address, int[] values, int count);

    static native void regRead0(int link, int area, int address, int[] values, int count);

    static native int[] regRead0(int link, int area, int address, int count);

    static native void cvPoke0(String topic, String item, String value);

    static native String cvRequest0(String topic, String item);

    @Override
    void bind() {
        if (!bind0()) {
            throw new IllegalStateException("floor: outside libraries or entry points not found");
        }
    }

    @Override
    void open(int link, int unit, int protocol, int timeout, int retries) {
        if (open0(link, unit, protocol, timeout, retries) != 0) {
            System.out.print("in DLL: Open Error\n");
        }
    }

    @Override
    void regWrite(int link, int area, int address, int value) {
        regWrite0(link, area, address, value);
    }

    @Override
    void regWrite(int link, int area, int address, int[] values, int count) {
        regWrite0(link, area, address, values, count);
    }

    @Override
    void regRead(int link, int area, int address, int[] values, int count) {
        regRead0(link, area, address, values, count);
    }

    @Override
    int[] regRead(int link, int area, int address, int count) {
        return regRead0(link, area, address, count);
    }

    @Override
    void cvPoke(String topic, String item, String value) {
        cvPoke0(topic, item, value);
    }

    @Override
    String cvRequest(String topic, String item) {
        return cvRequest0(topic, item);
    }
}
